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

// `items` (numbers of texts that `text_of` gives) with the longest text first, equal lengths in
// ascending byte order. Each carries the first eight bytes of its text as a number, so that
// most comparisons take no call.
template <class TextOf>
void sort_longer_then_bytewise(std::vector<std::uint32_t>& items, TextOf text_of) {
  struct Keyed {
    std::size_t size;
    std::uint64_t head;  // the first eight bytes, big-endian, zeros past the end
    std::uint32_t item;
  };
  std::vector<Keyed> keyed;
  keyed.reserve(items.size());
  for (const std::uint32_t item : items) {
    const std::string_view text = text_of(item);
    std::uint64_t head = 0;
    for (std::size_t i = 0; i < 8; ++i) {
      head = head << 8 | (i < text.size() ? static_cast<unsigned char>(text[i]) : 0);
    }
    keyed.push_back({text.size(), head, item});
  }
  std::sort(keyed.begin(), keyed.end(), [&text_of](const Keyed& a, const Keyed& b) {
    if (a.size != b.size) return a.size > b.size;
    if (a.head != b.head) return a.head < b.head;
    return text_of(a.item) < text_of(b.item);
  });
  for (std::size_t i = 0; i < items.size(); ++i) items[i] = keyed[i].item;
}

void sort_longer_then_bytewise(std::vector<EntityTokenPair>& pairs) {
  std::vector<std::uint32_t> order(pairs.size());
  for (std::uint32_t i = 0; i < order.size(); ++i) order[i] = i;
  sort_longer_then_bytewise(order, [&pairs](std::uint32_t i) { return pairs[i].entity; });
  std::vector<EntityTokenPair> sorted;
  sorted.reserve(pairs.size());
  for (const std::uint32_t i : order) sorted.push_back(pairs[i]);
  pairs = std::move(sorted);
}

}  // namespace

std::vector<EntityTokenPair> sorted_forward_pairs(const TokenMap& map) {
  std::vector<EntityTokenPair> pairs;
  pairs.reserve(map.forward.size());
  for (const auto& [entity, token] : map.forward) {
    if (!entity.empty()) pairs.push_back({entity, token});
  }
  sort_longer_then_bytewise(pairs);
  return pairs;
}

std::vector<std::uint32_t> sorted_forward_entries(const TextTable& entries) {
  std::vector<std::uint32_t> order;
  order.reserve(entries.size());
  for (std::uint32_t i = 0; i < entries.size(); ++i) {
    if (!entries.entry(i).first.empty()) order.push_back(i);
  }
  sort_longer_then_bytewise(order, [&entries](std::uint32_t i) { return entries.entry(i).first; });
  return order;
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
