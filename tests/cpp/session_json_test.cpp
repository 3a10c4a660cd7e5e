// The session document: exact writer output, round trips against an independent JSON library,
// the acceptance rules, the exact fault messages with their positions, and hostile input.
#include "velk/session_json.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <vector>

#include "test_support.h"
#include "velk/unicode.h"

namespace velk {
namespace {

using namespace std::string_literals;
using test::make_map;
using test::make_tables;
using test::repeat;

const std::string kEmptyTables = R"("tokenMap":{"forward":{},"reverse":{}})";
const TokenMap kAlice = make_map({{"Alice", "[PERSON_1]"}});

std::string read_message(std::string_view json) {
  const SessionResult result = from_session_json(json);
  return result.ok() ? "<read succeeded>" : result.error().message();
}

std::string malformed(std::string_view description) {
  return "session JSON is malformed: " + std::string(description);
}

TEST(ToSessionJson, WritesACompactDocumentWithExactEscaping) {
  test::expect_rows<TokenMap, std::string>(to_session_json, {
      {"empty map", TokenMap{}, R"({"version":1,"tokenMap":{"forward":{},"reverse":{}}})"},
      {"one person", kAlice,
       R"({"version":1,"tokenMap":{"forward":{"Alice":"[PERSON_1]"},"reverse":{"[PERSON_1]":"Alice"}}})"},
      {"quotation mark and backslash", make_tables({{R"(say "hi" \o/)", "[ORG_1]"}}, {}),
       R"({"version":1,"tokenMap":{"forward":{"say \"hi\" \\o/":"[ORG_1]"},"reverse":{}}})"},
      {"short control escapes", make_tables({}, {{"[X_1]", "a\bb\tc\nd\fe\rf"}}),
       R"({"version":1,"tokenMap":{"forward":{},"reverse":{"[X_1]":"a\bb\tc\nd\fe\rf"}}})"},
      {"other control characters as lower-case \\u", make_tables({{"\x01\x1b\x1f", "t"}}, {}),
       R"({"version":1,"tokenMap":{"forward":{"\u0001\u001b\u001f":"t"},"reverse":{}}})"},
      {"slash and DEL unescaped", make_tables({{"a/b\x7f", "t"}}, {}),
       "{\"version\":1,\"tokenMap\":{\"forward\":{\"a/b\x7f\":\"t\"},\"reverse\":{}}}"},
      {"empty texts", make_tables({{"", ""}}, {{"", ""}}),
       R"({"version":1,"tokenMap":{"forward":{"":""},"reverse":{"":""}}})"},
  });
}

// Random text drawn from ranges chosen to hit every escaping rule and every UTF-8 length.
std::string random_text(std::mt19937& rng) {
  static const std::vector<std::pair<char32_t, char32_t>> kRanges = {
      {0x00, 0x1F},  {0x20, 0x7F},    {'"', '"'},       {'\\', '\\'},       {'/', '/'},
      {0x80, 0x7FF}, {0x800, 0xD7FF}, {0xE000, 0xFFFF}, {0x10000, 0x10FFFF}};
  std::string text;
  for (std::size_t n = rng() % 13; n > 0; --n) {
    const auto [low, high] = kRanges[rng() % kRanges.size()];
    append_utf8(
        text, static_cast<char32_t>(std::uniform_int_distribution<std::uint32_t>(low, high)(rng)));
  }
  return text;
}

// The tables of one of our documents as an independent reader sees them.
TokenMap tables_read_by_library(const nlohmann::json& document) {
  TokenMap tables;
  for (LayeredTable* table : {&tables.forward, &tables.reverse}) {
    const char* name = table == &tables.forward ? "forward" : "reverse";
    for (const auto& [key, value] : document.at("tokenMap").at(name).items()) {
      table->insert_or_assign(key, value.get<std::string>());
    }
  }
  return tables;
}

