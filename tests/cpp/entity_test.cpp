// Entity kinds: prefixes, names, values, the stable hash and the debug form of texts.
#include "velk/entity.h"

#include <gtest/gtest.h>

#include <set>

#include "test_support.h"

namespace velk {
namespace {

TEST(EntityType, ValuesPrefixesAndNames) {
  const struct {
    EntityType type;
    int value;
    std::string_view prefix, name;
  } cases[] = {
      {EntityType::Person, 0, "PERSON", "Person"}, {EntityType::Place, 1, "PLACE", "Place"},
      {EntityType::Org, 2, "ORG", "Org"},          {EntityType::Project, 3, "PROJECT", "Project"},
      {EntityType::Email, 4, "EMAIL", "Email"},    {EntityType::Phone, 5, "PHONE", "Phone"},
      {EntityType::Url, 6, "URL", "Url"},          {EntityType::Handle, 7, "HANDLE", "Handle"},
      {EntityType::Secret, 8, "SECRET", "Secret"}, {EntityType::IpAddress, 9, "IP", "IpAddress"},
  };
  ASSERT_EQ(std::size(cases), kAllEntityTypes.size());
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    const auto& c = cases[i];
    SCOPED_TRACE(c.name);
    EXPECT_EQ(kAllEntityTypes[i], c.type);
    EXPECT_EQ(numeric_value(c.type), c.value);
    EXPECT_EQ(token_prefix(c.type), c.prefix);
    EXPECT_EQ(display_name(c.type), c.name);
  }
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
