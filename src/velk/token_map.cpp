// Token syntax and build_token_map.
#include "velk/token_map.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <deque>
#include <unordered_map>

#include "velk/unicode.h"

namespace velk {

namespace {

bool is_capital(char ch) { return ch >= 'A' && ch <= 'Z'; }

// Tries to read a token starting at the '[' at `open`; returns its end on success.
std::optional<TokenMatch> token_at(std::string_view text, std::size_t open) {
  std::size_t p = open + 1;
  const std::size_t prefix_start = p;
  while (p < text.size() && is_capital(text[p])) ++p;
  if (p == prefix_start || p >= text.size() || text[p] != '_') return std::nullopt;
  const std::size_t prefix_end = p;
  ++p;
  const std::size_t number_start = p;
  while (p < text.size()) {
    const DecodedChar ch = decode_utf8(text, p);
    if (!is_decimal_digit(ch.code_point)) break;
    p += ch.length;
  }
  if (p == number_start || p >= text.size() || text[p] != ']') return std::nullopt;
  return TokenMatch{open, p + 1, text.substr(prefix_start, prefix_end - prefix_start),
                    text.substr(number_start, p - number_start)};
}

// Group 2 of a token as an unsigned 32-bit number; digits other than 0-9 or a value that does
// not fit count as 0.
std::uint64_t parse_token_number(std::string_view digits) {
  std::uint32_t value = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (error != std::errc() || end != digits.data() + digits.size()) return 0;
  return value;
}

}  // namespace

std::optional<TokenMatch> find_token(std::string_view text, std::size_t start) {
  for (std::size_t p = text.find('[', start); p != std::string_view::npos;
       p = text.find('[', p + 1)) {
    if (auto match = token_at(text, p)) return match;
  }
  return std::nullopt;
}

bool is_whole_token(std::string_view text) {
  if (text.empty() || text.front() != '[') return false;
  const auto token = token_at(text, 0);
  return token && token->end == text.size();
}

std::string make_token(std::string_view prefix, std::uint64_t number) {
  std::string token;
  token.reserve(prefix.size() + 23);
  token.push_back('[');
  token.append(prefix);
  token.push_back('_');
  token.append(std::to_string(number));
  token.push_back(']');
  return token;
}

namespace {

// Tables keyed by texts as they compare lower-cased, without lower-casing ASCII texts: an ASCII
// text's full lower-casing is its ASCII lower-casing, so such a text stands as it is, and any
// other text stands lower-cased (which leaves no ASCII capital in it). Hash and equality fold
// ASCII capitals.
char ascii_lower(char ch) { return (ch >= 'A' && ch <= 'Z') ? static_cast<char>(ch + 32) : ch; }

struct CaselessHash {
  std::size_t operator()(std::string_view text) const noexcept {
    std::uint64_t hash = 14695981039346656037ull;  // FNV-1a
    for (const char ch : text) {
      hash = (hash ^ static_cast<unsigned char>(ascii_lower(ch))) * 1099511628211ull;
    }
    return static_cast<std::size_t>(hash ^ (hash >> 29));
  }
};

struct CaselessEqual {
  bool operator()(std::string_view a, std::string_view b) const noexcept {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(),
                      [](char x, char y) { return ascii_lower(x) == ascii_lower(y); });
  }
};

// A lower-cased key to its token, both viewed in storage that outlives the index.
class LowerIndex {
 public:
  void reserve(std::size_t size) { index_.reserve(size); }
  // Adds `key` (a forward key). Of several keys with one lower-cased form, the first in byte
  // order answers, so that which case variant is reused does not depend on hash order.
  void add(std::string_view key, std::string_view token, const std::string* lower = nullptr) {
    const auto [it, is_new] = index_.try_emplace(as_key(key, lower), Variant{key, token});
    if (!is_new && key < it->second.key) it->second = {key, token};
  }
  const std::string_view* find(std::string_view key, const std::string* lower) const {
    const auto it = is_ascii(key) ? index_.find(key) : index_.find(lower ? *lower : to_lower(key));
    return it == index_.end() ? nullptr : &it->second.token;
  }

 private:
  std::string_view as_key(std::string_view key, const std::string* lower) {
    if (is_ascii(key)) return key;
    return owned_.emplace_back(lower ? *lower : to_lower(key));
  }

  struct Variant {
    std::string_view key;
    std::string_view token;
  };
  std::unordered_map<std::string_view, Variant, CaselessHash, CaselessEqual> index_;
  std::deque<std::string> owned_;  // lower-cased forms of the keys that are not ASCII
};

}  // namespace

TokenMap build_token_map(std::span<const Entity> entities, const TokenMap* existing,
                         std::span<const std::string> lower_texts) {
  TokenMap map = existing ? *existing : TokenMap{};
  const bool lowered = lower_texts.size() == entities.size();

  // Both tables below cost a pass over the whole map, so they are built only when an entity
  // needs them: most calls in a conversation only meet texts that are already mapped.
  //
  // The next number of each prefix continues after the highest one found in `reverse` keys.
  std::unordered_map<std::string, std::uint64_t, StringHash, std::equal_to<>> counters;
  bool have_counters = false;
  // Lower-cased forward key to its token; which of several case variants answers is free.
  // Keys and tokens are viewed in `map`, whose nodes never move.
  LowerIndex lower_index;
  bool have_index = false;

  for (std::size_t i = 0; i < entities.size(); ++i) {
    const Entity& entity = entities[i];
    if (!have_index) {
      if (map.forward.contains(entity.text)) continue;
      // Room for every entity up front: rehashing three tables as they grow costs more than
      // the lookups themselves on long documents.
      map.forward.reserve(map.forward.size() + entities.size());
      map.reverse.reserve(map.reverse.size() + entities.size());
      lower_index.reserve(map.forward.size() + entities.size());
      for (const auto& [key, token] : map.forward) lower_index.add(key, token);
      have_index = true;
    }
    // The entry goes in now and gets its token below; a known text keeps its own.
    const auto [entry, is_new] = map.forward.try_emplace(entity.text);
    if (!is_new) continue;
    const std::string* lower = lowered ? &lower_texts[i] : nullptr;
    if (const std::string_view* token = lower_index.find(entity.text, lower)) {
      entry->second = *token;
      continue;
    }
    if (!have_counters) {
      for (const auto& [key, value] : map.reverse) {
        const auto token = find_token(key);
        if (!token) continue;
        auto counter = counters.find(token->prefix);
        if (counter == counters.end()) counter = counters.emplace(token->prefix, 0).first;
        counter->second = std::max(counter->second, parse_token_number(token->number));
      }
      have_counters = true;
    }
    const std::string_view prefix = token_prefix(entity.entity_type);
    auto counter = counters.find(prefix);
    if (counter == counters.end()) counter = counters.emplace(std::string(prefix), 0).first;
    // Past 4294967295 numbering goes on in 64 bits; a number that no longer parses as a
    // 32-bit counter may already stand in `reverse`, so skip any token that is taken.
    std::string token;
    do {
      token = make_token(prefix, ++counter->second);
    } while (!map.reverse.try_emplace(token, entity.text).second);
    entry->second = std::move(token);
    lower_index.add(entry->first, entry->second, lower);
  }
  return map;
}

}  // namespace velk