// Members go out in byte order of their names, so a map read back writes the same bytes.
TEST(ToSessionJson, WritesMembersInByteOrderAndReadsBackToTheSameBytes) {
  const TokenMap map =
      make_tables({{"b", "[P_2]"}, {"B", "[P_3]"}, {"a", "[P_1]"}, {"\u00E9", "[P_4]"}},
                  {{"[P_2]", "b"}, {"[P_10]", "x"}, {"[P_1]", "a"}});
  const std::string written = to_session_json(map);
  EXPECT_EQ(written,
            R"({"version":1,"tokenMap":{"forward":{"B":"[P_3]","a":"[P_1]","b":"[P_2]",)"
            "\"\u00E9\":\"[P_4]\"},"
            R"("reverse":{"[P_10]":"x","[P_1]":"a","[P_2]":"b"}}})");
  const SessionResult read = from_session_json(written);
  ASSERT_TRUE(read.ok());
  EXPECT_EQ(to_session_json(read.value()), written);
}

// Our documents read back equal, and nlohmann-json reads them into the same tables; its own
// documents (all non-ASCII as \u escapes and surrogate pairs, or pretty-printed with white
// space) read back into the map it was given.
TEST(SessionRoundTrip, RandomMapsReadBackEqualAndAgreeWithAnIndependentLibrary) {
  std::mt19937 rng(20240611);
  for (int i = 0; i < 1000; ++i) {
    TokenMap map;
    for (LayeredTable* table : {&map.forward, &map.reverse}) {
      for (int n = rng() % 11; n > 0; --n)
        table->insert_or_assign(random_text(rng), random_text(rng));
    }
    const std::string ours = to_session_json(map);
    const nlohmann::json parsed = nlohmann::json::parse(ours);
    ASSERT_EQ(parsed["version"], 1) << "case " << i;
    ASSERT_EQ(tables_read_by_library(parsed), map) << "case " << i << ": " << ours;
    for (const std::string& json : {ours, parsed.dump(-1, ' ', true), parsed.dump(2)}) {
      SessionResult result = from_session_json(json);
      ASSERT_TRUE(result.ok()) << "case " << i << ": " << json << "\n" << result.error().message();
      ASSERT_EQ(result.value(), map) << "case " << i << ": " << json;
    }
  }
}

TEST(FromSessionJson, AcceptsEquivalentDocumentForms) {
  const TokenMap empty;
  const auto read = [](std::string_view json) {
    SessionResult result = from_session_json(json);
    EXPECT_TRUE(result.ok()) << result.error().message();
    return result.ok() ? result.value() : TokenMap{};
  };
  test::expect_rows<std::string, TokenMap>(read, {
      {"version -0 is zero", "{\"version\":-0," + kEmptyTables + "}", empty},
      {"members in reverse order",
       R"({"tokenMap":{"reverse":{"[PERSON_1]":"Alice"},"forward":{"Alice":"[PERSON_1]"}},"version":1})",
       kAlice},
      {"top-level array form", R"([1,[{},{}]])", empty},
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
      {"an unknown member may repeat", R"({"x":1,"x":2,"version":1,"x":3,)" + kEmptyTables + "}",
       empty},
      {"escaped member names are their decoded text",
       R"({"vers\u0069on":1,"token\u004Dap":{"\u0066orward":{},"reverse":{}}})", empty},
      {"later duplicate in a table replaces the earlier",
       R"([1,[{"Alice":"[PERSON_9]","Alice":"[PERSON_1]"},{"[PERSON_1]":"B","\u005bPERSON_1]":"Alice"}]])",
       kAlice},
      {"every escape form",
       R"([1,[{"\"\\\/\b\f\n\r\t":"\u00e9\u00C9\u6771\ud83d\ude00\u0000"},{}]])",
       make_tables({{"\"\\/\b\f\n\r\t", "éÉ東😀\0"s}}, {})},
  });
}

// A document and the description of its fault, which says what the case is about.
struct FaultCase {
  std::string json;
  std::string description;  // after "session JSON is malformed: "
};

