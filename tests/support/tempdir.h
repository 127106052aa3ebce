#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace zf::test {

// A fresh folder under the system's temporary folder, removed with everything
// in it when the object goes. Immutable flags set by a test are cleared first.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  // path() / name, as a string
  std::string operator/(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

// Whole-file helpers for tests.
void WriteFile(const std::filesystem::path& path, const std::string& content);
std::string ReadFile(const std::filesystem::path& path);
// The names of the entries of `folder`, sorted.
std::vector<std::string> NamesIn(const std::filesystem::path& folder);

}  // namespace zf::test
