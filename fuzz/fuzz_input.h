// Turns fuzzer bytes into the inputs the core accepts: valid UTF-8 texts rich in the characters
// and pieces that steer its passes, entity lists and token maps of every shape a caller or a
// session document can produce, and the checks shared by the fuzz targets.
#ifndef VELK_FUZZ_FUZZ_INPUT_H_
#define VELK_FUZZ_FUZZ_INPUT_H_

#include <fuzzer/FuzzedDataProvider.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "velk/entity.h"
#include "velk/token_map.h"
#include "velk/unicode.h"

namespace velk::fuzz {

// Control bytes that rarely matter as themselves stand for these pieces, so that one mutated
// byte can put a fence, a token or a case-folding oddity into a text. Tab, line feed,
// vertical tab, form feed and carriage return keep their meaning.
inline constexpr std::array<std::string_view, 26> kPieces = {
    "```\n",         // fence line
    "~~~",           // tilde fence run
    "`",             // inline span
    "[PERSON_1]",    // a token
    "[ORG_12]",      // another token, another length
    "\u0130",        // I with dot above: lower-cases to two characters
    "\u03c2",        // final sigma
    "\u03a3",        // capital sigma (final-sigma rule)
    "\u00df",        // sharp s: no simple case fold to "ss"
    "\u01c5",        // title-case digraph
    "\u0301",        // combining acute (Mn, a word character)
    "\u200d",        // zero-width joiner (a word character here)
    "\u0903",        // spacing mark (Mc): a word character for us, not for PCRE2's \w
    "\u00b2",        // superscript two (No): a word character for PCRE2's \w, not for us
    "\u0663",        // Arabic-Indic digit three (Nd)
    "\u212a",        // Kelvin sign: folds to k
    "\u180e",        // Mongolian vowel separator: PCRE2's \s, not White_Space
    "\u00a0",        // no-break space (White_Space)
    "\u2028",        // line separator
    "\u6771\u4eac",  // CJK letters
    "\U0001d400",    // four-byte letter
    "\u023a",        // lower-cases from two bytes to three
    "@jdoe",         // handle
    "https://a.io/x",
    "Dallas, TX",
    "BlueHarbor",
};

inline std::string_view piece_for(unsigned char byte) {
  if (byte >= 0x01 && byte <= 0x08) return kPieces[byte - 0x01];
  if (byte >= 0x0E && byte <= 0x1F) return kPieces[8 + (byte - 0x0E)];
  return {};
}

// Valid UTF-8 from any bytes: well-formed sequences stay, a byte that starts none is read as
// the Latin-1 character of that value, and the control bytes of kPieces become their pieces.
inline std::string text_from_bytes(std::string_view bytes) {
  std::string text;
  text.reserve(bytes.size() + bytes.size() / 2);
  for (std::size_t pos = 0; pos < bytes.size();) {
    const auto byte = static_cast<unsigned char>(bytes[pos]);
    if (const std::string_view piece = piece_for(byte); !piece.empty()) {
      text.append(piece);
      ++pos;
      continue;
    }
    bool truncated = false;
    const std::size_t length = valid_utf8_length(bytes, pos, truncated);
    if (length == 0) {
      append_utf8(text, byte);
      ++pos;
      continue;
    }
    text.append(bytes.substr(pos, length));
    pos += length;
  }
  return text;
}

inline std::string consume_text(FuzzedDataProvider& input, std::size_t max_bytes) {
  return text_from_bytes(input.ConsumeRandomLengthString(max_bytes));
}

// Character boundaries of a valid UTF-8 text, its end included.
inline std::vector<std::size_t> char_starts(std::string_view text) {
  std::vector<std::size_t> starts;
  for (std::size_t pos = 0; pos < text.size(); pos += decode_utf8(text, pos).length) {
    starts.push_back(pos);
  }
  starts.push_back(text.size());
  return starts;
}

// A stretch of `text` cut at character boundaries, with the case of its ASCII letters flipped
// when the input says so, so that entities really occur in the text in other spellings.
inline std::string consume_piece_of(FuzzedDataProvider& input, std::string_view text) {
  const std::vector<std::size_t> starts = char_starts(text);
  const std::size_t a = input.ConsumeIntegralInRange<std::size_t>(0, starts.size() - 1);
  const std::size_t span = input.ConsumeIntegralInRange<std::size_t>(0, 12);
  const std::size_t b = std::min(starts.size() - 1, a + span);
  std::string piece(text.substr(starts[a], starts[b] - starts[a]));
  const auto flips = input.ConsumeIntegral<std::uint8_t>();
  if (flips & 1) {
    for (std::size_t i = 0; i < piece.size(); ++i) {
      char& ch = piece[i];
      if (((flips >> (1 + i % 7)) & 1) == 0) continue;
      if (ch >= 'a' && ch <= 'z')
        ch = static_cast<char>(ch - 'a' + 'A');
      else if (ch >= 'A' && ch <= 'Z')
        ch = static_cast<char>(ch - 'A' + 'a');
    }
  }
  return piece;
}

// An entity text: mostly a stretch of `text`, otherwise free text.
inline std::string consume_entity_text(FuzzedDataProvider& input, std::string_view text) {
  if (!text.empty() && input.ConsumeIntegralInRange<int>(0, 3) != 0) {
    return consume_piece_of(input, text);
  }
  return consume_text(input, 24);
}

inline EntityType consume_entity_type(FuzzedDataProvider& input) {
  return kAllEntityTypes[input.ConsumeIntegralInRange<std::size_t>(0, kEntityTypeCount - 1)];
}

inline std::vector<Entity> consume_entities(FuzzedDataProvider& input, std::string_view text,
                                            std::size_t max_count) {
  std::vector<Entity> entities(input.ConsumeIntegralInRange<std::size_t>(0, max_count));
  for (Entity& entity : entities) {
    entity.text = consume_entity_text(input, text);
    entity.entity_type = consume_entity_type(input);
  }
  return entities;
}

// A token as a session document may hold it: a well-formed token of any capital prefix and
// number (ASCII or other decimal digits, possibly past 32 bits), or any text at all.
inline std::string consume_token(FuzzedDataProvider& input) {
  switch (input.ConsumeIntegralInRange<int>(0, 4)) {
    case 0:
      return consume_text(input, 16);
    case 1: {
      std::string token = "[" + std::string(token_prefix(consume_entity_type(input))) + "_";
      append_utf8(token, 0x0660 + input.ConsumeIntegralInRange<char32_t>(0, 9));
      return token + "]";
    }
    default: {
      const std::uint64_t number = input.ConsumeBool()
                                       ? input.ConsumeIntegralInRange<std::uint64_t>(0, 20)
                                       : input.ConsumeIntegral<std::uint64_t>();
      return make_token(token_prefix(consume_entity_type(input)), number);
    }
  }
}

// A map that build_token_map made from entities of `text` (the usual case) on top of entries
// that only a session document can hold: tables that disagree, free text for tokens, empty
// keys and values.
inline TokenMap consume_token_map(FuzzedDataProvider& input, std::string_view text) {
  TokenMap raw;
  const std::size_t raw_entries = input.ConsumeIntegralInRange<std::size_t>(0, 3);
  for (std::size_t i = 0; i < raw_entries; ++i) {
    std::string entity = consume_entity_text(input, text);
    std::string token = consume_token(input);
    if (input.ConsumeBool()) raw.reverse.insert_or_assign(token, entity);
    if (input.ConsumeBool()) raw.forward.insert_or_assign(std::move(entity), std::move(token));
  }
  const std::vector<Entity> entities = consume_entities(input, text, 10);
  return build_token_map(entities, &raw);
}

// Control characters and NUL shown as \xNN, so that a failure report prints whole.
inline std::string printable(std::string_view text) {
  constexpr std::size_t kShown = 2000;
  std::string out;
  for (const char ch : text.substr(0, kShown)) {
    const auto byte = static_cast<unsigned char>(ch);
    if (byte >= 0x20 || ch == '\n') {
      out.push_back(ch);
      continue;
    }
    constexpr char kHex[] = "0123456789abcdef";
    out.append("\\x").push_back(kHex[byte >> 4]);
    out.push_back(kHex[byte & 0xF]);
  }
  if (text.size() > kShown) out.append("...");
  return out;
}

// A failed check: says what differed and stops, so libFuzzer records the input.
[[noreturn]] inline void fail(const char* what, std::string_view expected,
                              std::string_view actual) {
  std::fprintf(
      stderr, "FUZZ CHECK FAILED: %s\n  expected (%zu bytes): %s\n  actual (%zu bytes): %s\n", what,
      expected.size(), printable(expected).c_str(), actual.size(), printable(actual).c_str());
  std::abort();
}

inline void check(bool condition, const char* what) {
  if (!condition) fail(what, "true", "false");
}

inline void check_equal(std::string_view expected, std::string_view actual, const char* what) {
  if (expected != actual) fail(what, expected, actual);
}

// Both tables, sorted, one entry per line: comparable and readable in a failure report.
inline std::string describe(const TokenMap& map) {
  std::string out;
  for (const auto* table : {&map.forward, &map.reverse}) {
    out.append(table == &map.forward ? "forward:\n" : "reverse:\n");
    const std::map<std::string_view, std::string_view> sorted(table->begin(), table->end());
    for (const auto& [key, value] : sorted) {
      out.append("  ").append(key).append(" -> ").append(value).append("\n");
    }
  }
  return out;
}

}  // namespace velk::fuzz

#endif  // VELK_FUZZ_FUZZ_INPUT_H_