void expect_faults(const std::vector<FaultCase>& cases) {
  for (const FaultCase& c : cases) {
    SCOPED_TRACE(c.description);
    EXPECT_EQ(read_message(c.json), malformed(c.description))
        << "document (" << c.json.size() << " bytes) begins: " << c.json.substr(0, 200);
  }
}

// Structural faults; wrong types in the library's wording (every kind of value and every
// expected type at least once, and each form of number the version refuses); one case per
// lexical fault the reader tells apart, then lone surrogates and invalid UTF-8; lines and
// character columns.
TEST(FromSessionJson, ReportsFaultsWithExactDescriptionsAndPositions) {
  expect_faults({
      {"{\"version\":1,\"version\":1," + kEmptyTables + "}",
       "duplicate field `version` at line 1 column 22"},
      {R"([1,{"forward":{},"forward":{}}])", "duplicate field `forward` at line 1 column 26"},
      {"{}", "missing field `version` at line 1 column 2"},
      {R"({"version":1})", "missing field `tokenMap` at line 1 column 13"},
      {R"({"version":7})", "missing field `tokenMap` at line 1 column 13"},  // before the version
      {R"([1,{"forward":{}}])", "missing field `reverse` at line 1 column 17"},
      {"[]",
       "invalid length 0, expected struct SerializedSession with 2 elements at line 1 column 2"},
      {"[1,[{}]]", "invalid length 1, expected struct TokenMap with 2 elements at line 1 column 7"},
      {"{\"version\":1," + kEmptyTables + "} x", "trailing characters at line 1 column 54"},
      {"[2,[{},{}]]x", "trailing characters at line 1 column 12"},  // before the version
      {"5", "invalid type: integer `5`, expected struct SerializedSession at line 1 column 1"},
      {"[1,false]", "invalid type: boolean `false`, expected struct TokenMap at line 1 column 8"},
      {"[1,[[],{}]]", "invalid type: sequence, expected a map at line 1 column 5"},
      {R"([1,[{"a":null},{}]])", "invalid type: null, expected a string at line 1 column 13"},
      {R"({"version":1.0})",
       "invalid type: floating point `1.0`, expected u32 at line 1 column 14"},
      {R"({"version":-1})", "invalid value: integer `-1`, expected u32 at line 1 column 13"},
      {"[4294967296,[{},{}]]",
       "invalid value: integer `4294967296`, expected u32 at line 1 column 11"},
      {"[\"a\\\"\\n\\u0001\"]",
       "invalid type: string \"a\\\"\\n\\u0001\", expected u32 at line 1 column 14"},
      {"", "EOF while parsing a value at line 1 column 0"},
      {"{", "EOF while parsing an object at line 1 column 1"},
      {R"({"version" 1)", "expected `:` at line 1 column 12"},
      {R"({"version":1 "tokenMap")", "expected `,` or `}` at line 1 column 14"},
      {R"({"version":1,})", "trailing comma at line 1 column 14"},
      {"{version:1}", "key must be a string at line 1 column 2"},
      {R"({"version":})", "expected value at line 1 column 12"},
      {R"({"version":01})", "invalid number at line 1 column 13"},
      {R"({"x":tru})", "expected `true` at line 1 column 9"},
      {R"({"x":"abc)", "EOF while parsing a string at line 1 column 9"},
      {R"({"x":"a\qb"})", "invalid escape at line 1 column 9"},
      {R"({"x":"\u12G4"})",
       "invalid \\u escape: expected four hexadecimal digits at line 1 column 11"},
      {"{\"x\":\"a\0b\"}"s,
       "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 8"},
      {R"({"x":"\ud800"})", "lone surrogate in \\u escape at line 1 column 12"},
      {R"({"x":"\udc00"})", "lone surrogate in \\u escape at line 1 column 12"},
      {R"({"x":"\ud800\u0041"})", "lone surrogate in \\u escape at line 1 column 18"},
      {R"({"x":"\ud800\)", "EOF while parsing a string at line 1 column 13"},
      {"{\"x\":\"a\xFF\"}", "invalid UTF-8 in string at line 1 column 8"},
      {"{\"x\":\"\xE0\x80\xAF\"}", "invalid UTF-8 in string at line 1 column 7"},
      {"{\"x\":\"\xED\xA0\x80\"}", "invalid UTF-8 in string at line 1 column 7"},
      {"{\"x\":\"\xF4\x90\x80\x80\"}", "invalid UTF-8 in string at line 1 column 7"},
      {"{\"x\":\"\xE2\x82\"}", "invalid UTF-8 in string at line 1 column 7"},
      {"{\n  \"version\": 1,\n  \"tokenMap\": 5\n}",
       "invalid type: integer `5`, expected struct TokenMap at line 3 column 15"},
      {"{\r\n\"version\":1\r\n}", "missing field `tokenMap` at line 3 column 1"},
      {R"({"Zürich😀":1,"version":"x"})",
       "invalid type: string \"x\", expected u32 at line 1 column 26"},
      {"{\"x\":\"a\nb\"}",
       "control character (\\u0000-\\u001F) found while parsing a string at line 2 column 0"},
  });
}

