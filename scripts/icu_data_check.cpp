// Prints what velk asks of ICU, for every code point and for lower-casing in context, so that
// two builds can be compared: scripts/wheel.sh builds this once against the system's ICU with its
// full data (libicuuc.so + libicudata.so) and once as the wheel's module is built (libicuuc.a with
// the empty data of cmake/icu_static.cpp), and requires the same output.
//
// Covered: every ICU call in src/velk (u_charType, u_hasBinaryProperty for Alphabetic and
// Grapheme_Extend, u_foldCase, root-locale ucasemap_utf8ToLower through velk::to_lower), the
// velk helpers built on them (is_word_char, is_decimal_digit, is_white_space against ICU's
// White_Space), and context-dependent lower-casing: final sigma, Kelvin sign, dotted capital I,
// titlecase digraphs, combining marks.
//
// On stderr only (it differs by design): whether ICU could open any data at all.
#include <unicode/ucasemap.h>
#include <unicode/uchar.h>
#include <unicode/ucnv.h>
#include <unicode/uloc.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "velk/unicode.h"

namespace {

// FNV-1a over the values one category yields for all code points.
struct Digest {
  std::uint64_t hash = 1469598103934665603ULL;
  std::uint64_t count = 0;
  void add(std::uint64_t value) {
    for (int i = 0; i < 8; ++i) {
      hash ^= (value >> (8 * i)) & 0xFF;
      hash *= 1099511628211ULL;
    }
    ++count;
  }
  void add(std::string_view text) {
    add(static_cast<std::uint64_t>(text.size()));
    for (unsigned char ch : text) add(static_cast<std::uint64_t>(ch));
  }
};

std::string escaped(std::string_view text) {
  std::string out;
  char buffer[16];
  for (std::size_t pos = 0; pos < text.size();) {
    const auto decoded = velk::decode_utf8(text, pos);
    if (decoded.code_point < 0x80) {
      out.push_back(static_cast<char>(decoded.code_point));
    } else {
      std::snprintf(buffer, sizeof buffer, "\\u{%X}", static_cast<unsigned>(decoded.code_point));
      out += buffer;
    }
    pos += decoded.length;
  }
  return out;
}

}  // namespace

int main() {
  Digest char_type, alphabetic, grapheme_extend, white_space, fold, word, digit, lower, upper_lower;
  int white_space_mismatches = 0;
  for (UChar32 c = 0; c <= 0x10FFFF; ++c) {
    char_type.add(static_cast<std::uint64_t>(u_charType(c)));
    alphabetic.add(static_cast<std::uint64_t>(u_hasBinaryProperty(c, UCHAR_ALPHABETIC)));
    grapheme_extend.add(static_cast<std::uint64_t>(u_hasBinaryProperty(c, UCHAR_GRAPHEME_EXTEND)));
    const bool ws = u_hasBinaryProperty(c, UCHAR_WHITE_SPACE);
    white_space.add(static_cast<std::uint64_t>(ws));
    if (ws != velk::is_white_space(static_cast<char32_t>(c))) ++white_space_mismatches;
    fold.add(static_cast<std::uint64_t>(u_foldCase(c, U_FOLD_CASE_DEFAULT)));
    word.add(static_cast<std::uint64_t>(velk::is_word_char(static_cast<char32_t>(c))));
    digit.add(static_cast<std::uint64_t>(velk::is_decimal_digit(static_cast<char32_t>(c))));
    upper_lower.add(static_cast<std::uint64_t>(u_tolower(c)));
    if (c >= 0xD800 && c <= 0xDFFF) continue;  // not encodable in UTF-8
    std::string one;
    velk::append_utf8(one, static_cast<char32_t>(c));
    lower.add(velk::to_lower(one));
  }
  std::printf("u_charType                %016llx over %llu\n",
              static_cast<unsigned long long>(char_type.hash),
              static_cast<unsigned long long>(char_type.count));
  const std::pair<const char*, const Digest*> digests[] = {
      {"Alphabetic", &alphabetic},   {"Grapheme_Extend", &grapheme_extend},
      {"White_Space", &white_space}, {"u_foldCase", &fold},
      {"u_tolower", &upper_lower},   {"velk::is_word_char", &word},
      {"velk::is_decimal_digit", &digit}, {"velk::to_lower (one char)", &lower}};
  for (const auto& [name, digest] : digests) {
    std::printf("%-25s %016llx over %llu\n", name, static_cast<unsigned long long>(digest->hash),
                static_cast<unsigned long long>(digest->count));
  }
  std::printf("velk::is_white_space differs from White_Space at %d code points\n",
              white_space_mismatches);

  const char* samples[] = {
      "\xCE\x9F\xCE\x94\xCE\x9F\xCE\xA3",                       // ΟΔΟΣ: final sigma
      "\xCE\x9F\xCE\x94\xCE\x9F\xCE\xA3 \xCE\xA3\xCE\x91.",     // ΟΔΟΣ ΣΑ.: final, then not
      "\xCE\xA3",                                               // Σ alone
      "A\xCE\xA3\xCC\x81 b",                                    // sigma before a combining mark
      "\xE2\x84\xAA" "elvin 300\xE2\x84\xAA",                   // Kelvin sign
      "\xC4\xB0stanbul",                                        // İ: i + combining dot above
      "\xC7\x85 \xC7\x84 \xC7\x86",                             // ǅ Ǆ ǆ
      "\xE1\xBA\x9E \xC3\x9F",                                  // ẞ ß
      "\xC8\xBA\xC8\xBE",                                       // Ⱥ Ⱦ grow in UTF-8
      "\xD0\x9C\xD0\x9E\xD0\xA1\xD0\x9A\xD0\x92\xD0\x90",       // МОСКВА
      "\xF0\x90\x90\x80\xF0\x9E\xA4\x80",                       // Deseret, Adlam capitals
  };
  for (const char* sample : samples) {
    std::printf("to_lower %s -> %s\n", escaped(sample).c_str(),
                escaped(velk::to_lower(sample)).c_str());
  }

  UErrorCode status = U_ZERO_ERROR;
  UConverter* converter = ucnv_open("ISO-8859-2", &status);
  std::fprintf(stderr, "ICU %s data: %s\n", U_ICU_VERSION,
               U_SUCCESS(status) ? "present (a converter opened)"
                                 : "none (a converter needs data and fails)");
  if (converter != nullptr) ucnv_close(converter);
  return 0;
}
