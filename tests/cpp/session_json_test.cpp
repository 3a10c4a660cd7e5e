// Tests of the session document: exact writer output, round trips, the acceptance rules, the
// exact fault messages with their positions, and hostile input.
#include "velk/session_json.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <nlohmann/json.hpp>
#include <ostream>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "velk/unicode.h"

namespace velk {

// Readable failure output: both tables, sorted.
void PrintTo(const TokenMap& map, std::ostream* os) {
  auto print = [os](const StringMap& table) {
    const std::map<std::string, std::string> sorted(table.begin(), table.end());
    *os << "{";
    for (const auto& [key, value] : sorted)
      *os << nlohmann::json(key) << ":" << nlohmann::json(value) << " ";
    *os << "}";
  };
  *os << "forward ";
  print(map.forward);
  *os << " reverse ";
  print(map.reverse);
}

namespace {

using namespace std::string_literals;
using Entries = std::vector<std::pair<std::string, std::string>>;

TokenMap make_map(const Entries& forward, const Entries& reverse) {
  TokenMap map;
  for (const auto& [key, value] : forward) map.forward.insert_or_assign(key, value);
  for (const auto& [key, value] : reverse) map.reverse.insert_or_assign(key, value);
  return map;
}

const TokenMap kAlice = make_map({{"Alice", "[PERSON_1]"}}, {{"[PERSON_1]", "Alice"}});

// The message of a failed read, or a note that it succeeded.
std::string read_message(std::string_view json) {
  const SessionResult result = from_session_json(json);
  return result.ok() ? "<read succeeded>" : result.error().message();
}

std::string malformed(std::string_view description) {
  return "session JSON is malformed: " + std::string(description);
}

// Random text drawn from ranges chosen to hit every escaping rule and every UTF-8 length.
std::string random_text(std::mt19937& rng) {
  static const std::vector<std::pair<char32_t, char32_t>> kRanges = {
      {0x00, 0x1F},  {0x20, 0x7F},    {'"', '"'},       {'\\', '\\'},       {'/', '/'},
      {0x80, 0x7FF}, {0x800, 0xD7FF}, {0xE000, 0xFFFF}, {0x10000, 0x10FFFF}};
  std::uniform_int_distribution<std::size_t> length(0, 12);
  std::uniform_int_distribution<std::size_t> pick(0, kRanges.size() - 1);
  std::string text;
  for (std::size_t n = length(rng); n > 0; --n) {
    const auto [low, high] = kRanges[pick(rng)];
    const auto cp =
        static_cast<char32_t>(std::uniform_int_distribution<std::uint32_t>(low, high)(rng));
    append_utf8(text, cp);  // a scalar value by construction of the ranges
  }
  return text;
}

TokenMap random_map(std::mt19937& rng) {
  std::uniform_int_distribution<int> size(0, 10);
  TokenMap map;
  for (int n = size(rng); n > 0; --n)
    map.forward.insert_or_assign(random_text(rng), random_text(rng));
  for (int n = size(rng); n > 0; --n)
    map.reverse.insert_or_assign(random_text(rng), random_text(rng));
  return map;
}

// ---------------------------------------------------------------------------------------------
// Writing

struct WriteCase {
  const char* name;
  TokenMap map;
  std::string expected;
};

TEST(SessionWriter, WritesCompactDocumentWithExactEscaping) {
  const WriteCase cases[] = {
      {"empty map", TokenMap{}, R"({"version":1,"tokenMap":{"forward":{},"reverse":{}}})"},
      {"one person", kAlice,
       R"({"version":1,"tokenMap":{"forward":{"Alice":"[PERSON_1]"},"reverse":{"[PERSON_1]":"Alice"}}})"},
      {"quotation mark and backslash", make_map({{R"(say "hi" \o/)", "[ORG_1]"}}, {}),
       R"({"version":1,"tokenMap":{"forward":{"say \"hi\" \\o/":"[ORG_1]"},"reverse":{}}})"},
      {"short control escapes", make_map({}, {{"[X_1]", "a\bb\tc\nd\fe\rf"}}),
       R"({"version":1,"tokenMap":{"forward":{},"reverse":{"[X_1]":"a\bb\tc\nd\fe\rf"}}})"},
      {"other control characters as lower-case \\u", make_map({{"\x01\x1b\x1f", "t"}}, {}),
       R"({"version":1,"tokenMap":{"forward":{"\u0001\u001b\u001f":"t"},"reverse":{}}})"},
      {"NUL", make_map({{"a\0b"s, "\0"s}}, {}),
       R"({"version":1,"tokenMap":{"forward":{"a\u0000b":"\u0000"},"reverse":{}}})"},
      {"slash and DEL unescaped", make_map({{"a/b\x7f", "t"}}, {}),
       "{\"version\":1,\"tokenMap\":{\"forward\":{\"a/b\x7f\":\"t\"},\"reverse\":{}}}"},
      {"non-Latin and astral text as UTF-8", make_map({{"Zürich 東京 Ελένη 😀", "[PLACE_1]"}}, {}),
       R"({"version":1,"tokenMap":{"forward":{"Zürich 東京 Ελένη 😀":"[PLACE_1]"},"reverse":{}}})"},
      {"empty texts", make_map({{"", ""}}, {{"", ""}}),
       R"({"version":1,"tokenMap":{"forward":{"":""},"reverse":{"":""}}})"},
  };
  for (const WriteCase& c : cases) {
    EXPECT_EQ(to_session_json(c.map), c.expected) << c.name;
  }
}

