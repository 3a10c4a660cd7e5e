// The pattern pass and the CamelCase pass: which matches of the fixed patterns become entities.
// The patterns run in a fixed order over the whole text; a match is taken or dropped by what
// earlier patterns already took (the bytes they cover) and by the text around it, and a text
// is reported once whatever its capitalisation, by the first pattern that yields it.
#include "velk/pattern_extractors.h"

#include <algorithm>
#include <iterator>
#include <string>
#include <unordered_map>
#include <utility>

#include "velk/ascii.h"
#include "velk/tech_allowlist.h"
#include "velk/unicode.h"

namespace velk {

namespace pattern_internals {

bool passes_secret_checks(std::string_view match) {
  if (is_tech_term(match)) return false;
  const bool has_digit = std::any_of(match.begin(), match.end(), is_ascii_digit);
  const bool has_letter = std::any_of(match.begin(), match.end(), is_ascii_letter);
  return has_digit && has_letter;
}

}  // namespace pattern_internals

namespace {

using pattern_internals::find_pattern_matches;
using pattern_internals::MatchSpan;
using pattern_internals::PatternId;

// The byte offsets inside accepted entities, as sorted, disjoint half-open intervals: the same
// answers as a set of every covered byte at a cost per entity rather than per byte. Entities of
// the pattern being run wait in `pending_` until it is done; they arrive in text order and
// never overlap, since matches of one pattern never do, so both lists stay searchable.
class CoveredOffsets {
 public:
  bool contains(std::size_t offset) const {
    return in_intervals(committed_, offset) || in_intervals(pending_, offset);
  }

  void add(std::size_t begin, std::size_t end) {
    if (begin < end) pending_.push_back({begin, end});
  }

  // Folds the pending intervals into the committed ones, in one linear merge through a scratch
  // buffer; both keep their room for the next pattern.
  void commit() {
    if (pending_.empty()) return;
    merged_.clear();
    merged_.reserve(committed_.size() + pending_.size());
    std::merge(committed_.begin(), committed_.end(), pending_.begin(), pending_.end(),
               std::back_inserter(merged_),
               [](const MatchSpan& a, const MatchSpan& b) { return a.start < b.start; });
    committed_.clear();
    for (const MatchSpan& span : merged_) {
      if (!committed_.empty() && span.start <= committed_.back().end) {
        committed_.back().end = std::max(committed_.back().end, span.end);
      } else {
        committed_.push_back(span);
      }
    }
    pending_.clear();
  }

 private:
  static bool in_intervals(const std::vector<MatchSpan>& intervals, std::size_t offset) {
    auto after = std::upper_bound(
        intervals.begin(), intervals.end(), offset,
        [](std::size_t value, const MatchSpan& span) { return value < span.start; });
    return after != intervals.begin() && offset < std::prev(after)->end;
  }

