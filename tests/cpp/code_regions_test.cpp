// Fenced blocks and inline spans found by the code-region scan.
#include "velk/code_regions.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_support.h"

namespace velk {
namespace {

using Regions = std::vector<CodeRegion>;

TEST(CodeRegions, TableOfCases) {
  test::expect_rows<std::string, Regions>(find_code_regions, {
      {"empty", "", {}},
      {"fenced block with closing line", "```\ncode\n```\nAlice", {{0, 13}}},
      {"shorter tilde run does not close", "  ~~~~\nx\n~~~\ny", {{0, 14}}},
      {"fence line with info string runs to the end", "```code``` Alice", {{0, 16}}},
      {"same characters mid-line are inline spans", "x ```code``` y", {{2, 4}, {4, 10}, {10, 12}}},
      {"escaped backtick inside a span", "a `b\\`c` d", {{2, 8}}},
      {"double backslash does not escape", "a `b\\\\`c` d", {{2, 7}}},
      {"four spaces are no fence", "    ```", {{4, 6}}},
      {"two backticks are no fence", "``a`` b", {{0, 2}, {3, 5}}},
      {"tab is no indentation", "\t```\nx\n```", {{1, 3}, {7, 10}}},
      {"span ends at line feed", "a `b\nc` d", {}},
      {"longer run closes a shorter opening", "```\nx\n`````\ny", {{0, 12}}},
      {"backtick block not closed by tildes", "```\nx\n~~~\ny", {{0, 11}}},
      {"closing line with text after the run", "~~~\nx\n~~~ trailing\nAlice", {{0, 19}}},
      {"indented closing fence", "```\nx\n   ```\nA", {{0, 13}}},
      {"four-space indented close does not close", "```\nx\n    ```\nA", {{0, 15}}},
      {"opening backtick is never escaped", "\\`a` b", {{1, 4}}},
      {"touching spans", "`a``b`", {{0, 3}, {3, 6}}},
  });
}

TEST(CodeRegions, LongLineOfEscapedBackticksStaysCheap) {
  // Every backtick after the first is escaped, so no span closes; the scan must not look
  // at the rest of the line again for each of them.
  std::string text = "`";
  for (int i = 0; i < 200000; ++i) text += "\\`";
  text += "\nnext `line`";
  const Regions regions = find_code_regions(text);
  ASSERT_EQ(regions.size(), 1u);
  EXPECT_EQ(text.substr(regions[0].start, regions[0].end - regions[0].start), "`line`");
}

}  // namespace
}  // namespace velk