// ---------------------------------------------------------------------------------------------
// Round trips

TEST(SessionRoundTrip, RandomMapsReadBackEqual) {
  std::mt19937 rng(20240611);
  for (int i = 0; i < 2000; ++i) {
    const TokenMap map = random_map(rng);
    const std::string json = to_session_json(map);
    SessionResult result = from_session_json(json);
    ASSERT_TRUE(result.ok()) << "case " << i << ": " << json << "\n" << result.error().message();
    ASSERT_EQ(result.value(), map) << "case " << i << ": " << json;
  }
}

// nlohmann-json serves as an independent reader and writer: it must read our documents into
// the same tables, and we must read its documents (all non-ASCII as \u escapes and surrogate
// pairs, or pretty-printed with white space) into the map it was given.
TEST(SessionRoundTrip, AgreesWithAnIndependentJsonLibrary) {
  std::mt19937 rng(7);
  for (int i = 0; i < 500; ++i) {
    const TokenMap map = random_map(rng);
    const std::string ours = to_session_json(map);
    const nlohmann::json parsed = nlohmann::json::parse(ours);
    ASSERT_EQ(parsed["version"], 1) << "case " << i;
    TokenMap seen;
    for (const auto& [key, value] : parsed["tokenMap"]["forward"].items()) {
      seen.forward.emplace(key, value.get<std::string>());
    }
    for (const auto& [key, value] : parsed["tokenMap"]["reverse"].items()) {
      seen.reverse.emplace(key, value.get<std::string>());
    }
    ASSERT_EQ(seen, map) << "case " << i << ": " << ours;

    for (const bool ascii : {false, true}) {
      const std::string theirs = parsed.dump(ascii ? -1 : 2, ' ', ascii);
      SessionResult result = from_session_json(theirs);
      ASSERT_TRUE(result.ok()) << "case " << i << ": " << theirs << "\n"
                               << result.error().message();
      ASSERT_EQ(result.value(), map) << "case " << i << ": " << theirs;
    }
  }
}

TEST(SessionRoundTrip, NulCharactersSurvive) {
  const TokenMap map = make_map({{"\0"s, "[PERSON_1]"}, {"a\0\0b"s, "[PERSON_2]"}},
                                {{"[PERSON_1]", "\0"s}, {"[PERSON_2]\0"s, "a\0\0b"s}});
  SessionResult result = from_session_json(to_session_json(map));
  ASSERT_TRUE(result.ok()) << result.error().message();
  EXPECT_EQ(result.value(), map);
}

// ---------------------------------------------------------------------------------------------
// Accepted documents

struct ReadCase {
  const char* name;
  std::string json;
  TokenMap expected;
};