  std::vector<MatchSpan> committed_;
  std::vector<MatchSpan> pending_;
  std::vector<MatchSpan> merged_;  // scratch for commit()
};

struct PatternPassState {
  // Lower-cased texts already emitted, to the index of their entity.
  std::unordered_map<std::string, std::size_t, StringHash, std::equal_to<>> seen_texts;
  std::vector<EntityPlace>* places = nullptr;
  CoveredOffsets covered_offsets;
  std::vector<Entity> entities;
  std::string lower;  // the lower-cased match, reused
};

// The append step shared by the seven patterns: trim, keep texts of three bytes or more, report
// each text once whatever its capitalisation, and mark the reported bytes covered.
void push_pattern_entity(std::string_view text, MatchSpan span, EntityType type,
                         PatternPassState& state) {
  const std::string_view match = text.substr(span.start, span.end - span.start);
  const std::string_view trimmed = trim_white_space(match);
  if (trimmed.size() < 3) return;
  state.lower.clear();
  append_lower(state.lower, trimmed);
  const std::size_t begin = span.start + static_cast<std::size_t>(trimmed.data() - match.data());
  // Copied into the table only when new; a repeat covers nothing but is a place all the same.
  const auto [seen, is_new] = state.seen_texts.try_emplace(state.lower, state.entities.size());
  if (state.places) state.places->push_back({begin, begin + trimmed.size(), seen->second});
  if (!is_new) return;
  state.entities.push_back({std::string(trimmed), type});
  // The covered bytes are the trimmed text's own. No pattern can match white space at either
  // end, so this is also the stretch from the match's start.
  state.covered_offsets.add(begin, begin + trimmed.size());
}

// Runs one pattern over the whole text and pushes each match that `accept` lets through.
template <typename Accept>
void run_pattern(std::string_view text, PatternId id, EntityType type, PatternPassState& state,
                 Accept accept) {
  for (const MatchSpan& span : find_pattern_matches(id, text)) {
    if (accept(span)) push_pattern_entity(text, span, type, state);
  }
  state.covered_offsets.commit();
}

}  // namespace

std::vector<Entity> extract_pattern_entities(std::string_view text,
                                             std::vector<EntityPlace>* places,
                                             std::vector<std::string>* lowers) {
  PatternPassState state;
  state.places = places;
  const auto any = [](const MatchSpan&) { return true; };
  const auto uncovered = [&](const MatchSpan& span) {
    return !state.covered_offsets.contains(span.start);
  };

  run_pattern(text, PatternId::kUrl, EntityType::Url, state, any);
  // An address inside an accepted URL is still reported.
  run_pattern(text, PatternId::kEmail, EntityType::Email, state, any);
  // A bare domain must not be the tail of a longer host name or of an e-mail address.
  run_pattern(text, PatternId::kDomain, EntityType::Url, state, [&](const MatchSpan& span) {
    if (!uncovered(span)) return false;
    if (span.start == 0) return true;
    const char32_t before = char_before(text, span.start);
    return before != '.' && before != '@' && !is_ascii_alnum(text[span.start - 1]);
  });
  // A handle glued to a word or a dot is part of something else (an address, a file name).
  run_pattern(text, PatternId::kHandle, EntityType::Handle, state, [&](const MatchSpan& span) {
    if (!uncovered(span)) return false;
    if (span.start == 0) return true;
    const char before = text[span.start - 1];
    return before != '.' && !is_ascii_alnum(before);
  });
  run_pattern(text, PatternId::kPhone, EntityType::Phone, state, any);
  run_pattern(text, PatternId::kIp, EntityType::IpAddress, state, uncovered);
  // The substitution replaces a text only where no letter, digit or underscore precedes it and
  // where its end is a word boundary. The secret pattern has no word boundaries: it can start
  // inside a run of such characters ("sk_live_..." matches from "live_", a longer prefix from
  // its last 12 characters) and stop before an underscore or after a '+' or '/'. A secret is
  // therefore the whole run of letters, digits and underscores around its match, short of
  // covered text and of the secret before it, without trailing '+' and '/'. Matches inside a
  // secret taken so are part of it.
  const auto word_byte = [&](std::size_t at) {
    return is_ascii_word_byte(text[at]) && !state.covered_offsets.contains(at);
  };
  std::size_t taken_end = 0;
  for (const MatchSpan& span : find_pattern_matches(PatternId::kSecret, text)) {
    if (span.start < taken_end || !uncovered(span) ||
        !pattern_internals::passes_secret_checks(text.substr(span.start, span.end - span.start))) {
      continue;
    }
    MatchSpan whole = span;
    while (whole.start > taken_end && word_byte(whole.start - 1)) --whole.start;
    while (whole.end < text.size() && word_byte(whole.end)) ++whole.end;
    while (text[whole.end - 1] == '+' || text[whole.end - 1] == '/') --whole.end;
    push_pattern_entity(text, whole, EntityType::Secret, state);
    taken_end = std::max(whole.end, span.end);
  }
  state.covered_offsets.commit();
  if (lowers) {
    lowers->resize(state.entities.size());
    while (!state.seen_texts.empty()) {
      auto seen = state.seen_texts.extract(state.seen_texts.begin());
      (*lowers)[seen.mapped()] = std::move(seen.key());
    }
  }
  return std::move(state.entities);
}

std::vector<Entity> extract_camel_case_projects(std::string_view text,
                                                const StringSet& exclude_texts,
                                                std::vector<EntityPlace>* places) {
  const ViewSet excluded(exclude_texts.begin(), exclude_texts.end());
  return extract_camel_case_projects(text, find_pattern_matches(PatternId::kCamelCase, text),
                                     excluded, places);
}

std::vector<Entity> extract_camel_case_projects(std::string_view text,
                                                std::span<const MatchSpan> words,
                                                const ViewSet& exclude_texts,
                                                std::vector<EntityPlace>* places) {
  std::unordered_map<std::string, std::size_t, StringHash, std::equal_to<>> seen_texts;
  std::vector<Entity> projects;
  std::string lower;  // reused for every match
  for (const MatchSpan& span : words) {
    const std::string_view match = text.substr(span.start, span.end - span.start);
    if (is_tech_term(match)) continue;
    lower.clear();
    append_lower(lower, match);
    if (exclude_texts.contains(lower)) continue;
    const auto [seen, is_new] = seen_texts.try_emplace(lower, projects.size());
    if (places) places->push_back({span.start, span.end, seen->second});
    if (is_new) projects.push_back({std::string(match), EntityType::Project});
  }
  return projects;
}

}  // namespace velk
