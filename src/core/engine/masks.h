#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/result.h"

namespace zf {

// The ignore-mask text split at each ";". No ";" gives the whole text as the
// only mask; a trailing ";" adds nothing; ";;" gives an empty mask between its
// neighbours; blanks belong to the masks. The table of masks has room for 100
// but nothing is cut off beyond that: dropping the rest would quietly take and
// move files the operator asked to leave alone.
std::vector<std::string> SplitMasks(std::string_view ignoremask);

// One ignore mask, prepared for matching many names. A mask holds `*` (any
// run, also none; `?` right after a run of `*` adds nothing), `?` (one
// character), sets "[abc]", negated sets "[!abc]", ranges "[a-z]" inside sets,
// and characters standing for themselves; a to z match without regard to
// case. It is invalid when a set has no closing bracket, a set is empty, a
// hyphen in a set has no character before it, or there are more than 30 runs
// of `*`. An invalid mask fails only when a name is tried against it.
class WildcardMask {
 public:
  explicit WildcardMask(std::string_view mask);

  // True when the whole name fits the whole mask; an error for an invalid mask.
  Result<bool> Fits(std::string_view name) const;
  // The same for a name already cut into upper-cased characters (FoldName).
  Result<bool> FitsFolded(const std::u32string& folded) const;
  const Status& status() const { return status_; }

  static std::u32string FoldName(std::string_view name);

 private:
  enum class Kind { kAnyRun, kAnyOne, kChar, kSet };
  struct Element {
    Kind kind;
    char32_t ch = 0;      // kChar
    bool negate = false;  // kSet
    std::size_t set = 0;  // kSet: index into sets_
  };
  struct Range {
    char32_t low, high;
  };

  bool ElementFits(const Element& e, char32_t c) const;

  std::vector<Element> elements_;
  std::size_t head_ = 0;  // elements before the first `*` (all when there is none)
  std::size_t tail_ = 0;  // elements after the last `*`
  std::vector<std::vector<Range>> sets_;
  Status status_;
};

// True when `name` fits `mask` (see WildcardMask); an error for an invalid mask.
Result<bool> NameFitsMask(std::string_view name, std::string_view mask);

// The ignore masks of a queue, prepared once for a whole listing.
class IgnoreMasks {
 public:
  explicit IgnoreMasks(std::string_view ignoremask);

  // True at the first mask, in list order, that the name fits; false when none
  // does or the text is empty or exactly "none" (case counts: "None" is a mask).
  // An invalid mask reached before a fitting one is an error.
  Result<bool> Matches(std::string_view name) const;

 private:
  std::vector<WildcardMask> masks_;
};

// IsIgnored for a single name: IgnoreMasks(ignoremask).Matches(name).
Result<bool> IsIgnored(std::string_view name, std::string_view ignoremask);

}  // namespace zf
