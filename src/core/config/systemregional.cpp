#include "config/systemregional.h"

#include <langinfo.h>
#include <locale.h>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <string_view>
#include <type_traits>
#include <vector>

namespace zf {
namespace {

// One element of a converted strftime form: a field of the pattern notation
// or literal text. `role` tells the numeric fields apart for finding the
// separator: d, m, y for the date, h, n, s for the time.
struct Piece {
  bool field = false;
  std::string text;
  char role = 0;
};

// Turns the locale's strftime forms into the pattern notation of
// FormatDateTimeText.
class StrftimeReader {
 public:
  explicit StrftimeReader(locale_t locale) : locale_(locale) {}

  std::vector<Piece> Read(std::string_view form) {
    std::vector<Piece> out;
    Append(form, 0, out);
    // A century alone has no field of its own.
    std::erase_if(out, [](const Piece& p) { return p.field && p.role == 'C'; });
    return out;
  }

 private:
  static constexpr int kMaxDepth = 3;  // %r names %I, %M, ...; nothing nests deeper

  void Field(std::vector<Piece>& out, std::string text, char role = 0) {
    out.push_back({true, std::move(text), role});
  }

  void Literal(std::vector<Piece>& out, char c) {
    if (out.empty() || out.back().field) out.push_back({false, {}, 0});
    out.back().text += c;
  }

  void Append(std::string_view form, int depth, std::vector<Piece>& out) {
    for (std::size_t i = 0; i < form.size(); ++i) {
      if (form[i] != '%' || i + 1 == form.size()) {
        Literal(out, form[i]);
        continue;
      }
      ++i;
      // Flags, width and the E/O modifiers: only "no padding" matters here.
      bool unpadded = false;
      while (i < form.size() && std::string_view("_-0^#").find(form[i]) != std::string_view::npos) {
        unpadded = unpadded || form[i] == '-';
        ++i;
      }
      while (i < form.size() && form[i] >= '0' && form[i] <= '9') ++i;
      if (i < form.size() && (form[i] == 'E' || form[i] == 'O')) ++i;
      if (i >= form.size()) break;
      Conversion(form[i], unpadded, depth, out);
    }
  }

  void Conversion(char c, bool unpadded, int depth, std::vector<Piece>& out) {
    auto nested = [&](std::string_view form) {
      if (depth < kMaxDepth) Append(form, depth + 1, out);
    };
    switch (c) {
      case 'd':
        return Field(out, unpadded ? "d" : "dd", 'd');
      case 'e':
        return Field(out, "d", 'd');
      case 'm':
        return Field(out, unpadded ? "m" : "mm", 'm');
      case 'b':
      case 'h':
        return Field(out, "mmm", 'm');
      case 'B':
        return Field(out, "mmmm", 'm');
      case 'Y':
      case 'G':
        return Field(out, "yyyy", 'y');
      case 'y':
      case 'g':
        // Century and year together are the full year.
        if (!out.empty() && out.back().field && out.back().role == 'C') {
          out.back() = {true, "yyyy", 'y'};
          return;
        }
        return Field(out, "yy", 'y');
      case 'C':
        return Field(out, "", 'C');
      case 'a':
        return Field(out, "ddd");
      case 'A':
        return Field(out, "dddd");
      case 'H':
        return Field(out, unpadded ? "h" : "hh", 'h');
      case 'k':
      case 'l':
        return Field(out, "h", 'h');
      case 'I':
        return Field(out, unpadded ? "h" : "hh", 'h');
      case 'M':
        return Field(out, unpadded ? "n" : "nn", 'n');
      case 'S':
        return Field(out, unpadded ? "s" : "ss", 's');
      case 'p':
      case 'P':
        return Field(out, "ampm");
      case 'r': {
        const char* ampm = ::nl_langinfo_l(T_FMT_AMPM, locale_);
        return nested(ampm != nullptr && *ampm != '\0' ? ampm : "%I:%M:%S %p");
      }
      case 'T':
        return nested("%H:%M:%S");
      case 'R':
        return nested("%H:%M");
      case 'D':
        return nested("%m/%d/%y");
      case 'F':
        return nested("%Y-%m-%d");
      case 'n':
      case 't':
        return Literal(out, ' ');
      case '%':
        return Literal(out, '%');
      default:  // time zones, week numbers and the like have no field
        return;
    }
  }

