// The tech allowlist: 420 distinct entries, each matched only as the whole text with its own
// capitalisation.
#include "velk/tech_allowlist.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <string_view>

namespace velk {
namespace {

using namespace std::string_view_literals;

TEST(TechAllowlist, HoldsFourHundredTwentyDistinctEntriesWithDriveAndNodeJSOnce) {
  const ViewSet& set = tech_allowlist();
  EXPECT_EQ(set.size(), 420u);
  for (std::string_view twice_inserted : {"Drive", "NodeJS"}) {
    EXPECT_EQ(std::count(set.begin(), set.end(), twice_inserted), 1) << twice_inserted;
  }
}

// Probed through copies, so that content counts, not the address of a literal.
TEST(TechAllowlist, MembershipIsExactAndCaseSensitive) {
  const std::string_view members[] = {"CanvasRenderingContext2D", "UNIX_EPOCH", "B2C", "git",
                                      "Node",  "NodeJS", "Java", "JavaScript", "April", "Sunday",
                                      "VPN",   "VPNs"};
  const std::string_view non_members[] = {"javascript", "JAVASCRIPT", " JavaScript", "JavaScriptX",
                                          "",           "Go\0"sv,    "Git",        "NodeJs",
                                          "May",        "VPNS"};
  for (std::string_view text : members) EXPECT_TRUE(is_tech_term(std::string(text))) << text;
  for (std::string_view text : non_members) {
    EXPECT_FALSE(is_tech_term(std::string(text))) << "\"" << text << "\"";
  }
}

}  // namespace
}  // namespace velk