TEST(SessionReader, AcceptsEquivalentDocumentForms) {
  const TokenMap empty;
  const ReadCase cases[] = {
      {"empty map document", R"({"version":1,"tokenMap":{"forward":{},"reverse":{}}})", empty},
      {"version 0", R"({"version":0,"tokenMap":{"forward":{},"reverse":{}}})", empty},
      {"version -0 is zero", R"({"version":-0,"tokenMap":{"forward":{},"reverse":{}}})", empty},
      {"members in reverse order",
       R"({"tokenMap":{"reverse":{"[PERSON_1]":"Alice"},"forward":{"Alice":"[PERSON_1]"}},"version":1})",
       kAlice},
      {"white space everywhere",
       " \t\r\n{ \"version\" : 1 ,\n \"tokenMap\" : { \"forward\" : { \"Alice\" : \"[PERSON_1]\" "
       "} , \"reverse\" : { \"[PERSON_1]\" : \"Alice\" } } } \n",
       kAlice},
      {"top-level array form", R"([1,[{},{}]])", empty},
      {"array form with white space", " [ 1 , [ { } , { } ] ] ", empty},
      {"top-level array holding a TokenMap object",
       R"([1,{"forward":{"Alice":"[PERSON_1]"},"reverse":{"[PERSON_1]":"Alice"}}])", kAlice},
      {"TokenMap array inside an object",
       R"({"version":1,"tokenMap":[{"Alice":"[PERSON_1]"},{"[PERSON_1]":"Alice"}]})", kAlice},
      {"unknown members skipped at both levels",
       R"({"comment":"saved by hand","version":1,"extra":[1,2.5e-3,{"a":[true,false,null]}],)"
       R"("tokenMap":{"note":{"version":2},"forward":{"Alice":"[PERSON_1]"},"reverse":)"
       R"({"[PERSON_1]":"Alice"},"forward2":null}})",
       kAlice},
      {"member names of the other level are unknown here",
       R"({"forward":5,"reverse":[],"version":1,"tokenMap":{"version":"x","tokenMap":1,)"
       R"("forward":{},"reverse":{}}})",
       empty},
      {"an unknown member may repeat",
       R"({"x":1,"x":2,"version":1,"x":3,"tokenMap":{"forward":{},"reverse":{}}})", empty},
      {"escaped member names are their decoded text",
       R"({"vers\u0069on":1,"token\u004Dap":{"\u0066orward":{},"reverse":{}}})", empty},
      {"later duplicate in a table replaces the earlier",
       R"({"version":1,"tokenMap":{"forward":{"Alice":"[PERSON_9]","Alice":"[PERSON_1]"},)"
       R"("reverse":{"[PERSON_1]":"Bob","\u005bPERSON_1]":"Alice"}}})",
       kAlice},
      {"tables that disagree are kept as they are",
       R"({"version":1,"tokenMap":{"forward":{"Bob":"[PERSON_1]"},"reverse":{"[ORG_3]":"Acme"}}})",
       make_map({{"Bob", "[PERSON_1]"}}, {{"[ORG_3]", "Acme"}})},
      {"texts that are no tokens",
       R"({"version":1,"tokenMap":{"forward":{},"reverse":{"free text":"more text"}}})",
       make_map({}, {{"free text", "more text"}})},
      {"every escape form",
       R"({"version":1,"tokenMap":{"forward":{"\"\\\/\b\f\n\r\t":"\u00e9\u00C9\u6771\ud83d\ude00\u0000"},"reverse":{}}})",
       make_map({{"\"\\/\b\f\n\r\t", "éÉ東😀\0"s}}, {})},
      {"raw non-ASCII and DEL",
       "{\"version\":1,\"tokenMap\":{\"forward\":{\"Zürich 東京 😀\x7f\":\"[PLACE_1]\"},"
       "\"reverse\":{}}}",
       make_map({{"Zürich 東京 😀\x7f", "[PLACE_1]"}}, {})},
  };
  for (const ReadCase& c : cases) {
    SessionResult result = from_session_json(c.json);
    ASSERT_TRUE(result.ok()) << c.name << ": " << result.error().message();
    EXPECT_EQ(result.value(), c.expected) << c.name;
  }
}

// ---------------------------------------------------------------------------------------------
// Faults

struct FaultCase {
  const char* name;
  std::string json;
  std::string message;
};

void expect_faults(const std::vector<FaultCase>& cases) {
  for (const FaultCase& c : cases) {
    EXPECT_EQ(read_message(c.json), c.message) << c.name << "\n  document (" << c.json.size()
                                               << " bytes) begins: " << c.json.substr(0, 200);
  }
}

