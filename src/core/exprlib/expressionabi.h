#pragma once

// The calling contract between the program and its expression library. Both
// sides include this header, so a change of a signature breaks the build of
// both instead of a call at run time.
//
// Strings are NUL-terminated 8-bit text; results are 32-bit ints. Every string
// travels in a buffer of kExchangeBufferSize bytes, so an input holds at most
// kExchangeBufferSize - 1 characters and an output is written into a buffer of
// exactly kExchangeBufferSize bytes.

#include <cstddef>

#ifdef _WIN32
#define ZF_EXPRLIB_CALL __stdcall
#else
#define ZF_EXPRLIB_CALL
#endif

namespace zf {

inline constexpr std::size_t kExchangeBufferSize = 1024;

inline constexpr char kTryMatchExpressionName[] = "TryMatchExpression";
inline constexpr char kFormatExpressionName[] = "FormatExpression";
inline constexpr char kPDFSplitterName[] = "PDFSplitter";
// Optional: a library without it is still complete; only the rule test bench's
// explanation goes without the groups then.
inline constexpr char kMatchGroupsName[] = "MatchGroups";

}  // namespace zf

extern "C" {

// 1 when name matches match; partial 1 lets a match anywhere in the name count,
// 0 asks for the whole name. Any other result: no match.
typedef int(ZF_EXPRLIB_CALL* TryMatchExpressionFn)(const char* match, const char* name,
                                                   int partial);

// 1 when name matches and format could be built; output then holds the text.
// Any other result: no match or no text, output holds nothing usable.
typedef int(ZF_EXPRLIB_CALL* FormatExpressionFn)(const char* match, const char* format,
                                                 const char* name, char* output, int partial);

// Writes every page of the PDF file at path as a file of its own into outfolder,
// numbered from page upwards. Above 0: the number of pages written; 0 or less:
// failure.
typedef int(ZF_EXPRLIB_CALL* PDFSplitterFn)(const char* path, int page, const char* outfolder);

// 1 when name matches match as TryMatchExpression decides; output then holds
// the groups of that match, group 0 (the whole match) first, each written as
// its length in decimal, ":" and its bytes, or as "-" for a group that took
// no part in the match. Any other result: no match, or the groups do not fit
// the output buffer (2); output then holds nothing usable.
typedef int(ZF_EXPRLIB_CALL* MatchGroupsFn)(const char* match, const char* name, int partial,
                                            char* output);
}
