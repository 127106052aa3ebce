#pragma once

#include <string>

namespace zf::regexlib {

// The file name of page number page of the PDF file named input_name: a run
// of "#" in the name's stem is replaced by the page number, zero-padded to the
// run's length (the last run when there are several); without one, "_" and the
// page number padded to three digits are appended to the stem. The extension
// ".pdf" is kept as the input writes it and added when the input has none.
std::string PageFileName(const std::string& input_name, long long page);

// Writes every page of the PDF file at path as a PDF file of its own into
// outfolder, numbered from first_page upwards. Each page is written under a
// hidden temporary name of the shape IsTempName (platform/tempfile.h) knows (which
// the start-up clean-up removes after a crash) and renamed only when all pages
// are complete, so no half-written page ever appears under its real name; the
// folder is flushed after the renames. Answers the number of
// pages written; on failure 0 (the input cannot be read as a PDF, has no
// pages, or a page misses objects its content needs), -1 (unusable arguments)
// or -2 (a page could not be written). A failure before the renames leaves
// no page file of the call; one during them leaves the pages already renamed
// (each complete, each replacing an earlier page of that name) and removes
// the rest, so the output never holds fewer complete pages than before.
// The input is read only when it is a regular file, never through a link.
int SplitPdf(const char* path, int first_page, const char* outfolder);

}  // namespace zf::regexlib
