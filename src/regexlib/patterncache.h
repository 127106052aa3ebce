#pragma once

#include <cstddef>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

#include "regexlib/pcre2_8.h"

namespace zf::regexlib {

// How a name and its expressions are read. UTF-8 text is matched by
// characters with Unicode properties; a name or expression that is not valid
// UTF-8 is matched byte by byte (letters are then the ASCII ones only), so that
// such a name still matches and keeps its exact bytes in the built text.
enum class TextMode : unsigned char { kUtf8, kBytes };

// One compiled match expression; code is nullptr when the expression does not
// compile, so that a bad rule is not compiled again for every name.
class CompiledPattern {
 public:
  CompiledPattern(std::string_view pattern, bool partial, TextMode mode);
  ~CompiledPattern();
  CompiledPattern(const CompiledPattern&) = delete;
  CompiledPattern& operator=(const CompiledPattern&) = delete;

  const pcre2_code* code() const { return code_; }
  int error() const { return error_; }  // PCRE2 error code when code() is nullptr

 private:
  pcre2_code* code_ = nullptr;
  int error_ = 0;
};

// Compiled expressions by (text, partial flag, mode), shared by all threads.
// Trying 200 rules on 999 names compiles each rule once. The least recently
// used entries make room when the cache is full; an entry in use by a call
// stays alive until that call is done.
class PatternCache {
 public:
  static constexpr std::size_t kDefaultCapacity = 4096;

  explicit PatternCache(std::size_t capacity = kDefaultCapacity) : capacity_(capacity) {}
  PatternCache(const PatternCache&) = delete;
  PatternCache& operator=(const PatternCache&) = delete;

  std::shared_ptr<const CompiledPattern> Get(std::string_view pattern, bool partial, TextMode mode);

  std::size_t size() const;

 private:
  // The hash is worked out once per lookup and carried in the key: the
  // table would otherwise hash the stored patterns again while it walks a
  // bucket, which made lookups cost as much as the match itself.
  struct KeyView {
    KeyView(std::string_view p, unsigned f)
        : pattern(p), flags(f), hash(std::hash<std::string_view>()(p) * 31u + f) {}
    std::string_view pattern;
    unsigned flags;
    std::size_t hash;
    bool operator==(const KeyView& other) const {
      return hash == other.hash && flags == other.flags && pattern == other.pattern;
    }
  };
  struct KeyHash {
    std::size_t operator()(const KeyView& key) const noexcept { return key.hash; }
  };
  struct Entry {
    std::string pattern;
    unsigned flags;
    std::shared_ptr<const CompiledPattern> compiled;
  };

  static unsigned Flags(bool partial, TextMode mode) {
    return (partial ? 1u : 0u) | (mode == TextMode::kBytes ? 2u : 0u);
  }

  const std::size_t capacity_;
  mutable std::mutex mutex_;
  std::list<Entry> entries_;  // most recently used first; nodes never move
  std::unordered_map<KeyView, std::list<Entry>::iterator, KeyHash> index_;  // views into entries_
};

}  // namespace zf::regexlib
