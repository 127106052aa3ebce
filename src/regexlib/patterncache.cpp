#include "regexlib/patterncache.h"

namespace zf::regexlib {

CompiledPattern::CompiledPattern(std::string_view pattern, bool partial, TextMode mode) {
  // Unicode properties only for UTF-8 text. In byte mode PCRE2 would take
  // each byte as a Latin-1 character, but its case conversion then writes
  // wrong bytes for letters whose other case lies beyond Latin-1 (ÿ, µ, ß):
  // byte mode stays with ASCII letters and keeps every other byte as it is.
  uint32_t options = mode == TextMode::kUtf8 ? PCRE2_UTF | PCRE2_UCP : 0u;
  // A whole-name match is anchored at compile time: anchoring options given
  // at match time would keep PCRE2 from using the JIT code.
  if (!partial) options |= PCRE2_ANCHORED | PCRE2_ENDANCHORED;
  PCRE2_SIZE error_offset = 0;
  code_ = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern.data()), pattern.size(), options,
                        &error_, &error_offset, nullptr);
  if (code_ != nullptr) {
    error_ = 0;
    // Without JIT support PCRE2 falls back to its interpreter by itself.
    pcre2_jit_compile(code_, PCRE2_JIT_COMPLETE);
  }
}

CompiledPattern::~CompiledPattern() {
  pcre2_code_free(code_);
}

std::shared_ptr<const CompiledPattern> PatternCache::Get(std::string_view pattern, bool partial,
                                                         TextMode mode) {
  const unsigned flags = Flags(partial, mode);
  const KeyView key(pattern, flags);
  {
    std::lock_guard lock(mutex_);
    auto found = index_.find(key);
    if (found != index_.end()) {
      entries_.splice(entries_.begin(), entries_, found->second);
      return found->second->compiled;
    }
  }
  // Compiled outside the lock: JIT compilation takes long enough to hold up
  // other callers that only need a cached expression.
  auto compiled = std::make_shared<const CompiledPattern>(pattern, partial, mode);
  std::lock_guard lock(mutex_);
  auto found = index_.find(key);
  if (found != index_.end()) return found->second->compiled;  // another thread was quicker
  while (!entries_.empty() && entries_.size() >= capacity_) {
    const Entry& last = entries_.back();
    index_.erase(KeyView(last.pattern, last.flags));
    entries_.pop_back();
  }
  if (capacity_ == 0) return compiled;
  entries_.push_front(Entry{std::string(pattern), flags, compiled});
  index_.emplace(KeyView(entries_.front().pattern, flags), entries_.begin());
  return compiled;
}

std::size_t PatternCache::size() const {
  std::lock_guard lock(mutex_);
  return entries_.size();
}

}  // namespace zf::regexlib
