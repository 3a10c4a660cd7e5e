// Entity kinds: prefixes, names, values, the stable hash and the debug form of texts.
#include "velk/entity.h"

#include <gtest/gtest.h>

#include <set>
#include <tuple>
#include <vector>

#include "test_support.h"

namespace velk {
namespace {

// Every kind in order, with its value, prefix and name.
TEST(EntityType, ValuesPrefixesAndNames) {
  using Described = std::vector<std::tuple<int, std::string_view, std::string_view>>;
  Described all;
  for (EntityType type : kAllEntityTypes) {
    all.emplace_back(numeric_value(type), token_prefix(type), display_name(type));
  }
  EXPECT_EQ(all, (Described{{0, "PERSON", "Person"}, {1, "PLACE", "Place"}, {2, "ORG", "Org"},
                            {3, "PROJECT", "Project"}, {4, "EMAIL", "Email"},
                            {5, "PHONE", "Phone"}, {6, "URL", "Url"}, {7, "HANDLE", "Handle"},
                            {8, "SECRET", "Secret"}, {9, "IP", "IpAddress"}}));
  EXPECT_EQ(kAllEntityTypes[0], EntityType::Person);
  EXPECT_EQ(kAllEntityTypes[9], EntityType::IpAddress);
}

TEST(EntityType, HashIsSipHash13OfTheValue) {
  EXPECT_EQ(entity_type_hash(EntityType::Person), -4800647303603446203);
  EXPECT_EQ(entity_type_hash(EntityType::IpAddress), -5355386902798776048);
  // All ten differ, and none is -1 (which the interpreter reserves).
  std::set<std::int64_t> hashes = {-1};
  for (EntityType type : kAllEntityTypes) hashes.insert(entity_type_hash(type));
  EXPECT_EQ(hashes.size(), 11u);
}

TEST(DebugString, EscapesQuotesControlsAndMarks) {
  test::expect_rows<std::string_view, std::string>(debug_string, {
      {"empty", "", "\"\""},
      {"quotes", "Ann \"Jo\"", "\"Ann \\\"Jo\\\"\""},
      {"short escapes", std::string_view("\0\t\r\n", 4), "\"\\0\\t\\r\\n\""},
      {"other controls", "\x1b\x7f", "\"\\u{1b}\\u{7f}\""},
      {"letters of other scripts", "Zoë Ωμέγα 東京 😀", "\"Zoë Ωμέγα 東京 😀\""},
      {"combining acute accent", "e\u0301", "\"e\\u{301}\""},
      {"no-break and zero-width space", "a\u00A0b\u200Bc", "\"a\\u{a0}b\\u{200b}c\""},
  });
}

}  // namespace
}  // namespace velk
