// The functions the program looks up in this library: the three it needs and
// the optional MatchGroups. They are the only symbols it exports; everything else is hidden. No
// exception may cross the C boundary, so each one catches everything and answers a failure.

#include <exception>
#include <type_traits>

#include <qpdf/QPDFExc.hh>

#include "exprlib/expressionabi.h"
#include "regexlib/expressions.h"
#include "regexlib/pdfsplitter.h"

#define ZF_EXPORT __attribute__((visibility("default")))

extern "C" {

ZF_EXPORT int ZF_EXPRLIB_CALL TryMatchExpression(const char* match, const char* name, int partial) {
  try {
    return zf::regexlib::TryMatch(match, name, partial);
  } catch (const std::exception&) {
    return 0;
  } catch (...) {
    return 0;
  }
}

ZF_EXPORT int ZF_EXPRLIB_CALL FormatExpression(const char* match, const char* format,
                                               const char* name, char* output, int partial) {
  try {
    return zf::regexlib::Format(match, format, name, output, partial);
  } catch (const std::exception&) {
  } catch (...) {
  }
  if (output != nullptr) output[0] = '\0';
  return 0;
}

ZF_EXPORT int ZF_EXPRLIB_CALL PDFSplitter(const char* path, int page, const char* outfolder) {
  try {
    return zf::regexlib::SplitPdf(path, page, outfolder);
  } catch (const QPDFExc&) {
    return 0;
  } catch (const std::exception&) {
    return 0;
  } catch (...) {
    return 0;
  }
}

ZF_EXPORT int ZF_EXPRLIB_CALL MatchGroups(const char* match, const char* name, int partial,
                                          char* output) {
  try {
    return zf::regexlib::MatchGroups(match, name, partial, output);
  } catch (const std::exception&) {
  } catch (...) {
  }
  if (output != nullptr) output[0] = '\0';
  return 0;
}

}  // extern "C"

static_assert(std::is_same_v<decltype(&TryMatchExpression), TryMatchExpressionFn>);
static_assert(std::is_same_v<decltype(&FormatExpression), FormatExpressionFn>);
static_assert(std::is_same_v<decltype(&PDFSplitter), PDFSplitterFn>);
static_assert(std::is_same_v<decltype(&MatchGroups), MatchGroupsFn>);
