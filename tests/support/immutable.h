#pragma once

#include <cstdlib>
#include <string>
#include <utility>

namespace zf::test {

// Makes a file or folder refuse every change, root or not, for as long as the
// object lives; a folder then refuses new entries, renames and removals.
// ok() is false where chattr or the flag is missing; tests then skip.
class Immutable {
 public:
  explicit Immutable(std::string path) : path_(std::move(path)) {
    ok_ = std::system(("chattr +i '" + path_ + "' >/dev/null 2>&1").c_str()) == 0;
  }
  ~Immutable() {
    if (ok_ && std::system(("chattr -i '" + path_ + "'").c_str()) != 0) {
      // TempDir clears the flag again on removal.
    }
  }
  Immutable(const Immutable&) = delete;
  Immutable& operator=(const Immutable&) = delete;

  bool ok() const { return ok_; }

 private:
  std::string path_;
  bool ok_ = false;
};

}  // namespace zf::test
