// The syntax of placeholder tokens: "[" PREFIX "_" DIGITS "]", with PREFIX one or more capitals
// A-Z and DIGITS one or more Unicode decimal digits. Numbering, the substitution, the session
// reader and the lexicon recognizer (which never joins a placeholder into a name) all read
// tokens through these.
#ifndef VELK_TOKEN_SYNTAX_H_
#define VELK_TOKEN_SYNTAX_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace velk {

// A placeholder token found by searching a string for "[" PREFIX "_" DIGITS "]".
struct TokenMatch {
  std::size_t start;
  std::size_t end;
  std::string_view prefix;
  std::string_view number;  // Unicode decimal digits, possibly not ASCII
};

// The leftmost token anywhere in `text`, if any. Digits are any Unicode decimal digits.
std::optional<TokenMatch> find_token(std::string_view text, std::size_t start = 0);

// True when `text` is exactly one token, nothing before or after it.
bool is_whole_token(std::string_view text);

// "[" + prefix + "_" + number + "]".
std::string make_token(std::string_view prefix, std::uint64_t number);

// Where the opening "[" PREFIX "_" of a token would end, for the "[" at `open`; 0 when the
// text there does not open one.
std::size_t token_opening_end(std::string_view text, std::size_t open);

// The digits of a token as an unsigned 32-bit number; digits other than 0-9, or a value that
// does not fit, count as 0.
std::uint64_t parse_token_number(std::string_view digits);

}  // namespace velk

#endif  // VELK_TOKEN_SYNTAX_H_
