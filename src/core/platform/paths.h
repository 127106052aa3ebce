#pragma once

#include <string>

namespace zf {

constexpr char kPathDelimiter = '/';

// The folder text with one separator at its end (unchanged when it has one).
// An empty text stays empty, so it never turns into the root folder.
std::string IncludeTrailingPathDelimiter(std::string folder);

// The folder text without its trailing separator; the root folder itself
// keeps it, since without it the text would name nothing.
std::string ExcludeTrailingPathDelimiter(std::string folder);

}  // namespace zf