  locale_t locale_;
};

// True when the formatter would give `text` back unchanged without quotes.
bool PassesUnquoted(std::string_view text) {
  for (char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (u >= 0x80 || c == ' ' || c == '.' || c == ',' || c == '-') continue;
    return false;
  }
  return true;
}

std::string Quoted(std::string_view text) {
  if (PassesUnquoted(text)) return std::string(text);
  const char quote = text.find('"') == std::string_view::npos ? '"' : '\'';
  std::string out(1, quote);
  out.append(text).push_back(quote);
  return out;
}

bool HasRole(const Piece& p, std::string_view roles) {
  return p.field && p.role != 0 && roles.find(p.role) != std::string_view::npos;
}

// The text between consecutive numeric fields of one kind when it is the same
// everywhere ("." in "%d.%m.%Y"), or empty when the fields are set apart by
// different texts ("%Y年%m月%d日") or stand side by side.
std::string CommonSeparator(const std::vector<Piece>& pieces, std::string_view roles) {
  std::string common;
  bool found = false;
  for (std::size_t i = 0; i + 2 < pieces.size(); ++i) {
    if (!HasRole(pieces[i], roles) || pieces[i + 1].field || !HasRole(pieces[i + 2], roles)) {
      continue;
    }
    if (found && pieces[i + 1].text != common) return {};
    common = pieces[i + 1].text;
    found = true;
  }
  return common;
}

// The pattern for `pieces`, with the common separator between the numeric
// fields of `roles` written as `placeholder` (which the formatter replaces by
// the regional separator) and every other text quoted where it has to be.
std::string Render(const std::vector<Piece>& pieces, std::string_view roles,
                   const std::string& separator, char placeholder) {
  std::string out;
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    const Piece& p = pieces[i];
    if (p.field) {
      out += p.text;
    } else if (!separator.empty() && p.text == separator && i > 0 && i + 1 < pieces.size() &&
               HasRole(pieces[i - 1], roles) && HasRole(pieces[i + 1], roles)) {
      out += placeholder;
    } else {
      out += Quoted(p.text);
    }
  }
  const auto first = out.find_first_not_of(' ');
  if (first == std::string::npos) return {};
  return out.substr(first, out.find_last_not_of(' ') - first + 1);
}

// The time without its seconds: the seconds field goes with the separator in
// front of it, or, where the fields carry their own units ("%H時%M分%S秒"),
// with the unit after it.
std::vector<Piece> WithoutSeconds(std::vector<Piece> pieces, const std::string& separator) {
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    if (!pieces[i].field || pieces[i].role != 's') continue;
    if (i > 0 && !pieces[i - 1].field && pieces[i - 1].text == separator && !separator.empty()) {
      pieces.erase(pieces.begin() + static_cast<std::ptrdiff_t>(i - 1),
                   pieces.begin() + static_cast<std::ptrdiff_t>(i + 1));
    } else if (i + 1 < pieces.size() && !pieces[i + 1].field) {
      pieces.erase(pieces.begin() + static_cast<std::ptrdiff_t>(i),
                   pieces.begin() + static_cast<std::ptrdiff_t>(i + 2));
    } else {
      pieces.erase(pieces.begin() + static_cast<std::ptrdiff_t>(i));
    }
    break;
  }
  return pieces;
}

bool IsPlainCLocale(std::string_view name) {
  return name == "C" || name == "POSIX" || name.starts_with("C.") || name.starts_with("POSIX.");
}

std::string EnvironmentLocaleName() {
  for (const char* variable : {"LC_ALL", "LC_TIME", "LANG"}) {
    const char* value = std::getenv(variable);
    if (value != nullptr && *value != '\0') return value;
  }
  return "C";
}

using LocaleHandle = std::unique_ptr<std::remove_pointer_t<locale_t>, decltype(&::freelocale)>;

RegionalSettings FromLocale(locale_t locale) {
  RegionalSettings r = DefaultRegionalSettings();
  auto text = [&](nl_item item) {
    const char* value = ::nl_langinfo_l(item, locale);
    return std::string(value != nullptr ? value : "");
  };
  StrftimeReader reader(locale);

  const std::vector<Piece> date = reader.Read(text(D_FMT));
  if (!date.empty()) {
    const std::string separator = CommonSeparator(date, "dmy");
    if (!separator.empty()) r.dateSeparator = separator;
    r.shortDateFormat = Render(date, "dmy", separator, '/');
  }
  const std::vector<Piece> time = reader.Read(text(T_FMT));
  if (!time.empty()) {
    const std::string separator = CommonSeparator(time, "hns");
    if (!separator.empty()) r.timeSeparator = separator;
    r.longTimeFormat = Render(time, "hns", separator, ':');
    r.shortTimeFormat = Render(WithoutSeconds(time, separator), "hns", separator, ':');
  }
  r.timeAMString = text(AM_STR);
  r.timePMString = text(PM_STR);
  for (int m = 0; m < 12; ++m) {
    r.shortMonthNames[m] = text(ABMON_1 + m);
    r.longMonthNames[m] = text(MON_1 + m);
  }
  for (int d = 0; d < 7; ++d) {
    r.shortDayNames[d] = text(ABDAY_1 + d);  // Sunday first, as the tables are
    r.longDayNames[d] = text(DAY_1 + d);
  }
  return r;
}

}  // namespace

Result<RegionalSettings> RegionalSettingsForLocale(const std::string& requested) {
  const std::string name = requested.empty() ? EnvironmentLocaleName() : requested;
  if (IsPlainCLocale(name)) return DefaultRegionalSettings();
  LocaleHandle locale(::newlocale(LC_TIME_MASK, name.c_str(), static_cast<locale_t>(0)),
                      &::freelocale);
  if (!locale) {
    return Status::Error("The locale " + name + " is not installed", errno != 0 ? errno : ENOENT);
  }
  return FromLocale(locale.get());
}

const RegionalSettings& SystemRegionalSettings() {
  static const RegionalSettings settings = [] {
    auto fromEnvironment = RegionalSettingsForLocale({});
    return fromEnvironment.ok() ? std::move(fromEnvironment).value() : DefaultRegionalSettings();
  }();
  return settings;
}

}  // namespace zf
