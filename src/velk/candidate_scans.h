// How each fixed pattern is compiled and where its searches start. For most patterns a byte
// scan finds the few places where a match can start and the engine is asked only for a match
// anchored there; that is what keeps every pattern linear in the length of the text. The
// argument that the scans miss no match is written beside each scan in candidate_scans.cpp.
// Internal to the pattern search: only pattern_search.cpp includes this.
#ifndef VELK_CANDIDATE_SCANS_H_
#define VELK_CANDIDATE_SCANS_H_

#include <cstddef>
#include <string_view>

#include "velk/pattern_search.h"
#include "velk/regex.h"

namespace velk::pattern_internals {

class AnchoredSearch;

// The leftmost match at or after `from`, found by trying only the starts a scan picks.
using CandidateScan = SearchOutcome (*)(AnchoredSearch& search, std::size_t from);

struct CompiledPattern {
  Regex regex;
  int entity_group;    // the capture group that holds the reported span
  CandidateScan scan;  // nullptr: the engine is asked plainly from each resume point
};

// The compiled search of `id`: the documented pattern in its engine form, anchored at the start
// of each search when a scan picks the starts. A refused pattern aborts: the texts are fixed,
// so a refusal is a defect of this code, never a property of the input.
CompiledPattern compile_search(PatternId id);

// Runs an anchored pattern at the starts that a candidate scan picks.
class AnchoredSearch {
 public:
  AnchoredSearch(const CompiledPattern& pattern, std::string_view text)
      : pattern_(pattern), text_(text), result_(pattern.regex) {}

  std::string_view text() const { return text_; }

  // The match that starts exactly at `start`, if there is one. An engine failure counts as no
  // match: it costs the match that starts there, and the scan goes on to its next start.
  bool try_at(std::size_t start, SearchOutcome& outcome) {
    if (pattern_.regex.search(text_, start, result_) != SearchStatus::kMatch) return false;
    outcome.status = SearchStatus::kMatch;
    outcome.match = {result_.start(), result_.end()};
    outcome.entity = {result_.start(pattern_.entity_group), result_.end(pattern_.entity_group)};
    return true;
  }

 private:
  const CompiledPattern& pattern_;
  std::string_view text_;
  MatchResult result_;
};

}  // namespace velk::pattern_internals

#endif  // VELK_CANDIDATE_SCANS_H_
