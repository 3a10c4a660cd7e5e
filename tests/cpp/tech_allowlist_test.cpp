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
  const std::string_view members[] = {
      // One entry of each group.
      "TypeScript", "CanvasRenderingContext2D", "AggregateError", "PassThrough", "DependencyList",
      "UNIX_EPOCH", "Haiku", "B2C", "chown", "M4", "Bonjour", "Java", "JavaScript",
      // Command names in lower case; "Node" is the product, "NodeJS" another entry.
      "git", "npm", "node", "Node", "NodeJS",
      // Every month but May, every weekday.
      "January", "February", "March", "April", "June", "July", "August", "September", "October",
      "November", "December", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday",
      "Sunday",
      // Related forms are separate entries.
      "Postgres", "PostgreSQL", "VPN", "VPNs", "API", "APIs"};
  const std::string_view non_members[] = {
      "javascript", "JAVASCRIPT", " JavaScript", "JavaScript ", "JavaScriptX", "",
      "Go\0"sv,     "Git",        "NPM",         "Curl",        "Sudo",        "nodejs",
      "NodeJs",     "May",        "may",         "Postgresql",  "VPNS",        "Apis"};
  for (std::string_view text : members) EXPECT_TRUE(is_tech_term(std::string(text))) << text;
  for (std::string_view text : non_members) {
    EXPECT_FALSE(is_tech_term(std::string(text))) << "\"" << text << "\"";
  }
}

}  // namespace
}  // namespace velk
