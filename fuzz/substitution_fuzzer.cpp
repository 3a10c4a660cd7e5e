// Fuzzes forward and reverse substitution over whole texts (code regions included): results are
// valid UTF-8 and equal those of the literal algorithms, which stay the reference; and for maps
// built from plain ASCII words over a text without brackets, restoring the anonymized text gives
// back the text up to case folding, so nothing is lost, doubled or replaced inside a token.
#include <unicode/uchar.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_input.h"
#include "velk/literal_substitution.h"
#include "velk/substitution.h"

namespace velk::fuzz {
namespace {

// Simple case folding, the relation under which forward substitution matches.
std::string folded(std::string_view text) {
  std::string out;
  for (std::size_t pos = 0; pos < text.size();) {
    const DecodedChar ch = decode_utf8(text, pos);
    append_utf8(out, static_cast<char32_t>(
                         u_foldCase(static_cast<UChar32>(ch.code_point), U_FOLD_CASE_DEFAULT)));
    pos += ch.length;
  }
  return out;
}

bool is_plain_word_char(char ch) {
  return (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9') ||
         ch == ' ';
}

void check_any_map(FuzzedDataProvider& input) {
  const std::string text = consume_text(input, 512);
  const TokenMap map = consume_token_map(input, text);

  const std::string forward = apply_token_map(text, map);
  check(is_valid_utf8(forward), "apply_token_map gives valid UTF-8");
  check_equal(apply_token_map_literal(text, map), forward,
              "apply_token_map equals the literal algorithm");

  for (const std::string_view subject : {std::string_view(text), std::string_view(forward)}) {
    const std::string reverse = deanonymize(subject, map);
    check(is_valid_utf8(reverse), "deanonymize gives valid UTF-8");
    check_equal(deanonymize_literal(subject, map), reverse,
                "deanonymize equals the literal algorithm");
  }
}

void check_round_trip(FuzzedDataProvider& input) {
  std::string text = consume_text(input, 512);
  for (char& ch : text) {
    if (ch == '[') ch = '(';
  }
  std::vector<Entity> entities = consume_entities(input, text, 10);
  std::erase_if(entities, [](Entity& entity) {
    std::erase_if(entity.text, [](char ch) { return !is_plain_word_char(ch); });
    return entity.text.empty();
  });
  const TokenMap map = build_token_map(entities, nullptr);

  const std::string anonymized = apply_token_map(text, map);
  const std::string restored = deanonymize(anonymized, map);
  if (folded(restored) != folded(text)) {
    fail("restoring the anonymized text gives the text back up to case",
         text + "\n" + describe(map), anonymized + "\n" + restored);
  }
}

}  // namespace
}  // namespace velk::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  if (input.ConsumeBool()) {
    velk::fuzz::check_any_map(input);
  } else {
    velk::fuzz::check_round_trip(input);
  }
  return 0;
}