TEST(FromSessionJson, RefusesNewerVersionsOnlyAfterAFaultFreeRead) {
  for (const auto& [json, found] : std::vector<std::pair<std::string, std::uint32_t>>{
           {"{\"version\":2," + kEmptyTables + "}", 2},
           {R"({"tokenMap":{"forward":{"a":"b"},"reverse":{}},"version":4294967295})",
            4294967295u}}) {
    SCOPED_TRACE(json);
    const SessionResult result = from_session_json(json);
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().kind(), SessionError::Kind::UnsupportedVersion);
    EXPECT_EQ(result.error().found_version(), found);
    EXPECT_EQ(result.error().message(), "unsupported session format version " +
                                            std::to_string(found) + " (this build supports 1)");
  }
  // A fault later in the document is reported instead of the version.
  EXPECT_EQ(read_message(R"({"version":2,"tokenMap":{"forward":{"a":1},"reverse":{}}})"),
            malformed("invalid type: integer `1`, expected a string at line 1 column 41"));
}

// Unknown members holding deep nesting or huge numbers are skipped; where they are read they are
// refused without recursion, and numbers are quoted in part.
TEST(SessionHostileInput, DeepNestingAndHugeNumbersAreSkippedOrRefusedCheaply) {
  constexpr std::size_t kDepth = 100000;
  const std::string balanced = repeat("[", kDepth) + repeat("]", kDepth);
  const std::string digits = repeat("9", 10000);
  const std::string shown = repeat("9", 64) + "...";
  for (const std::string& skipped :
       {balanced, repeat(R"({"a":[)", 6 * kDepth) + "0" + repeat("]}", 2 * kDepth),
        digits + "." + digits + "e" + digits}) {
    SessionResult result =
        from_session_json(R"({"version":1,"deep":)" + skipped + "," + kEmptyTables + "}");
    ASSERT_TRUE(result.ok()) << result.error().message();
    EXPECT_EQ(result.value(), TokenMap{});
  }
  const std::string open_only = R"({"version":1,"deep":)" + repeat("[", kDepth);
  expect_faults({
      {open_only, "EOF while parsing a list at line 1 column " + std::to_string(open_only.size())},
      {repeat("[", kDepth), "invalid type: sequence, expected u32 at line 1 column 2"},
      {R"({"tokenMap":{"forward":{"a":)" + balanced + "}}}",
       "invalid type: sequence, expected a string at line 1 column 29"},
      {"[" + digits + "]",
       "invalid value: integer `" + shown + "`, expected u32 at line 1 column 10001"},
      {"[0." + digits + "]", "invalid type: floating point `0." + repeat("9", 62) +
                                 "...`, expected u32 at line 1 column 10003"},
      {R"([1,[{"a":)" + digits + "}]]",
       "invalid type: integer `" + shown + "`, expected a string at line 1 column 10009"},
  });
}

}  // namespace
}  // namespace velk
