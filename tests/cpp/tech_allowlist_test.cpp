// The tech allowlist: entries match only as the whole text with their own capitalisation (the
// module's suite counts them).
#include "velk/tech_allowlist.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

namespace velk {
namespace {

using namespace std::string_view_literals;

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
