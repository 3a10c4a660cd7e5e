// The PCRE2 owner: UTF/UCP compilation, searching from offsets, refusal of huge patterns.
#include "velk/regex.h"

#include <gtest/gtest.h>

#include <string>

namespace velk {
namespace {

TEST(Regex, FindsLeftmostMatchFromAnOffsetWithGroups) {
  const Regex regex = Regex::compile("\\[([A-Z]+)_(\\d+)\\]");
  ASSERT_TRUE(regex.ok());
  MatchResult match(regex);
  const std::string text = "a [X_1] b [PERSON_\u0663\u0664]";
  ASSERT_EQ(regex.search(text, 0, match), SearchStatus::kMatch);
  EXPECT_EQ(text.substr(match.start(), match.end() - match.start()), "[X_1]");
  ASSERT_EQ(regex.search(text, match.end(), match), SearchStatus::kMatch);
  EXPECT_EQ(text.substr(match.start(1), match.end(1) - match.start(1)), "PERSON");
  EXPECT_EQ(text.substr(match.start(2), match.end(2) - match.start(2)), "\u0663\u0664");
  EXPECT_EQ(regex.search(text, match.end(), match), SearchStatus::kNoMatch);
}

TEST(Regex, RefusesMalformedAndOversizedPatterns) {
  EXPECT_FALSE(Regex::compile("(unclosed").ok());
  EXPECT_FALSE(Regex::compile(std::string(200000, 'a') + "\\b").ok());
}

TEST(Regex, BinaryZeroInPatternAndSubject) {
  const Regex regex = Regex::compile(std::string_view("a\0b", 3));
  ASSERT_TRUE(regex.ok());
  MatchResult match(regex);
  EXPECT_EQ(regex.search(std::string_view("xa\0b", 4), 0, match), SearchStatus::kMatch);
  EXPECT_EQ(match.start(), 1u);
}

}  // namespace
}  // namespace velk
