// Pair order, matching rules and the engine-backed word test shared by both substitutions.
#include "velk/substitution_rules.h"

#include <algorithm>
#include <cstdint>
#include <unordered_map>

#include "velk/ascii.h"
#include "velk/regex.h"
#include "velk/unicode.h"

namespace velk {

namespace {

// Our word characters as one bracket class.
std::string word_class() { return "[" + std::string(kWordClassItems) + "]"; }

bool needs_escape(char ch) {
  return std::string_view("\\.+*?()|[]{}^$#&-~").find(ch) != std::string_view::npos;
}

// Sorts `pairs` longest first, equal lengths in ascending byte order of the first text. Each
// pair carries its first eight bytes as a number, so that most comparisons take no call.
void sort_longer_then_bytewise(std::vector<EntityTokenPair>& pairs) {
  struct Keyed {
    std::size_t size;
    std::uint64_t head;  // the first eight bytes, big-endian, zeros past the end
    EntityTokenPair pair;
  };
  std::vector<Keyed> keyed;
  keyed.reserve(pairs.size());
  for (const EntityTokenPair& pair : pairs) {
    std::uint64_t head = 0;
    for (std::size_t i = 0; i < 8; ++i) {
      head = head << 8 | (i < pair.entity.size() ? static_cast<unsigned char>(pair.entity[i]) : 0);
    }
    keyed.push_back({pair.entity.size(), head, pair});
  }
  std::sort(keyed.begin(), keyed.end(), [](const Keyed& a, const Keyed& b) {
    if (a.size != b.size) return a.size > b.size;
    if (a.head != b.head) return a.head < b.head;
    return a.pair.entity < b.pair.entity;
  });
  for (std::size_t i = 0; i < pairs.size(); ++i) pairs[i] = keyed[i].pair;
}

}  // namespace

namespace {

template <class Table>
std::vector<EntityTokenPair> sorted_pairs(const Table& forward) {
  std::vector<EntityTokenPair> pairs;
  pairs.reserve(forward.size());
  for (const auto& [entity, token] : forward) {
    if (!entity.empty()) pairs.push_back({entity, token});
  }
  sort_longer_then_bytewise(pairs);
  return pairs;
}

}  // namespace

std::vector<EntityTokenPair> sorted_forward_pairs(const TokenMap& map) {
  return sorted_pairs(map.forward);
}

std::vector<EntityTokenPair> sorted_forward_pairs(const TextTable& entries) {
  return sorted_pairs(entries);
}

std::vector<EntityTokenPair> sorted_reverse_pairs(const TokenMap& map) {
  std::vector<EntityTokenPair> pairs;
  pairs.reserve(map.reverse.size());
  for (const auto& [token, entity] : map.reverse) {
    if (!token.empty() && !find_token(entity)) pairs.push_back({token, entity});
  }
  sort_longer_then_bytewise(pairs);
  return pairs;
}

bool is_short_capitals(std::string_view entity) {
  return !entity.empty() && entity.size() <= 3 &&
         std::all_of(entity.begin(), entity.end(), is_ascii_capital);
}

bool is_boundary_word_char(char32_t c) {
  if (c < 0x80) return is_ascii_word_byte(static_cast<char>(c));
  static const Regex word_class = Regex::compile(velk::word_class());
  // Each thread remembers what it asked; the engine's answer never changes.
  thread_local std::unordered_map<char32_t, bool> known;
  const auto it = known.find(c);
  if (it != known.end()) return it->second;
  std::string subject;
  append_utf8(subject, c);
  MatchResult match(word_class);
  const bool word = word_class.search(subject, 0, match) == SearchStatus::kMatch;
  known.emplace(c, word);
  return word;
}

bool needs_closing_boundary(std::string_view entity) {
  return !entity.empty() && is_boundary_word_char(char_before(entity, entity.size()));
}

std::string entity_pattern(std::string_view entity) {
  std::string pattern = is_short_capitals(entity) ? "" : "(?i)";
  pattern.reserve(entity.size() * 2 + 80);
  for (char ch : entity) {
    if (needs_escape(ch)) pattern.push_back('\\');
    pattern.push_back(ch);
  }
  if (needs_closing_boundary(entity)) {
    // The match ends in a word character, so the boundary is "no word character next".
    pattern.append("(?!").append(word_class()).append(")");
  }
  return pattern;
}

}  // namespace velk
