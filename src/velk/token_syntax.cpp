// Reading and writing placeholder tokens.
#include "velk/token_syntax.h"

#include <charconv>

#include "velk/ascii.h"
#include "velk/unicode.h"

namespace velk {

std::size_t token_opening_end(std::string_view text, std::size_t open) {
  std::size_t p = open + 1;
  while (p < text.size() && is_ascii_capital(text[p])) ++p;
  if (p == open + 1 || p >= text.size() || text[p] != '_') return 0;
  return p + 1;
}

std::uint64_t parse_token_number(std::string_view digits) {
  std::uint32_t value = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (error != std::errc() || end != digits.data() + digits.size()) return 0;
  return value;
}

namespace {

// The token that starts at the '[' at `open`, if one does.
std::optional<TokenMatch> token_at(std::string_view text, std::size_t open) {
  std::size_t p = token_opening_end(text, open);
  if (p == 0) return std::nullopt;
  const std::size_t prefix_start = open + 1;
  const std::size_t prefix_end = p - 1;
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

}  // namespace velk
