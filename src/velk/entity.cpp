// Names and prefixes of the entity kinds.
#include "velk/entity.h"

#include <unicode/uchar.h>

#include <cstdio>

#include "velk/unicode.h"

namespace velk {

namespace {

constexpr std::array<std::string_view, kEntityTypeCount> kPrefixes = {
    "PERSON", "PLACE", "ORG", "PROJECT", "EMAIL", "PHONE", "URL", "HANDLE", "SECRET", "IP"};

constexpr std::array<std::string_view, kEntityTypeCount> kNames = {
    "Person", "Place", "Org", "Project", "Email", "Phone", "Url", "Handle", "Secret", "IpAddress"};

}  // namespace

std::string_view token_prefix(EntityType type) { return kPrefixes[static_cast<std::size_t>(type)]; }

std::string_view display_name(EntityType type) { return kNames[static_cast<std::size_t>(type)]; }

namespace {

constexpr std::uint64_t rotl(std::uint64_t x, int b) { return (x << b) | (x >> (64 - b)); }

struct SipState {
  std::uint64_t v0 = 0x736f6d6570736575ULL;
  std::uint64_t v1 = 0x646f72616e646f6dULL;
  std::uint64_t v2 = 0x6c7967656e657261ULL;
  std::uint64_t v3 = 0x7465646279746573ULL;

  void round() {
    v0 += v1; v1 = rotl(v1, 13); v1 ^= v0; v0 = rotl(v0, 32);
    v2 += v3; v3 = rotl(v3, 16); v3 ^= v2;
    v0 += v3; v3 = rotl(v3, 21); v3 ^= v0;
    v2 += v1; v1 = rotl(v1, 17); v1 ^= v2; v2 = rotl(v2, 32);
  }
  void compress(std::uint64_t m) {
    v3 ^= m;
    round();
    v0 ^= m;
  }
};

// SipHash-1-3 of exactly 8 bytes (the little-endian value m) with both keys zero.
std::uint64_t siphash13_u64(std::uint64_t m) {
  SipState s;  // keys are zero, so the initial constants stand as they are
  s.compress(m);
  s.compress(std::uint64_t{8} << 56);  // final block: no tail bytes, length 8 in the top byte
  s.v2 ^= 0xff;
  s.round();
  s.round();
  s.round();
  return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

// Printable as the debug form sees it: everything except controls, format characters,
// surrogates, private use, unassigned code points and separators other than the space.
bool is_printable(char32_t c) {
  if (c == ' ') return true;
  switch (u_charType(static_cast<UChar32>(c))) {
    case U_CONTROL_CHAR:
    case U_FORMAT_CHAR:
    case U_SURROGATE:
    case U_PRIVATE_USE_CHAR:
    case U_UNASSIGNED:
    case U_SPACE_SEPARATOR:
    case U_LINE_SEPARATOR:
    case U_PARAGRAPH_SEPARATOR:
      return false;
    default:
      return true;
  }
}

}  // namespace

std::int64_t entity_type_hash(EntityType type) {
  const auto hash = static_cast<std::int64_t>(siphash13_u64(static_cast<std::uint64_t>(type)));
  return hash == -1 ? -2 : hash;
}

std::string debug_string(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out.push_back('"');
  for (std::size_t pos = 0; pos < text.size();) {
    const DecodedChar ch = decode_utf8(text, pos);
    const char32_t c = ch.code_point;
    switch (c) {
      case '"': out.append("\\\""); break;
      case '\\': out.append("\\\\"); break;
      case '\0': out.append("\\0"); break;
      case '\t': out.append("\\t"); break;
      case '\r': out.append("\\r"); break;
      case '\n': out.append("\\n"); break;
      default:
        if (c >= 0x20 && c < 0x7F) {
          out.push_back(static_cast<char>(c));
        } else if (!is_printable(c) ||
                   u_hasBinaryProperty(static_cast<UChar32>(c), UCHAR_GRAPHEME_EXTEND)) {
          char buffer[16];
          std::snprintf(buffer, sizeof buffer, "\\u{%x}", static_cast<unsigned>(c));
          out.append(buffer);
        } else {
          out.append(text.substr(pos, ch.length));
        }
    }
    pos += ch.length;
  }
  out.push_back('"');
  return out;
}

}  // namespace velk
