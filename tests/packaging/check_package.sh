#!/usr/bin/env bash
# Checks the Debian package scripts/package built: its contents and metadata,
# its maintainer scripts and conffiles, and that the program unpacked from it
# finds regex.so in its private folder, checks a configuration and serves a
# queue headless. The unit is linted with systemd-analyze when it is there,
# and both packages with lintian: any error or warning fails the check.
set -euo pipefail
cd "$(dirname "$0")/../.."
deb=$(ls build/package/zentrafold_*_amd64.deb)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "check_package: $*" >&2; exit 1; }

contents=$(dpkg-deb -c "$deb")
for path in ./usr/lib/zentrafold/zentrafold ./usr/lib/zentrafold/regex.so \
            ./usr/lib/systemd/system/zentrafold.service ./etc/zentrafold/Zentrafold.ini \
            ./usr/share/applications/zentrafold.desktop \
            ./usr/share/icons/hicolor/scalable/apps/zentrafold.svg \
            ./usr/share/doc/zentrafold/README.md ./usr/share/doc/zentrafold/copyright \
            ./usr/share/doc/zentrafold/changelog.gz ./usr/share/man/man1/zentrafold.1.gz; do
  grep -q " $path\$" <<<"$contents" || fail "the package lacks $path"
done
grep -q ' ./usr/bin/zentrafold -> ../lib/zentrafold/zentrafold$' <<<"$contents" \
  || fail "bin/zentrafold is not a link into the private folder"

[ "$(dpkg-deb -f "$deb" Package)" = zentrafold ] || fail "wrong package name"
depends=$(dpkg-deb -f "$deb" Depends)
for dep in adduser libqt6widgets6 libqpdf libpcre2-8-0 libcurl4 libxml2; do
  grep -q "$dep" <<<"$depends" || fail "Depends lacks $dep: $depends"
done
dpkg-deb -e "$deb" "$work/control"
[ "$(cat "$work/control/conffiles")" = /etc/zentrafold/Zentrafold.ini ] \
  || fail "the configuration is not a conffile"
for script in postinst prerm postrm; do
  [ -x "$work/control/$script" ] || fail "no $script"
  sh -n "$work/control/$script" || fail "$script does not parse"
done
grep -q 'adduser --system' "$work/control/postinst" || fail "postinst makes no system user"
if grep -Eq 'rm |rmdir|deluser' "$work/control/postrm" "$work/control/prerm"; then
  fail "removal must leave the configuration, the user and the hot folders alone"
fi

dpkg-deb -x "$deb" "$work/root"
program="$work/root/usr/bin/zentrafold"
# The shipped configuration serves nothing and has no problem.
"$program" --config-dir "$work/root/etc/zentrafold" --check-config >/dev/null \
  || fail "--check-config fails on the shipped configuration"
# The library is found beside the real program, through the link.
"$program" --init-demo "$work/demo" >/dev/null
"$program" --config-dir "$work/demo" --check-config >"$work/check.txt" 2>&1 \
  || { cat "$work/check.txt" >&2; fail "--check-config fails on a demo configuration"; }
if grep -q "unable to load" "$work/check.txt"; then fail "regex.so was not found"; fi
echo test >"$work/demo/input/notes.txt"
"$program" --headless --config-dir "$work/demo" >"$work/out.txt" 2>"$work/err.txt" &
pid=$!
for _ in $(seq 1 200); do
  [ -f "$work/demo/output/notes_renamed.txt" ] && break
  sleep 0.1
done
kill -TERM "$pid"
wait "$pid" || fail "the headless run did not end cleanly: $(cat "$work/err.txt")"
[ -f "$work/demo/output/notes_renamed.txt" ] || fail "the headless run delivered nothing: $(cat "$work/err.txt")"
grep -q $'notes.txt\tnotes_renamed.txt\tRenamed' "$work/out.txt" || fail "no result line"

if command -v systemd-analyze >/dev/null; then
  # Only the program's path is moved to where it was unpacked.
  sed "s|/usr/bin/zentrafold|$program|g" "$work/root/usr/lib/systemd/system/zentrafold.service" \
    >"$work/zentrafold.service"
  systemd-analyze verify --man=no --generators=no "$work/zentrafold.service" \
    || fail "systemd-analyze verify refuses the unit"
fi
# Stripped here, the symbols in the dbgsym package, found by build id.
dbgsym=$(ls build/package/zentrafold-dbgsym_*_amd64.ddeb)
grep -q ' ./usr/lib/debug/.build-id/.*\.debug$' <<<"$(dpkg-deb -c "$dbgsym")" \
  || fail "the dbgsym package holds no debug files"
if grep -q "not stripped" <<<"$(file -L "$program")"; then fail "the program is not stripped"; fi
man -l --warnings=w "$work/root/usr/share/man/man1/zentrafold.1.gz" 2>"$work/man.txt" >/dev/null \
  || fail "the manual page does not format"
[ ! -s "$work/man.txt" ] || fail "the manual page has formatting warnings: $(cat "$work/man.txt")"

# Overrides, if ever needed, live in packaging/debian with the reason beside
# each; none is given here.
lintian --fail-on error,warning --no-tag-display-limit "$deb" "$dbgsym" >"$work/lintian.txt" 2>&1 \
  || { cat "$work/lintian.txt" >&2; fail "lintian reports errors or warnings"; }
echo "check_package: $(basename "$deb") passes"
