#include "paths.h"

namespace zf {

std::string IncludeTrailingPathDelimiter(std::string folder) {
  if (!folder.empty() && folder.back() != kPathDelimiter) folder.push_back(kPathDelimiter);
  return folder;
}

std::string ExcludeTrailingPathDelimiter(std::string folder) {
  if (folder.size() > 1 && folder.back() == kPathDelimiter) folder.pop_back();
  return folder;
}

}  // namespace zf
