// The literal substitution algorithms: one compiled pattern per entity and stretch forwards,
// one search per token backwards.
#include "velk/substitution.h"

#include <algorithm>
#include <optional>

#include "velk/code_regions.h"
#include "velk/fast_substitution.h"
#include "velk/regex.h"
#include "velk/unicode.h"

namespace velk {

namespace {

// Word characters for the closing boundary, spelled out because PCRE2's own \w counts some
// characters (No, such as U+00B2) that ours does not and misses spacing marks.
constexpr std::string_view kWordClass =
    "[\\p{Alphabetic}\\p{Mn}\\p{Mc}\\p{Me}\\p{Nd}\\p{Pc}\\x{200C}\\x{200D}]";

bool blocks_match(char32_t before) {
  return (before >= 'a' && before <= 'z') || (before >= 'A' && before <= 'Z') ||
         (before >= '0' && before <= '9') || before == '_' || before == '/' || before == '@';
}

bool needs_escape(char ch) {
  return std::string_view("\\.+*?()|[]{}^$#&-~").find(ch) != std::string_view::npos;
}

}  // namespace

std::vector<EntityTokenPair> sorted_forward_pairs(const TokenMap& map) {
  std::vector<EntityTokenPair> pairs;
  pairs.reserve(map.forward.size());
  // Only whole tokens go in. Any other text would be searched by the pairs after it, and a
  // session document whose values hold copies of shorter entity texts would multiply the
  // text's length pair after pair (a kilobyte of session, gigabytes of output). Maps built
  // here never hold anything else.
  for (const auto& [entity, token] : map.forward) {
    if (is_whole_token(token)) pairs.push_back({entity, token});
  }
  std::stable_sort(pairs.begin(), pairs.end(), [](const auto& a, const auto& b) {
    return a.entity.size() > b.entity.size();
  });
  return pairs;
}

std::string entity_pattern(std::string_view entity) {
  std::string pattern = "(?i)";
  pattern.reserve(entity.size() * 2 + 80);
  for (char ch : entity) {
    if (needs_escape(ch)) pattern.push_back('\\');
    pattern.push_back(ch);
  }
  pattern.append("(?:(?<=").append(kWordClass).append(")(?!").append(kWordClass);
  pattern.append(")|(?<!").append(kWordClass).append(")(?=").append(kWordClass).append("))");
  return pattern;
}

namespace {

// Runs one entity's pattern over `current`, returning the text with replaced matches, or
// nothing when no match was replaced.
std::optional<std::string> replace_entity(const std::string& current, const Regex& regex,
                                          std::string_view token) {
  MatchResult match(regex);
  std::string out;
  std::size_t copied = 0;
  std::size_t from = 0;
  bool replaced = false;
  while (from <= current.size() && regex.search(current, from, match) == SearchStatus::kMatch) {
    const std::size_t s = match.start();
    const std::size_t e = match.end();
    if (s == 0 || !blocks_match(char_before(current, s))) {
      if (!replaced) out.reserve(current.size() + 16);
      out.append(current, copied, s - copied);
      out.append(token);
      copied = e;
      replaced = true;
    }
    from = e > s ? e : e + utf8_sequence_length(static_cast<unsigned char>(current[e]));
  }
  if (!replaced) return std::nullopt;
  out.append(current, copied, std::string::npos);
  return out;
}

}  // namespace

std::string substitute_segment(std::string_view segment,
                               const std::vector<EntityTokenPair>& pairs) {
  std::string current(segment);
  for (const EntityTokenPair& pair : pairs) {
    if (pair.entity.empty()) continue;
    const Regex regex = Regex::compile(entity_pattern(pair.entity), /*jit=*/false);
    if (!regex.ok()) continue;  // too large for the engine
    if (auto replaced = replace_entity(current, regex, pair.token)) current = std::move(*replaced);
  }
  return current;
}

std::string apply_token_map_literal(std::string_view text, const TokenMap& map) {
  const std::vector<EntityTokenPair> pairs = sorted_forward_pairs(map);
  const std::vector<CodeRegion> regions = find_code_regions(text);
  if (regions.empty()) return substitute_segment(text, pairs);
  std::string out;
  out.reserve(text.size() + 64);
  std::size_t cursor = 0;
  for (const CodeRegion& region : regions) {
    if (cursor < region.start) {
      out.append(substitute_segment(text.substr(cursor, region.start - cursor), pairs));
    }
    out.append(text.substr(region.start, region.end - region.start));
    cursor = region.end;
  }
  if (cursor < text.size()) out.append(substitute_segment(text.substr(cursor), pairs));
  return out;
}

std::string deanonymize_literal(std::string_view text, const TokenMap& map) {
  std::vector<std::pair<std::string_view, std::string_view>> tokens;
  tokens.reserve(map.reverse.size());
  // Keys that are not whole tokens are left alone, for the reason given in
  // sorted_forward_pairs: restored text is searched by the keys after it.
  for (const auto& [token, entity] : map.reverse) {
    if (is_whole_token(token)) tokens.emplace_back(token, entity);
  }
  std::stable_sort(tokens.begin(), tokens.end(), [](const auto& a, const auto& b) {
    return a.first.size() > b.first.size();
  });
  std::string result(text);
  for (const auto& [token, entity] : tokens) {
    if (find_token(entity)) continue;
    if (result.find(token) == std::string::npos) continue;
    std::string out;
    out.reserve(result.size());
    std::size_t copied = 0;
    for (std::size_t at = result.find(token); at != std::string::npos;
         at = result.find(token, at + token.size())) {
      out.append(result, copied, at - copied);
      out.append(entity);
      copied = at + token.size();
    }
    out.append(result, copied, std::string::npos);
    result = std::move(out);
  }
  return result;
}

std::string apply_token_map(std::string_view text, const TokenMap& map) {
  return fast_apply_token_map(text, map);
}

std::string deanonymize(std::string_view text, const TokenMap& map) {
  return fast_deanonymize(text, map);
}

}  // namespace velk
