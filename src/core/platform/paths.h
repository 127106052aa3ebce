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

// The file a case-insensitive file system would open for `path`: `path`
// itself when an entry of exactly that name exists, else a regular file (or a
// link to one) in the same folder whose name differs only in the case of the
// letters A-Z, else `path` unchanged. Of several such files the first in
// byte order is taken (upper case before lower case), so every run picks
// the same one.
std::string FindNameIgnoringCase(const std::string& path);

}  // namespace zf
