// Helpers shared by the C++ suites: tables of cases, maps and long texts built in one line, and
// readable printing of entities and maps in failure messages.
#ifndef VELK_TESTS_CPP_TEST_SUPPORT_H_
#define VELK_TESTS_CPP_TEST_SUPPORT_H_

#include <gtest/gtest.h>

#include <map>
#include <ostream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "velk/entity.h"
#include "velk/token_map.h"

namespace velk {

// GoogleTest finds these through argument-dependent lookup, so they live beside the types.
inline void PrintTo(const Entity& entity, std::ostream* os) {
  *os << display_name(entity.entity_type) << "(" << debug_string(entity.text) << ")";
}

inline void PrintTo(const TokenMap& map, std::ostream* os) {
  for (const auto* table : {&map.forward, &map.reverse}) {
    *os << (table == &map.forward ? "forward {" : " reverse {");
    const std::map<std::string, std::string> sorted(table->begin(), table->end());
    for (const auto& [k, v] : sorted) *os << " " << debug_string(k) << ": " << debug_string(v);
    *os << " }";
  }
}

namespace test {

// One case of a table: a name for failure messages, an input and the result expected for it.
template <class In, class Out>
struct Row {
  std::string_view name;
  In input;
  Out expected;
};

// Expects f(input) == expected for every row; a failure names the row and prints its input.
template <class In, class Out, class F>
void expect_rows(F f, const std::vector<Row<In, Out>>& rows) {
  for (const Row<In, Out>& row : rows) {
    SCOPED_TRACE(std::string(row.name) + " " + testing::PrintToString(row.input));
    EXPECT_EQ(f(row.input), row.expected);
  }
}

using Pairs = std::vector<std::pair<std::string, std::string>>;

// A map whose forward table holds `forward` and whose reverse table holds `reverse`, as given.
inline TokenMap make_tables(const Pairs& forward, const Pairs& reverse) {
  TokenMap map;
  for (const auto& [key, value] : forward) map.forward.insert_or_assign(key, value);
  for (const auto& [key, value] : reverse) map.reverse.insert_or_assign(key, value);
  return map;
}

// A consistent map: each (entity text, token) pair in forward and its inverse in reverse.
inline TokenMap make_map(const Pairs& entries) {
  Pairs reverse;
  for (const auto& [text, token] : entries) reverse.emplace_back(token, text);
  return make_tables(entries, reverse);
}

// `piece` repeated until the text is at least `size` bytes long.
inline std::string repeat(std::string_view piece, std::size_t size) {
  std::string out;
  out.reserve(size + piece.size());
  while (out.size() < size) out.append(piece);
  return out;
}

}  // namespace test
}  // namespace velk

#endif  // VELK_TESTS_CPP_TEST_SUPPORT_H_