TEST(SessionReader, ReportsStructuralFaultsWithExactDescriptions) {
  expect_faults({
      {"repeated version", R"({"version":1,"version":1,"tokenMap":{"forward":{},"reverse":{}}})",
       malformed("duplicate field `version` at line 1 column 22")},
      {"repeated version refused before its value is read", R"({"version":1,"version":)",
       malformed("duplicate field `version` at line 1 column 22")},
      {"repeated tokenMap", R"({"tokenMap":{"forward":{},"reverse":{}},"tokenMap":5})",
       malformed("duplicate field `tokenMap` at line 1 column 50")},
      {"repeated forward", R"({"version":1,"tokenMap":{"forward":{},"forward":{}}})",
       malformed("duplicate field `forward` at line 1 column 47")},
      {"repeated reverse in the array form", R"([1,{"reverse":{},"reverse":{}}])",
       malformed("duplicate field `reverse` at line 1 column 26")},
      {"empty object", "{}", malformed("missing field `version` at line 1 column 2")},
      {"missing version reported before missing tokenMap", R"({"other":1})",
       malformed("missing field `version` at line 1 column 11")},
      {"missing tokenMap", R"({"version":1})",
       malformed("missing field `tokenMap` at line 1 column 13")},
      {"missing tokenMap wins over an unsupported version", R"({"version":7})",
       malformed("missing field `tokenMap` at line 1 column 13")},
      {"missing forward reported first", R"({"version":1,"tokenMap":{}})",
       malformed("missing field `forward` at line 1 column 26")},
      {"missing forward", R"({"version":1,"tokenMap":{"reverse":{}}})",
       malformed("missing field `forward` at line 1 column 38")},
      {"missing reverse", R"({"version":1,"tokenMap":{"forward":{}}})",
       malformed("missing field `reverse` at line 1 column 38")},
      {"empty top-level array", "[]",
       malformed("invalid length 0, expected struct SerializedSession with 2 elements at line 1 "
                 "column 2")},
      {"one-element top-level array", "[1]",
       malformed("invalid length 1, expected struct SerializedSession with 2 elements at line 1 "
                 "column 3")},
      {"empty TokenMap array", R"({"version":1,"tokenMap":[]})",
       malformed("invalid length 0, expected struct TokenMap with 2 elements at line 1 column 26")},
      {"one-element TokenMap array", "[1,[{}]]",
       malformed("invalid length 1, expected struct TokenMap with 2 elements at line 1 column 7")},
      {"third top-level element", "[1,[{},{}],2]",
       malformed("trailing characters at line 1 column 12")},
      {"third TokenMap element", "[1,[{},{},{}]]",
       malformed("trailing characters at line 1 column 11")},
      {"text after the document", R"({"version":1,"tokenMap":{"forward":{},"reverse":{}}} x)",
       malformed("trailing characters at line 1 column 54")},
      {"second document", R"([1,[{},{}]][1,[{},{}]])",
       malformed("trailing characters at line 1 column 12")},
      {"trailing characters win over an unsupported version",
       R"({"version":2,"tokenMap":{"forward":{},"reverse":{}}}x)",
       malformed("trailing characters at line 1 column 53")},
  });
}

TEST(SessionReader, ReportsWrongTypesInTheLibraryWording) {
  expect_faults({
      {"top-level integer", "5",
       malformed(
           "invalid type: integer `5`, expected struct SerializedSession at line 1 column 1")},
      {"top-level string", R"("session")",
       malformed("invalid type: string \"session\", expected struct SerializedSession at line 1 "
                 "column 9")},
      {"top-level null", "null",
       malformed("invalid type: null, expected struct SerializedSession at line 1 column 4")},
      {"top-level boolean", " true",
       malformed("invalid type: boolean `true`, expected struct SerializedSession at line 1 "
                 "column 5")},
      {"top-level float", "-2.5e3",
       malformed("invalid type: floating point `-2.5e3`, expected struct SerializedSession at "
                 "line 1 column 6")},
      {"tokenMap string", R"({"version":1,"tokenMap":"x"})",
       malformed("invalid type: string \"x\", expected struct TokenMap at line 1 column 27")},
      {"tokenMap boolean", R"({"version":1,"tokenMap":false})",
       malformed("invalid type: boolean `false`, expected struct TokenMap at line 1 column 29")},
      {"table as array", R"({"version":1,"tokenMap":{"forward":[],"reverse":{}}})",
       malformed("invalid type: sequence, expected a map at line 1 column 36")},
      {"table as string", R"({"version":1,"tokenMap":{"forward":{},"reverse":"x"}})",
       malformed("invalid type: string \"x\", expected a map at line 1 column 51")},
      {"table as null in the array form", "[1,[null,{}]]",
       malformed("invalid type: null, expected a map at line 1 column 8")},
      {"table value null", R"({"version":1,"tokenMap":{"forward":{"Bob":null},"reverse":{}}})",
       malformed("invalid type: null, expected a string at line 1 column 46")},
      {"table value integer", R"({"version":1,"tokenMap":{"forward":{"Bob":5},"reverse":{}}})",
       malformed("invalid type: integer `5`, expected a string at line 1 column 43")},
      {"table value negative float", R"([1,[{},{"a":-1.5}]])",
       malformed("invalid type: floating point `-1.5`, expected a string at line 1 column 16")},
      {"table value array", R"({"version":1,"tokenMap":{"forward":{"Bob":[]},"reverse":{}}})",
       malformed("invalid type: sequence, expected a string at line 1 column 43")},
      {"table value object", R"({"version":1,"tokenMap":{"forward":{"Bob":{}},"reverse":{}}})",
       malformed("invalid type: map, expected a string at line 1 column 43")},
      {"table value boolean", R"({"version":1,"tokenMap":{"forward":{"Bob":true},"reverse":{}}})",
       malformed("invalid type: boolean `true`, expected a string at line 1 column 46")},
      {"version string", R"({"version":"1","tokenMap":{"forward":{},"reverse":{}}})",
       malformed("invalid type: string \"1\", expected u32 at line 1 column 14")},
      {"version with fraction", R"({"version":1.5})",
       malformed("invalid type: floating point `1.5`, expected u32 at line 1 column 14")},
      {"version with zero fraction", R"({"version":1.0})",
       malformed("invalid type: floating point `1.0`, expected u32 at line 1 column 14")},
      {"version with exponent", R"({"version":1e0})",
       malformed("invalid type: floating point `1e0`, expected u32 at line 1 column 14")},
      {"version null", R"({"version":null})",
       malformed("invalid type: null, expected u32 at line 1 column 15")},
      {"version array", R"({"version":[1]})",
       malformed("invalid type: sequence, expected u32 at line 1 column 12")},
      {"version object in the array form", R"([{},[{},{}]])",
       malformed("invalid type: map, expected u32 at line 1 column 2")},
      {"version negative", R"({"version":-1,"tokenMap":{"forward":{},"reverse":{}}})",
       malformed("invalid value: integer `-1`, expected u32 at line 1 column 13")},
      {"version above 32 bits", R"({"version":4294967296,"tokenMap":{"forward":{},"reverse":{}}})",
       malformed("invalid value: integer `4294967296`, expected u32 at line 1 column 21")},
      {"version above 64 bits", R"([18446744073709551616,[{},{}]])",
       malformed("invalid value: integer `18446744073709551616`, expected u32 at line 1 column "
                 "21")},
      {"string with characters that need escaping", "[\"a\\\"\\n\\u0001\"]",
       malformed("invalid type: string \"a\\\"\\n\\u0001\", expected u32 at line 1 column 14")},
  });
}

