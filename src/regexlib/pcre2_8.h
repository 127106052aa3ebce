#pragma once

// PCRE2 for 8-bit code units. Every file of the library includes it through
// here, so that the code unit width is always defined before the header.
#ifndef PCRE2_CODE_UNIT_WIDTH
#define PCRE2_CODE_UNIT_WIDTH 8
#endif
#include <pcre2.h>
