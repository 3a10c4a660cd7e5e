// The bidirectional map between entity texts and placeholder tokens, and its deterministic
// per-prefix numbering.
#ifndef VELK_TOKEN_MAP_H_
#define VELK_TOKEN_MAP_H_

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "velk/entity.h"
#include "velk/string_hash.h"

namespace velk {

// What other parts derive from a map (the substitution's automaton, say), built on first use
// and shared by every later use of the same map object, from any thread. Maps are immutable
// once built, so this is a cache, not state: a copy starts empty, and two maps compare equal
// whatever they have derived. A part that finds the map's sizes changed since it derived
// something builds it again; no other change is noticed, so a map must not change after use.
class DerivedSlot {
 public:
  enum Kind { kForward, kReverse, kKindCount };

  DerivedSlot() = default;
  DerivedSlot(const DerivedSlot&) {}
  DerivedSlot& operator=(const DerivedSlot&) {
    std::lock_guard lock(mutex_);
    entries_ = {};
    return *this;
  }
  friend bool operator==(const DerivedSlot&, const DerivedSlot&) { return true; }

  // The structure of `kind` for a map of `sizes`, built by `build` when there is none yet.
  std::shared_ptr<const void> get(Kind kind, std::array<std::size_t, 2> sizes,
                                  const std::function<std::shared_ptr<const void>()>& build) const {
    std::lock_guard lock(mutex_);
    Entry& entry = entries_[kind];
    if (!entry.value || entry.sizes != sizes) entry = {build(), sizes};
    return entry.value;
  }

 private:
  struct Entry {
    std::shared_ptr<const void> value;
    std::array<std::size_t, 2> sizes{};
  };
  mutable std::mutex mutex_;
  mutable std::array<Entry, kKindCount> entries_{};
};

struct TokenMap {
  // Entity text, exactly as the entity carries it, to its token. Case variants share a token.
  StringMap forward;
  // Token to the entity text that first received it.
  StringMap reverse;
  DerivedSlot derived;

  std::size_t size() const { return forward.size(); }
  friend bool operator==(const TokenMap&, const TokenMap&) = default;
};

// A placeholder token found by searching a string for "[" PREFIX "_" DIGITS "]".
struct TokenMatch {
  std::size_t start;
  std::size_t end;
  std::string_view prefix;
  std::string_view number;  // Unicode decimal digits, possibly not ASCII
};

// The leftmost token anywhere in `text`, if any. Digits are any Unicode decimal digits.
std::optional<TokenMatch> find_token(std::string_view text, std::size_t start = 0);

// True when `text` is exactly one token, nothing before or after it.
bool is_whole_token(std::string_view text);

// "[" + prefix + "_" + number + "]".
std::string make_token(std::string_view prefix, std::uint64_t number);

// Extends a copy of `existing` (or an empty map) with `entities`, in order. Never fails.
// `lower_texts`, when given, holds to_lower of each entity's text, which the caller may have
// computed already.
TokenMap build_token_map(std::span<const Entity> entities, const TokenMap* existing,
                         std::span<const std::string> lower_texts = {});

}  // namespace velk

#endif  // VELK_TOKEN_MAP_H_