TEST(SessionReader, ReportsLexicalFaultsWithPosition) {
  expect_faults({
      {"empty input", "", malformed("EOF while parsing a value at line 1 column 0")},
      {"only white space", "  \n ", malformed("EOF while parsing a value at line 2 column 1")},
      {"open brace", "{", malformed("EOF while parsing an object at line 1 column 1")},
      {"name without colon at end", R"({"version")",
       malformed("EOF while parsing an object at line 1 column 10")},
      {"missing colon", R"({"version" 1)", malformed("expected `:` at line 1 column 12")},
      {"missing comma", R"({"version":1 "tokenMap")",
       malformed("expected `,` or `}` at line 1 column 14")},
      {"trailing comma in object", R"({"version":1,})",
       malformed("trailing comma at line 1 column 14")},
      {"unquoted name", "{version:1}", malformed("key must be a string at line 1 column 2")},
      {"missing comma in array", "[1 {}]", malformed("expected `,` or `]` at line 1 column 4")},
      {"trailing comma in array", "[1,]", malformed("trailing comma at line 1 column 4")},
      {"value missing", R"({"version":})", malformed("expected value at line 1 column 12")},
      {"leading zero", R"({"version":01})", malformed("invalid number at line 1 column 13")},
      {"fraction without digits", R"({"version":1.})",
       malformed("invalid number at line 1 column 14")},
      {"lone minus", R"({"version":-})", malformed("invalid number at line 1 column 13")},
      {"exponent without digits", R"({"version":1e})",
       malformed("invalid number at line 1 column 14")},
      {"plus sign", R"({"version":+1})", malformed("expected value at line 1 column 12")},
      {"misspelled literal", R"({"x":tru})", malformed("expected `true` at line 1 column 9")},
      {"truncated literal", R"({"x":nul)",
       malformed("EOF while parsing a value at line 1 column 8")},
      {"unterminated string", R"({"x":"abc)",
       malformed("EOF while parsing a string at line 1 column 9")},
      {"unknown escape", R"({"x":"a\qb"})", malformed("invalid escape at line 1 column 9")},
      {"upper-case U escape", R"({"x":"\U0041"})", malformed("invalid escape at line 1 column 8")},
      {"bad hex digit", R"({"x":"\u12G4"})",
       malformed("invalid \\u escape: expected four hexadecimal digits at line 1 column 11")},
      {"raw tab in string", "{\"x\":\"a\tb\"}",
       malformed("control character (\\u0000-\\u001F) found while parsing a string at line 1 "
                 "column 8")},
      {"raw NUL in string", "{\"x\":\"a\0b\"}"s,
       malformed("control character (\\u0000-\\u001F) found while parsing a string at line 1 "
                 "column 8")},
      {"raw line break in string ends the line", "{\"x\":\"a\nb\"}",
       malformed("control character (\\u0000-\\u001F) found while parsing a string at line 2 "
                 "column 0")},
      {"byte order mark", "\xEF\xBB\xBF{}", malformed("expected value at line 1 column 1")},
      {"comment", "// saved\n{}", malformed("expected value at line 1 column 1")},
  });
}

