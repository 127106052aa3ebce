#pragma once

#include <cstddef>
#include <string>

namespace zf::test {

// A PDF of `pages` pages written by hand, with a correct cross-reference
// table; page i shows the text "Page i". Media box and resources sit on the
// page tree, so the pages only inherit them, and the catalog declares an
// output intent (condition "FOGRA39"), as print-ready files do.
//
// Object 1 is the catalog, 2 the page tree, 3 the font; page i is object
// 2 + 2i and its content stream object 3 + 2i.
//
// Page `paddedPage` (none when 0) carries `padding` more bytes of comment
// lines in its content, for a page far larger than the others.
std::string TestPdf(int pages, int paddedPage = 0, std::size_t padding = 0);

}  // namespace zf::test
