// Fuzzes the fast forward substitution of one stretch against the literal one, pattern by
// pattern, for the same ordered pairs in any order and with tokens of any shape (the usual
// bracketed ones, empty ones, ones that hold entity text). The only allowed difference is a
// pair whose pattern PCRE2 refuses to compile, which the literal algorithm skips.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_input.h"
#include "velk/fast_substitution.h"
#include "velk/regex.h"
#include "velk/literal_substitution.h"
#include "velk/substitution_rules.h"

namespace velk::fuzz {
namespace {

std::string consume_any_token(FuzzedDataProvider& input, std::string_view segment) {
  switch (input.ConsumeIntegralInRange<int>(0, 5)) {
    case 0:
      return "";
    case 1:
      return consume_piece_of(input, segment);
    case 2:
      return "[" + consume_piece_of(input, segment) + "]";
    default:
      return consume_token(input);
  }
}

std::string describe_pairs(const std::vector<EntityTokenPair>& pairs) {
  std::string out;
  for (const EntityTokenPair& pair : pairs) {
    out.append("  '").append(pair.entity).append("' -> '").append(pair.token).append("'\n");
  }
  return out;
}

}  // namespace
}  // namespace velk::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace velk::fuzz;
  FuzzedDataProvider input(data, size);
  const std::string segment = consume_text(input, 384);
  const std::size_t count = input.ConsumeIntegralInRange<std::size_t>(0, 12);
  std::vector<std::string> entities;
  std::vector<std::string> tokens;
  for (std::size_t i = 0; i < count; ++i) {
    entities.push_back(consume_entity_text(input, segment));
    tokens.push_back(consume_any_token(input, segment));
  }
  std::vector<velk::EntityTokenPair> pairs;
  for (std::size_t i = 0; i < count; ++i) {
    if (!entities[i].empty() &&
        !velk::Regex::compile(velk::entity_pattern(entities[i]), /*jit=*/false).ok()) {
      return 0;  // the literal algorithm would skip this pair, the fast one does not
    }
    pairs.push_back({entities[i], tokens[i]});
  }
  // Mostly in the order apply_token_map uses, longest entity first; otherwise as drawn.
  if (input.ConsumeBool()) {
    std::stable_sort(pairs.begin(), pairs.end(), [](const auto& a, const auto& b) {
      return a.entity.size() > b.entity.size();
    });
  }
  const std::string literal = velk::substitute_segment(segment, pairs);
  const std::string fast = velk::fast_substitute_segment(segment, pairs);
  if (literal != fast) {
    fail("fast_substitute_segment equals substitute_segment",
         "segment '" + segment + "'\n" + describe_pairs(pairs) + literal, fast);
  }
  return 0;
}
