// Token syntax and build_token_map.
#include "velk/token_map.h"

#include <algorithm>
#include <charconv>

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
  StringMap lower_index;
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
      for (const auto& [key, token] : map.forward) lower_index.try_emplace(to_lower(key), token);
      have_index = true;
    }
    // The entry goes in now and gets its token below; a known text keeps its own.
    const auto [entry, is_new] = map.forward.try_emplace(entity.text);
    if (!is_new) continue;
    std::string lower = lowered ? lower_texts[i] : to_lower(entity.text);
    if (const auto it = lower_index.find(lower); it != lower_index.end()) {
      entry->second = it->second;
      continue;
    }
    if (!have_counters) {
      for (const auto& [key, value] : map.reverse) {
        const auto token = find_token(key);
        if (!token) continue;
        std::uint64_t& counter = counters[std::string(token->prefix)];
        counter = std::max(counter, parse_token_number(token->number));
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
    entry->second = token;
    lower_index.emplace(std::move(lower), std::move(token));
  }
  return map;
}

}  // namespace velk
