// Pair order, matching rules and the engine-backed word test shared by both substitutions.
#include "velk/substitution_rules.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <unordered_map>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

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

// A text to sort: its length and its first eight bytes as numbers, and its number.
struct Keyed {
  std::size_t shortness;  // the longest length minus this one, so that ascending is longest first
  std::uint64_t head;     // the first eight bytes, big-endian, zeros past the end
  std::uint32_t item;
};

// Sorts by (shortness, head) with a radix sort, a byte at a time, least significant first, each
// pass stable; a pass whose byte is the same for all is skipped.
void radix_sort(std::vector<Keyed>& keyed, std::size_t longest) {
  std::vector<Keyed> sorted(keyed.size());
  const auto pass = [&](auto byte_of) {
    std::array<std::size_t, 257> next{};
    for (const Keyed& k : keyed) ++next[byte_of(k) + 1];
    if (std::find(next.begin(), next.end(), keyed.size()) != next.end()) return;
    for (std::size_t b = 0; b < 256; ++b) next[b + 1] += next[b];
    for (const Keyed& k : keyed) sorted[next[byte_of(k)]++] = k;
    keyed.swap(sorted);
  };
  for (unsigned shift = 0; shift < 64; shift += 8) {
    pass([shift](const Keyed& k) { return static_cast<std::size_t>((k.head >> shift) & 255); });
  }
  for (unsigned shift = 0; shift < 64 && (longest >> shift) != 0; shift += 8) {
    pass([shift](const Keyed& k) { return (k.shortness >> shift) & 255; });
  }
}

// `items` (numbers of texts that `text_of` gives) with the longest text first, equal lengths in
// ascending byte order. A radix sort on the length and the first eight bytes does the work
// without the mispredicted branches of comparisons; only texts that agree on both are compared
// in full. A few items are sorted by comparisons instead: each radix pass clears and sums a table
// of 257 counts, which costs more than sorting a chat message's few dozen texts.
template <class TextOf>
void sort_longer_then_bytewise(std::vector<std::uint32_t>& items, TextOf text_of) {
  std::size_t longest = 0;
  for (const std::uint32_t item : items) longest = std::max(longest, text_of(item).size());
  std::vector<Keyed> keyed;
  keyed.reserve(items.size());
  for (const std::uint32_t item : items) {
    const std::string_view text = text_of(item);
    std::uint64_t head = 0;
    for (std::size_t i = 0; i < 8; ++i) {
      head = head << 8 | (i < text.size() ? static_cast<unsigned char>(text[i]) : 0);
    }
    keyed.push_back({longest - text.size(), head, item});
  }
  const auto before = [&text_of](const Keyed& a, const Keyed& b) {
    if (a.shortness != b.shortness) return a.shortness < b.shortness;
    if (a.head != b.head) return a.head < b.head;
    return text_of(a.item) < text_of(b.item);
  };
  constexpr std::size_t kFewItems = 64;
  if (keyed.size() <= kFewItems) {
    std::sort(keyed.begin(), keyed.end(), before);
  } else {
    radix_sort(keyed, longest);
    for (auto run = keyed.begin(); run != keyed.end();) {
      auto end = run + 1;
      while (end != keyed.end() && run->shortness == end->shortness && run->head == end->head) {
        ++end;
      }
      if (end - run > 1) std::sort(run, end, before);
      run = end;
    }
  }
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

std::uint64_t blocking_mask(const char* bytes) {
  std::uint64_t mask = 0;
#ifdef __SSE2__
  // Signed comparisons leave the bytes from 0x80 out of every range.
  const auto in = [](__m128i x, char first, char last) {
    return _mm_and_si128(_mm_cmpgt_epi8(x, _mm_set1_epi8(static_cast<char>(first - 1))),
                         _mm_cmplt_epi8(x, _mm_set1_epi8(static_cast<char>(last + 1))));
  };
  for (int part = 0; part < 4; ++part) {
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + 16 * part));
    // '/' and the digits, '@' and the capitals, '_', the small letters.
    const __m128i blocks =
        _mm_or_si128(_mm_or_si128(in(x, '/', '9'), in(x, '@', 'Z')),
                     _mm_or_si128(_mm_cmpeq_epi8(x, _mm_set1_epi8('_')), in(x, 'a', 'z')));
    mask |= std::uint64_t{static_cast<std::uint16_t>(_mm_movemask_epi8(blocks))} << (16 * part);
  }
#else
  for (unsigned k = 0; k < 64; ++k) {
    mask |= std::uint64_t{blocks_match(static_cast<unsigned char>(bytes[k]))} << k;
  }
#endif
  return mask;
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
