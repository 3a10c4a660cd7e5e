// Fuzzes the linear pattern searches (byte scans that find where a match can start, then
// anchored engine runs) against the plain iteration they replace: for every pattern, the
// leftmost match searched from the start and then from the end of each match, with the
// engine's own unanchored search. A match the scans miss is an entity let through.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_input.h"
#include "velk/pattern_search.h"
#include "velk/regex.h"

namespace velk::fuzz {
namespace {

using pattern_internals::MatchSpan;
using pattern_internals::PatternId;

constexpr std::array<PatternId, 8> kPatterns = {
    PatternId::kUrl,   PatternId::kEmail, PatternId::kDomain, PatternId::kHandle,
    PatternId::kPhone, PatternId::kIp,    PatternId::kSecret, PatternId::kCamelCase};

const Regex& plain_regex(PatternId id) {
  static const std::array<Regex, kPatterns.size()> regexes = [] {
    std::array<Regex, kPatterns.size()> compiled;
    for (PatternId p : kPatterns) {
      compiled[static_cast<std::size_t>(p)] =
          Regex::compile(pattern_internals::engine_pattern(pattern_internals::pattern_text(p)));
    }
    return compiled;
  }();
  return regexes[static_cast<std::size_t>(id)];
}

std::vector<MatchSpan> plain_matches(PatternId id, std::string_view text) {
  const Regex& regex = plain_regex(id);
  check(regex.ok(), "every documented pattern compiles");
  MatchResult result(regex);
  std::vector<MatchSpan> matches;
  std::size_t from = 0;
  while (from <= text.size()) {
    const SearchStatus status = regex.search(text, from, result);
    check(status != SearchStatus::kError, "the engine can search short texts");
    if (status == SearchStatus::kNoMatch) break;
    matches.push_back({result.start(), result.end()});
    check(result.end() > result.start(), "no pattern matches the empty string");
    from = result.end();
  }
  return matches;
}

std::string describe(const std::vector<MatchSpan>& matches, std::string_view text) {
  std::string out;
  for (const MatchSpan& match : matches) {
    out.append("[").append(std::to_string(match.start)).append(",");
    out.append(std::to_string(match.end)).append(") '");
    out.append(text.substr(match.start, match.end - match.start)).append("'\n");
  }
  return out;
}

}  // namespace
}  // namespace velk::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace velk::fuzz;
  const std::string text =
      text_from_bytes(std::string_view(reinterpret_cast<const char*>(data), size));
  for (const PatternId id : kPatterns) {
    const std::string expected = describe(plain_matches(id, text), text);
    const std::string actual =
        describe(velk::pattern_internals::find_pattern_matches(id, text), text);
    if (expected != actual) {
      fail("find_pattern_matches equals plain iteration",
           std::string(velk::pattern_internals::pattern_text(id)) + " on '" + text + "'\n" +
               expected,
           actual);
    }
  }
  return 0;
}
