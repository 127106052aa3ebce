#include "paths.h"

#include <sys/stat.h>

#include <filesystem>
#include <string_view>
#include <system_error>

namespace zf {

std::string IncludeTrailingPathDelimiter(std::string folder) {
  if (!folder.empty() && folder.back() != kPathDelimiter) folder.push_back(kPathDelimiter);
  return folder;
}

std::string ExcludeTrailingPathDelimiter(std::string folder) {
  if (folder.size() > 1 && folder.back() == kPathDelimiter) folder.pop_back();
  return folder;
}

namespace {

bool SameIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

}  // namespace

std::string FindNameIgnoringCase(const std::string& path) {
  namespace fs = std::filesystem;
  struct stat st {};
  if (::lstat(path.c_str(), &st) == 0) return path;
  const fs::path wanted(path);
  const std::string name = wanted.filename().string();
  if (name.empty()) return path;
  const fs::path folder = wanted.has_parent_path() ? wanted.parent_path() : fs::path(".");
  std::error_code ec;
  fs::directory_iterator it(folder, ec);
  std::string best;
  for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
    const std::string candidate = it->path().filename().string();
    if (!SameIgnoringCase(candidate, name)) continue;
    if (!best.empty() && candidate >= best) continue;
    std::error_code typeError;
    if (fs::is_regular_file(it->path(), typeError)) best = candidate;  // follows a link
  }
  if (best.empty()) return path;
  return (wanted.has_parent_path() ? (wanted.parent_path() / best) : fs::path(best)).string();
}

}  // namespace zf
