// A stand-in expression library that lacks PDFSplitter: the loader must report
// exactly that one entry point and still use the other two.

#include <cstring>

#include "exprlib/expressionabi.h"

#define ZF_EXPORT __attribute__((visibility("default")))

extern "C" {

ZF_EXPORT int ZF_EXPRLIB_CALL TryMatchExpression(const char* match, const char* name, int) {
  return std::strcmp(match, name) == 0 ? 1 : 0;
}

ZF_EXPORT int ZF_EXPRLIB_CALL FormatExpression(const char*, const char* format, const char*,
                                               char* output, int) {
  std::strcpy(output, format);
  return 1;
}

}  // extern "C"