TEST(SessionReader, RefusesTextThatIsNotValidUnicode) {
  expect_faults({
      {"lone high surrogate", R"({"x":"\ud800"})",
       malformed("lone surrogate in \\u escape at line 1 column 12")},
      {"lone low surrogate", R"({"x":"\udc00"})",
       malformed("lone surrogate in \\u escape at line 1 column 12")},
      {"high surrogate then other text", R"({"x":"\ud800x"})",
       malformed("lone surrogate in \\u escape at line 1 column 12")},
      {"high surrogate then a non-surrogate escape", R"({"x":"\ud800\u0041"})",
       malformed("lone surrogate in \\u escape at line 1 column 18")},
      {"two high surrogates", R"({"x":"\ud800\ud800"})",
       malformed("lone surrogate in \\u escape at line 1 column 18")},
      {"reversed pair", R"({"x":"\ude00\ud83d"})",
       malformed("lone surrogate in \\u escape at line 1 column 12")},
      {"lone surrogate inside a table",
       R"({"version":1,"tokenMap":{"forward":{"\ud83d":"[PERSON_1]"},"reverse":{}}})",
       malformed("lone surrogate in \\u escape at line 1 column 43")},
      {"high surrogate at the end", R"({"x":"\ud800)",
       malformed("EOF while parsing a string at line 1 column 12")},
      {"high surrogate and backslash at the end", R"({"x":"\ud800\)",
       malformed("EOF while parsing a string at line 1 column 13")},
      {"invalid byte",
       "{\"x\":\"a\xFF"
       "b\"}",
       malformed("invalid UTF-8 in string at line 1 column 8")},
      {"stray continuation byte", "{\"x\":\"a\x80\"}",
       malformed("invalid UTF-8 in string at line 1 column 8")},
      {"overlong NUL", "{\"x\":\"\xC0\x80\"}",
       malformed("invalid UTF-8 in string at line 1 column 7")},
      {"overlong three bytes", "{\"x\":\"\xE0\x80\xAF\"}",
       malformed("invalid UTF-8 in string at line 1 column 7")},
      {"encoded surrogate", "{\"x\":\"\xED\xA0\x80\"}",
       malformed("invalid UTF-8 in string at line 1 column 7")},
      {"beyond U+10FFFF", "{\"x\":\"\xF4\x90\x80\x80\"}",
       malformed("invalid UTF-8 in string at line 1 column 7")},
      {"sequence cut by a quotation mark", "{\"x\":\"\xE2\x82\"}",
       malformed("invalid UTF-8 in string at line 1 column 7")},
      {"sequence cut by the end", "{\"x\":\"\xE2\x82",
       malformed("EOF while parsing a string at line 1 column 8")},
      {"invalid byte in a table value",
       "{\"version\":1,\"tokenMap\":{\"forward\":{\"Bob\":\"\xFE\"},\"reverse\":{}}}",
       malformed("invalid UTF-8 in string at line 1 column 44")},
      {"invalid byte outside strings", "{\"version\":\xFF}",
       malformed("expected value at line 1 column 12")},
  });
}

TEST(SessionReader, CountsLinesAndCharacterColumns) {
  expect_faults({
      {"third line", "{\n  \"version\": 1,\n  \"tokenMap\": 5\n}",
       malformed("invalid type: integer `5`, expected struct TokenMap at line 3 column 15")},
      {"CRLF line ends", "{\r\n\"version\":1\r\n}",
       malformed("missing field `tokenMap` at line 3 column 1")},
      {"columns count characters, not bytes", R"({"Zürich😀":1,"version":"x"})",
       malformed("invalid type: string \"x\", expected u32 at line 1 column 26")},
      {"EOF after a line break", "{\"version\":1,\n",
       malformed("EOF while parsing an object at line 2 column 0")},
  });
}

// ---------------------------------------------------------------------------------------------
// Versions

