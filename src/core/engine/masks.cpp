#include "masks.h"

#include "platform/characters.h"

namespace zf {
namespace {

constexpr int kMaxStarRuns = 30;

Status InvalidMask(std::string_view mask, std::size_t pos) {
  std::string message;
  message.reserve(mask.size() + 40);
  message.append("'").append(mask).append("' is an invalid mask at (");
  message.append(std::to_string(pos + 1)).append(")");
  return Status::Error(std::move(message));
}

}  // namespace

std::vector<std::string> SplitMasks(std::string_view ignoremask) {
  std::vector<std::string> masks;
  if (ignoremask.find(';') == std::string_view::npos) {
    masks.emplace_back(ignoremask);
    return masks;
  }
  while (!ignoremask.empty()) {
    const auto cut = ignoremask.find(';');
    if (cut == std::string_view::npos) {
      masks.emplace_back(ignoremask);
      ignoremask = {};
    } else {
      masks.emplace_back(ignoremask.substr(0, cut));
      ignoremask.remove_prefix(cut + 1);
    }
  }
  return masks;
}

WildcardMask::WildcardMask(std::string_view mask) {
  bool inRun = false;  // a `*` was seen and its element is still to come
  int runs = 0;
  // Every element after a run of `*` starts a new run; the end of the mask
  // counts as such an element too, so "a*" holds one run.
  auto element = [&](Element e, std::size_t at) {
    if (inRun) {
      if (++runs > kMaxStarRuns) {
        status_ = InvalidMask(mask, at);
        return false;
      }
      elements_.push_back({Kind::kAnyRun});
      inRun = false;
    }
    elements_.push_back(e);
    return true;
  };

  std::size_t pos = 0;
  while (pos < mask.size()) {
    const std::size_t at = pos;
    const char32_t c = NextCharacter(mask, pos);
    if (c == U'*') {
      inRun = true;
    } else if (c == U'?') {
      // A `?` behind a run of `*` is absorbed by it.
      if (!inRun && !element({Kind::kAnyOne}, at)) return;
    } else if (c == U'[') {
      Element set{Kind::kSet};
      set.set = sets_.size();
      std::vector<Range> ranges;
      if (pos < mask.size() && mask[pos] == '!') {
        set.negate = true;
        ++pos;
      }
      bool haveLast = false;
      char32_t last = 0;
      bool closed = false;
      while (pos < mask.size()) {
        const std::size_t memberAt = pos;
        const char32_t m = NextCharacter(mask, pos);
        if (m == U']') {
          closed = true;
          break;
        }
        if (m == U'-') {
          if (!haveLast) {
            status_ = InvalidMask(mask, memberAt);
            return;
          }
          // The character after the hyphen ends the range whatever it is,
          // a closing bracket included; "[a-]" therefore stays open.
          if (pos >= mask.size()) break;
          const char32_t high = UpperAsciiLetter(NextCharacter(mask, pos));
          if (last <= high) ranges.push_back({last, high});
        } else {
          last = UpperAsciiLetter(m);
          haveLast = true;
          ranges.push_back({last, last});
        }
      }
      if (!closed || ranges.empty()) {
        status_ = InvalidMask(mask, at);
        return;
      }
      sets_.push_back(std::move(ranges));
      if (!element(set, at)) return;
    } else {
      Element literal{Kind::kChar};
      literal.ch = UpperAsciiLetter(c);
      if (!element(literal, at)) return;
    }
  }
  if (inRun) {
    if (++runs > kMaxStarRuns) {
      status_ = InvalidMask(mask, mask.size());
      return;
    }
    elements_.push_back({Kind::kAnyRun});
  }
  const std::size_t count = elements_.size();
  head_ = 0;
  while (head_ < count && elements_[head_].kind != Kind::kAnyRun) ++head_;
  tail_ = 0;
  while (tail_ < count - head_ && elements_[count - 1 - tail_].kind != Kind::kAnyRun) ++tail_;
}

std::u32string WildcardMask::FoldName(std::string_view name) {
  std::u32string folded;
  folded.reserve(name.size());
  for (std::size_t pos = 0; pos < name.size();) {
    folded.push_back(UpperAsciiLetter(NextCharacter(name, pos)));
  }
  return folded;
}

bool WildcardMask::ElementFits(const Element& e, char32_t c) const {
  switch (e.kind) {
    case Kind::kAnyOne:
      return true;
    case Kind::kChar:
      return e.ch == c;
    case Kind::kSet: {
      bool in = false;
      for (const Range& r : sets_[e.set]) {
        if (c >= r.low && c <= r.high) {
          in = true;
          break;
        }
      }
      return in != e.negate;
    }
    case Kind::kAnyRun:
      break;
  }
  return false;
}

Result<bool> WildcardMask::FitsFolded(const std::u32string& name) const {
  if (!status_.ok()) return status_;
  const std::size_t count = elements_.size();
  const std::size_t size = name.size();
  // Every element but `*` takes exactly one character, so what stands before
  // the first `*` must fit the start of the name and what stands after the
  // last `*` its end. Testing those first turns most names away at once.
  if (head_ == count) {
    if (size != count) return false;
    for (std::size_t i = 0; i < count; ++i) {
      if (!ElementFits(elements_[i], name[i])) return false;
    }
    return true;
  }
  if (size < head_ + tail_) return false;
  for (std::size_t i = 0; i < tail_; ++i) {
    if (!ElementFits(elements_[count - 1 - i], name[size - 1 - i])) return false;
  }
  for (std::size_t i = 0; i < head_; ++i) {
    if (!ElementFits(elements_[i], name[i])) return false;
  }
  // The middle begins and ends with `*`. On a mismatch the latest `*` takes
  // one more character and matching resumes behind it; going back further can
  // never help, since no other element takes more than one character.
  constexpr std::size_t kNone = static_cast<std::size_t>(-1);
  const std::size_t mEnd = count - tail_;
  const std::size_t nEnd = size - tail_;
  std::size_t n = head_, m = head_, starAt = kNone, starName = 0;
  while (n < nEnd) {
    if (m < mEnd && elements_[m].kind == Kind::kAnyRun) {
      starAt = m++;
      starName = n;
    } else if (m < mEnd && ElementFits(elements_[m], name[n])) {
      ++m, ++n;
    } else if (starAt != kNone) {
      m = starAt + 1;
      n = ++starName;
    } else {
      return false;
    }
  }
  while (m < mEnd && elements_[m].kind == Kind::kAnyRun) ++m;
  return m == mEnd;
}

Result<bool> WildcardMask::Fits(std::string_view name) const {
  if (!status_.ok()) return status_;
  return FitsFolded(FoldName(name));
}

Result<bool> NameFitsMask(std::string_view name, std::string_view mask) {
  return WildcardMask(mask).Fits(name);
}

IgnoreMasks::IgnoreMasks(std::string_view ignoremask) {
  if (ignoremask.empty() || ignoremask == "none") return;
  for (const std::string& mask : SplitMasks(ignoremask)) masks_.emplace_back(mask);
}

Result<bool> IgnoreMasks::Matches(std::string_view name) const {
  if (masks_.empty()) return false;
  const std::u32string folded = WildcardMask::FoldName(name);
  for (const WildcardMask& mask : masks_) {
    Result<bool> fits = mask.FitsFolded(folded);
    if (!fits.ok() || fits.value()) return fits;
  }
  return false;
}

Result<bool> IsIgnored(std::string_view name, std::string_view ignoremask) {
  return IgnoreMasks(ignoremask).Matches(name);
}

}  // namespace zf
