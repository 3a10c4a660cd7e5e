// The tech allowlist: entries match only whole and as written (the module's suite counts them).
#include "velk/tech_allowlist.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

namespace velk {
namespace {

using namespace std::string_view_literals;

// Probed through copies, so that content counts, not the address of a literal.
TEST(TechAllowlist, MembershipIsExactAndCaseSensitive) {
  const auto member = [](std::string_view text) { return is_tech_term(std::string(text)); };
  for (std::string_view text : {"CanvasRenderingContext2D"sv, "UNIX_EPOCH"sv, "B2C"sv, "git"sv,
                                "Node"sv, "NodeJS"sv, "Java"sv, "JavaScript"sv, "April"sv,
                                "Sunday"sv, "VPN"sv, "VPNs"sv}) {
    EXPECT_TRUE(member(text)) << text;
  }
  for (std::string_view text : {"javascript"sv, "JAVASCRIPT"sv, " JavaScript"sv, "JavaScriptX"sv,
                                ""sv, "Go\0"sv, "Git"sv, "NodeJs"sv, "May"sv, "VPNS"sv}) {
    EXPECT_FALSE(member(text)) << "\"" << text << "\"";
  }
}

}  // namespace
}  // namespace velk