TEST(SessionReader, RefusesNewerVersionsOnlyAfterAFaultFreeRead) {
  struct Case {
    const char* json;
    std::uint32_t found;
    std::string message;
  };
  const Case cases[] = {
      {R"({"version":2,"tokenMap":{"forward":{},"reverse":{}}})", 2,
       "unsupported session format version 2 (this build supports 1)"},
      {R"({"tokenMap":{"forward":{"a":"b"},"reverse":{}},"version":4294967295})", 4294967295u,
       "unsupported session format version 4294967295 (this build supports 1)"},
      {R"([7,[{},{}]])", 7, "unsupported session format version 7 (this build supports 1)"},
  };
  for (const Case& c : cases) {
    const SessionResult result = from_session_json(c.json);
    ASSERT_FALSE(result.ok()) << c.json;
    EXPECT_EQ(result.error().kind(), SessionError::Kind::UnsupportedVersion) << c.json;
    EXPECT_EQ(result.error().found_version(), c.found) << c.json;
    EXPECT_EQ(result.error().supported_version(), SESSION_FORMAT_VERSION) << c.json;
    EXPECT_EQ(result.error().message(), c.message) << c.json;
  }
  // A fault later in the document is reported instead of the version.
  EXPECT_EQ(read_message(R"({"version":2,"tokenMap":{"forward":{"a":1},"reverse":{}}})"),
            malformed("invalid type: integer `1`, expected a string at line 1 column 41"));
}

TEST(SessionError, BuildsBothMessageForms) {
  const SessionError bad = SessionError::malformed("trailing characters at line 1 column 3");
  EXPECT_EQ(bad.kind(), SessionError::Kind::Malformed);
  EXPECT_EQ(bad.message(), "session JSON is malformed: trailing characters at line 1 column 3");
  const SessionError newer = SessionError::unsupported_version(3);
  EXPECT_EQ(newer.kind(), SessionError::Kind::UnsupportedVersion);
  EXPECT_EQ(newer.message(), "unsupported session format version 3 (this build supports 1)");
}

// ---------------------------------------------------------------------------------------------
// Hostile input

TEST(SessionHostileInput, EveryTruncationIsAnError) {
  const std::string document =
      "{\"note\":[1,-2.5e+3,true,false,null,{\"k\":\"v\"},[]],\n \"version\" : 1,"
      "\"tokenMap\":[{\"Zürich\\n\\\"q\\\"\":\"[PLACE_1]\",\"\\ud83d\\ude00 \\u0000\":\"x\"},"
      "{\"[PLACE_1]\":\"Zürich 東京 😀\\\\\"}]}";
  ASSERT_TRUE(from_session_json(document).ok()) << read_message(document);
  for (std::size_t length = 0; length < document.size(); ++length) {
    const SessionResult result = from_session_json(std::string_view(document).substr(0, length));
    ASSERT_FALSE(result.ok()) << "prefix of " << length << " bytes was accepted";
    EXPECT_EQ(result.error().kind(), SessionError::Kind::Malformed) << length;
    EXPECT_NE(result.error().message().find(" at line "), std::string::npos)
        << length << ": " << result.error().message();
  }
}

// Tables as an independent reader sees them, following the same object or array forms.
TokenMap tables_read_by_library(const nlohmann::json& document) {
  const nlohmann::json& map = document.is_object() ? document.at("tokenMap") : document.at(1);
  TokenMap tables;
  for (int field = 0; field < 2; ++field) {
    const nlohmann::json& table =
        map.is_object() ? map.at(field == 0 ? "forward" : "reverse") : map.at(field);
    for (const auto& [key, value] : table.items()) {
      (field == 0 ? tables.forward : tables.reverse)[key] = value.get<std::string>();
    }
  }
  return tables;
}

// Random edits of a valid document: whatever the reader accepts must be valid JSON to an
// independent reader, holding the same tables.
TEST(SessionHostileInput, MutatedDocumentsAreAcceptedOnlyWhenSound) {
  const std::string document =
      "{\"note\":[1,-2.5e+3,true,null,{\"k\":\"v\"}],\"version\":1,\"tokenMap\":[{\"Zürich\\n\":"
      "\"[PLACE_1]\",\"\\ud83d\\ude00\":\"x\"},{\"[PLACE_1]\":\"東京\\\"\\u0000\"}]}";
  const std::string interesting = "\"\\{}[],:0-e. \nuat\x80\xFF\xC3\xED"s + '\0';
  std::mt19937 rng(99);
  int accepted = 0;
  for (int i = 0; i < 20000; ++i) {
    std::string mutated = document;
    for (int edits = 1 + static_cast<int>(rng() % 3); edits > 0 && !mutated.empty(); --edits) {
      const std::size_t at = rng() % mutated.size();
      const char byte = interesting[rng() % interesting.size()];
      switch (rng() % 3) {
        case 0:
          mutated[at] = byte;
          break;
        case 1:
          mutated.erase(at, 1);
          break;
        default:
          mutated.insert(mutated.begin() + static_cast<std::ptrdiff_t>(at), byte);
      }
    }
    SessionResult ours = from_session_json(mutated);
    if (!ours.ok()) continue;
    ++accepted;
    const nlohmann::json theirs = nlohmann::json::parse(mutated, nullptr, false);
    ASSERT_FALSE(theirs.is_discarded()) << "accepted invalid JSON: " << mutated;
    ASSERT_EQ(ours.value(), tables_read_by_library(theirs)) << mutated;
  }
  EXPECT_GT(accepted, 1000);  // the edits must leave enough documents valid to mean something
}

