// Byte tests for the basic-Latin characters that the detectors treat specially. They take one
// byte of UTF-8 text: every byte of a multi-byte character is at least 0x80, so none of them
// ever says yes to part of a non-ASCII character.
#ifndef VELK_ASCII_H_
#define VELK_ASCII_H_

namespace velk {

// A-Z only: an accented or non-Latin capital never opens a name or a CamelCase word.
constexpr bool is_ascii_capital(char c) { return c >= 'A' && c <= 'Z'; }
constexpr bool is_ascii_small(char c) { return c >= 'a' && c <= 'z'; }
constexpr bool is_ascii_letter(char c) { return is_ascii_capital(c) || is_ascii_small(c); }
constexpr bool is_ascii_digit(char c) { return c >= '0' && c <= '9'; }
constexpr bool is_ascii_alnum(char c) { return is_ascii_letter(c) || is_ascii_digit(c); }

// A letter, digit or "_": the ASCII part of our word characters (see is_word_char).
constexpr bool is_ascii_word_byte(char c) { return is_ascii_alnum(c) || c == '_'; }

// The 32 basic-Latin punctuation characters, from "!" to "~" without letters and digits.
constexpr bool is_ascii_punctuation(char c) {
  return (c >= 0x21 && c <= 0x2F) || (c >= 0x3A && c <= 0x40) || (c >= 0x5B && c <= 0x60) ||
         (c >= 0x7B && c <= 0x7E);
}

constexpr char ascii_lower(char c) {
  return is_ascii_capital(c) ? static_cast<char>(c + ('a' - 'A')) : c;
}

}  // namespace velk

#endif  // VELK_ASCII_H_
