// Unicode helpers shared by every pass: UTF-8 stepping, the White_Space and word-character
// tests, full lower-casing and the UTF-8 validity test. All functions but that test take
// valid UTF-8.
#ifndef VELK_UNICODE_H_
#define VELK_UNICODE_H_

#include <cstddef>
#include <string>
#include <string_view>

namespace velk {

// Length in bytes of the character whose leading byte is `lead`, judged by the lead byte
// alone: below 0xC0 one byte, then two, three or four.
constexpr std::size_t utf8_sequence_length(unsigned char lead) {
  if (lead < 0xC0) return 1;
  if (lead < 0xE0) return 2;
  if (lead < 0xF0) return 3;
  return 4;
}

struct DecodedChar {
  char32_t code_point;
  std::size_t length;
};

// Decodes the character starting at `pos` (< text.size()).
DecodedChar decode_utf8(std::string_view text, std::size_t pos);

// Start offset of the character that ends at `pos` (0 < pos <= text.size()).
std::size_t previous_char_start(std::string_view text, std::size_t pos);

// Decodes the character that ends at `pos` (0 < pos <= text.size()).
char32_t char_before(std::string_view text, std::size_t pos);

void append_utf8(std::string& out, char32_t code_point);

// The Unicode White_Space property.
bool is_white_space(char32_t c);

// Word characters as our boundaries see them: alphabetic characters, combining marks (Mn, Mc,
// Me), decimal digits (Nd), connector punctuation (Pc) and the two joiners U+200C, U+200D.
bool is_word_char(char32_t c);

// General category Nd.
bool is_decimal_digit(char32_t c);

bool is_ascii(std::string_view text);

// Length of the well-formed UTF-8 sequence at `pos` (< text.size()), or 0 when the bytes there
// are not one: overlong forms, encoded surrogates, values above U+10FFFF, stray or missing
// continuation bytes. `truncated` is set when the sequence was well-formed so far but the text
// ended. Unlike the functions above, this one takes any bytes.
std::size_t valid_utf8_length(std::string_view text, std::size_t pos, bool& truncated);

// Whether all of `text` is well-formed UTF-8.
bool is_valid_utf8(std::string_view text);

// The full default lower-case mapping of the whole string, locale independent, with the
// final-sigma rule. The result may differ in byte length from the input.
std::string to_lower(std::string_view text);

// Same as to_lower, appending to `out` (which keeps its earlier contents).
void append_lower(std::string& out, std::string_view text);

// `text` without leading and trailing White_Space characters.
std::string_view trim_white_space(std::string_view text);

}  // namespace velk

#endif  // VELK_UNICODE_H_