std::string repeat(std::string_view part, std::size_t count) {
  std::string out;
  out.reserve(part.size() * count);
  for (std::size_t i = 0; i < count; ++i) out.append(part);
  return out;
}

TEST(SessionHostileInput, DeepNestingNeverRecurses) {
  constexpr std::size_t kDepth = 100000;
  const std::string empty_tables = R"("tokenMap":{"forward":{},"reverse":{}})";
  const std::string balanced = repeat("[", kDepth) + repeat("]", kDepth);
  const std::string objects = repeat(R"({"a":[)", kDepth) + "0" + repeat("]}", kDepth);

  // As an unknown member the nesting is skipped, however deep.
  for (const std::string& nested : {balanced, objects}) {
    SessionResult result =
        from_session_json(R"({"version":1,"deep":)" + nested + "," + empty_tables + "}");
    ASSERT_TRUE(result.ok()) << result.error().message();
    EXPECT_EQ(result.value(), TokenMap{});
  }
  const std::string open_only = R"({"version":1,"deep":)" + repeat("[", kDepth);
  expect_faults({
      {"unclosed nesting", open_only,
       malformed("EOF while parsing a list at line 1 column " + std::to_string(open_only.size()))},
      {"nesting where the version belongs", repeat("[", kDepth),
       malformed("invalid type: sequence, expected u32 at line 1 column 2")},
      {"nesting where a table value belongs", R"({"tokenMap":{"forward":{"a":)" + balanced + "}}}",
       malformed("invalid type: sequence, expected a string at line 1 column 29")},
  });
}

TEST(SessionHostileInput, HugeNumbersAreHandledWithoutConversion) {
  const std::string digits = repeat("9", 10000);
  const std::string shown = repeat("9", 64) + "...";
  SessionResult skipped = from_session_json(R"({"n":)" + digits + "." + digits + "e" + digits +
                                            R"(,"version":1,"tokenMap":[{},{}]})");
  ASSERT_TRUE(skipped.ok()) << skipped.error().message();
  expect_faults({
      {"10,000-digit version", "[" + digits + "]",
       malformed("invalid value: integer `" + shown + "`, expected u32 at line 1 column 10001")},
      {"10,000-digit fraction as version", "[0." + digits + "]",
       malformed("invalid type: floating point `0." + repeat("9", 62) +
                 "...`, expected u32 at line 1 column 10003")},
      {"10,000-digit table value", R"([1,[{"a":)" + digits + "}]]",
       malformed("invalid type: integer `" + shown + "`, expected a string at line 1 column " +
                 std::to_string(9 + digits.size()))},
  });
}

TEST(SessionHostileInput, LargeDocumentsReadCompletely) {
  // About 20 MB of entries.
  TokenMap map;
  const std::string filler = repeat("ä", 500);
  for (int i = 0; i < 10000; ++i) {
    const std::string token = "[PERSON_" + std::to_string(i + 1) + "]";
    map.forward.emplace(filler + std::to_string(i), token);
    map.reverse.emplace(token, filler + std::to_string(i));
  }
  const std::string json = to_session_json(map);
  ASSERT_GT(json.size(), 18'000'000u);
  SessionResult result = from_session_json(json);
  ASSERT_TRUE(result.ok()) << result.error().message();
  EXPECT_EQ(result.value(), map);

  // Cut inside the last entry: refused, nothing of the map comes back.
  const SessionResult cut = from_session_json(std::string_view(json).substr(0, json.size() - 5));
  ASSERT_FALSE(cut.ok());
  EXPECT_EQ(cut.error().message().rfind("session JSON is malformed: EOF while parsing", 0), 0u)
      << cut.error().message();

  // A 20 MB string in an unknown member is skipped; as a version it is quoted only in part.
  const std::string big(20'000'000, 'x');
  SessionResult skipped =
      from_session_json(R"({"blob":")" + big + R"(","version":1,"tokenMap":[{},{}]})");
  ASSERT_TRUE(skipped.ok()) << skipped.error().message();
  EXPECT_EQ(read_message("[\"" + big + "\"]"),
            malformed("invalid type: string \"" + repeat("x", 64) +
                      "...\", expected u32 at line 1 column 20000003"));
}

}  // namespace
}  // namespace velk
