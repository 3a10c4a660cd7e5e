// Unicode helpers. ASCII takes fast paths; everything else goes through ICU.
#include "velk/unicode.h"

#include <unicode/uchar.h>
#include <unicode/ucasemap.h>
#include <unicode/utf8.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <memory>

#include "velk/ascii.h"
#include "velk/byte_lanes.h"

namespace velk {

DecodedChar decode_utf8(std::string_view text, std::size_t pos) {
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const unsigned char lead = s[pos];
  if (lead < 0x80) return {lead, 1};
  std::size_t length = utf8_sequence_length(lead);
  if (pos + length > text.size()) length = text.size() - pos;
  char32_t cp;
  switch (length) {
    case 2:
      cp = ((lead & 0x1Fu) << 6) | (s[pos + 1] & 0x3Fu);
      break;
    case 3:
      cp = ((lead & 0x0Fu) << 12) | ((s[pos + 1] & 0x3Fu) << 6) | (s[pos + 2] & 0x3Fu);
      break;
    case 4:
      cp = ((lead & 0x07u) << 18) | ((s[pos + 1] & 0x3Fu) << 12) | ((s[pos + 2] & 0x3Fu) << 6) |
           (s[pos + 3] & 0x3Fu);
      break;
    default:
      cp = lead;
      break;
  }
  return {cp, length};
}

std::size_t previous_char_start(std::string_view text, std::size_t pos) {
  std::size_t start = pos - 1;
  while (start > 0 && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) --start;
  return start;
}

char32_t char_before(std::string_view text, std::size_t pos) {
  return decode_utf8(text, previous_char_start(text, pos)).code_point;
}

void append_utf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

bool is_white_space(char32_t c) {
  switch (c) {
    case 0x09: case 0x0A: case 0x0B: case 0x0C: case 0x0D: case 0x20: case 0x85: case 0xA0:
    case 0x1680: case 0x2028: case 0x2029: case 0x202F: case 0x205F: case 0x3000:
      return true;
    default:
      return c >= 0x2000 && c <= 0x200A;
  }
}

bool is_word_char(char32_t c) {
  if (c < 0x80) return is_ascii_word_byte(static_cast<char>(c));
  if (c == 0x200C || c == 0x200D) return true;
  const auto uc = static_cast<UChar32>(c);
  if (u_hasBinaryProperty(uc, UCHAR_ALPHABETIC)) return true;
  switch (u_charType(uc)) {
    case U_NON_SPACING_MARK:
    case U_COMBINING_SPACING_MARK:
    case U_ENCLOSING_MARK:
    case U_DECIMAL_DIGIT_NUMBER:
    case U_CONNECTOR_PUNCTUATION:
      return true;
    default:
      return false;
  }
}

bool is_decimal_digit(char32_t c) {
  if (c < 0x80) return is_ascii_digit(static_cast<char>(c));
  return u_charType(static_cast<UChar32>(c)) == U_DECIMAL_DIGIT_NUMBER;
}

bool is_ascii(std::string_view text) {
  // Four words at a time, without an exit per byte: long texts are asked this on every call.
  const char* p = text.data();
  std::size_t left = text.size();
  std::uint64_t seen = 0;
  for (; left >= 32; p += 32, left -= 32) {
    std::uint64_t words[4];
    std::memcpy(words, p, sizeof words);
    seen |= words[0] | words[1] | words[2] | words[3];
    if (byte_lanes::non_ascii_lanes(seen) != 0) return false;
  }
  for (; left > 0; ++p, --left) seen |= static_cast<unsigned char>(*p);
  return byte_lanes::non_ascii_lanes(seen) == 0;
}

std::size_t valid_utf8_length(std::string_view text, std::size_t pos, bool& truncated) {
  truncated = false;
  const auto lead = static_cast<unsigned char>(text[pos]);
  if (lead < 0x80) return 1;
  std::size_t length = 0;
  unsigned char low = 0x80;   // bounds of the second byte, which rule out overlong forms,
  unsigned char high = 0xBF;  // surrogates and values beyond U+10FFFF
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  for (std::size_t k = 1; k < length; ++k) {
    if (pos + k >= text.size()) {
      truncated = true;
      return 0;
    }
    const auto byte = static_cast<unsigned char>(text[pos + k]);
    if (k == 1 ? (byte < low || byte > high) : (byte & 0xC0) != 0x80) return 0;
  }
  return length;
}

bool is_valid_utf8(std::string_view text) {
  bool truncated = false;
  for (std::size_t pos = 0; pos < text.size();) {
    const std::size_t length = valid_utf8_length(text, pos, truncated);
    if (length == 0) return false;
    pos += length;
  }
  return true;
}

namespace {

struct CaseMapCloser {
  void operator()(UCaseMap* map) const { ucasemap_close(map); }
};

// The root-locale case map, shared read-only by all threads once built.
const UCaseMap* root_case_map() {
  static const std::unique_ptr<UCaseMap, CaseMapCloser> map = [] {
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<UCaseMap, CaseMapCloser> m(ucasemap_open("", 0, &status));
    return m;
  }();
  return map.get();
}

// Lower-cases one piece that fits ICU's 32-bit lengths.
void append_lower_piece(std::string& out, std::string_view piece) {
  const std::size_t base = out.size();
  // Lower-casing grows UTF-8 text by at most a factor of 3 (U+023A -> U+2C65 is 2 -> 3 bytes;
  // U+0130 -> i + U+0307 is 2 -> 3 bytes), so start with a generous guess and retry once.
  std::size_t capacity = piece.size() + piece.size() / 2 + 16;
  for (int attempt = 0; attempt < 2; ++attempt) {
    out.resize(base + capacity);
    UErrorCode status = U_ZERO_ERROR;
    const int32_t written = ucasemap_utf8ToLower(
        root_case_map(), out.data() + base, static_cast<int32_t>(capacity), piece.data(),
        static_cast<int32_t>(piece.size()), &status);
    if (U_SUCCESS(status)) {
      out.resize(base + static_cast<std::size_t>(written));
      return;
    }
    if (status != U_BUFFER_OVERFLOW_ERROR) break;
    capacity = static_cast<std::size_t>(written);
  }
  // ICU refused the text, which valid UTF-8 never causes; keep the text rather than lose it.
  out.resize(base);
  out.append(piece);
}

}  // namespace

void append_lower(std::string& out, std::string_view text) {
  if (is_ascii(text)) {
    const std::size_t base = out.size();
    out.append(text);
    for (std::size_t i = base; i < out.size(); ++i) out[i] = ascii_lower(out[i]);
    return;
  }
  // ICU lengths are 32-bit; a larger text is cut after a white space character, where the
  // final-sigma context cannot reach across, or at a character boundary when there is none.
  constexpr std::size_t kPiece = (INT32_MAX / 3) - 16;
  while (text.size() > kPiece) {
    std::size_t cut = kPiece;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    std::size_t space = cut;
    while (space > kPiece / 2 && text[space - 1] != ' ' && text[space - 1] != '\n') --space;
    if (space > kPiece / 2) cut = space;
    append_lower_piece(out, text.substr(0, cut));
    text.remove_prefix(cut);
  }
  append_lower_piece(out, text);
}

std::string to_lower(std::string_view text) {
  std::string out;
  append_lower(out, text);
  return out;
}

std::string_view trim_white_space(std::string_view text) {
  std::size_t begin = 0;
  while (begin < text.size()) {
    const DecodedChar ch = decode_utf8(text, begin);
    if (!is_white_space(ch.code_point)) break;
    begin += ch.length;
  }
  std::size_t end = text.size();
  while (end > begin) {
    const std::size_t start = previous_char_start(text, end);
    if (!is_white_space(decode_utf8(text, start).code_point)) break;
    end = start;
  }
  return text.substr(begin, end - begin);
}

}  // namespace velk
