#pragma once

namespace zf::regexlib {

// The matching and formatting behind TryMatchExpression and FormatExpression.
// Both answer 1 for success and 0 for anything else; neither throws for bad
// input, though allocation failures may still throw std::bad_alloc.

// partial 0: the whole name must match; otherwise a match anywhere counts.
int TryMatch(const char* match, const char* name, int partial);

// Builds the text of format from the match of match in name into output,
// which holds kExchangeBufferSize bytes. The output holds only the built text,
// not the name with a part replaced. On failure output is left empty.
int Format(const char* match, const char* format, const char* name, char* output, int partial);

// The groups of the match of match in name, written into output (which holds
// kExchangeBufferSize bytes) as MatchGroupsFn describes. 1 on a match, 2 when
// the name matches but the groups do not fit, 0 for no match.
int MatchGroups(const char* match, const char* name, int partial, char* output);

}  // namespace zf::regexlib
