// Lower-casing, White_Space, word characters and UTF-8 stepping.
#include "velk/unicode.h"

#include <gtest/gtest.h>
#include <unicode/uchar.h>

#include "test_support.h"

namespace velk {
namespace {

TEST(LowerCase, FullMappingWithFinalSigma) {
  test::expect_rows<std::string_view, std::string>(to_lower, {
      {"ASCII", "Hello WORLD 123", "hello world 123"},
      {"final sigma at the end of the word", "ΟΔΥΣΣΕΥΣ", "οδυσσευς"},
      {"grows: 2 bytes become 3", "İstanbul", "i\u0307stanbul"},
      {"Kelvin sign shrinks to one byte", "\u212A", "k"},
      {"binary zero", std::string_view("A\0B", 3), std::string("a\0b", 3)},
      {"astral (Deseret) letters", "𐐀𐐁", "𐐨𐐩"},
  });
  std::string out = "prefix:";
  append_lower(out, "ÉCOLE");
  EXPECT_EQ(out, "prefix:école") << "append_lower keeps what came before";
}

// U+180E was White_Space once and is not any more; ICU's data is the reference.
TEST(WhiteSpace, IsExactlyTheWhiteSpaceProperty) {
  for (char32_t c = 0; c <= 0x10FFFF && !HasFailure(); ++c) {
    EXPECT_EQ(is_white_space(c), static_cast<bool>(u_isUWhiteSpace(static_cast<UChar32>(c))))
        << "U+" << std::hex << static_cast<unsigned>(c);
  }
}

// Word characters are alphabetic, marks of every kind (a spacing mark too), Nd digits,
// connector punctuation and the joiners; other numbers (U+00B2) are not. Digits are Nd only.
TEST(WordCharAndDigit, FollowOurDefinitionsNotTheEngines) {
  const auto word_and_digit = [](char32_t c) {
    return std::pair(is_word_char(c), is_decimal_digit(c));
  };
  test::expect_rows<char32_t, std::pair<bool, bool>>(word_and_digit, {
      {"", 'Z', {true, false}},     {"", '0', {true, true}},      {"", '_', {true, false}},
      {"", '-', {false, false}},    {"", 0xE9, {true, false}},    {"", 0x0903, {true, false}},
      {"", 0x0301, {true, false}},  {"", 0x20DD, {true, false}},  {"", 0x0663, {true, true}},
      {"", 0x203F, {true, false}},  {"", 0x200C, {true, false}},  {"", 0x200D, {true, false}},
      {"", 0x00B2, {false, false}}, {"", 0x2160, {true, false}},  {"", 0x1F600, {false, false}},
  });
}

// Encoding, decoding and stepping both ways agree at every sequence-length boundary.
TEST(Utf8, DecodeStepAndEncodeRoundTrip) {
  const std::u32string code_points = {U'a', 0x7F, 0x80, 0x7FF, 0x800, 0xFFFF, 0x10000, 0x10FFFF};
  std::string text;
  std::vector<std::size_t> starts;
  for (char32_t c : code_points) {
    starts.push_back(text.size());
    append_utf8(text, c);
  }
  starts.push_back(text.size());
  for (std::size_t i = 0; i < code_points.size(); ++i) {
    const DecodedChar ch = decode_utf8(text, starts[i]);
    EXPECT_EQ(ch.code_point, code_points[i]) << i;
    EXPECT_EQ(ch.length, starts[i + 1] - starts[i]) << i;
    EXPECT_EQ(utf8_sequence_length(static_cast<unsigned char>(text[starts[i]])), ch.length) << i;
    EXPECT_EQ(previous_char_start(text, starts[i + 1]), starts[i]) << i;
    EXPECT_EQ(char_before(text, starts[i + 1]), code_points[i]) << i;
  }
}

}  // namespace
}  // namespace velk
