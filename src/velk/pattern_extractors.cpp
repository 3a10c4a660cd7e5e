// The pattern pass and the CamelCase pass: engine texts derived from the documented patterns,
// linear-time searching, and the acceptance rules that turn matches into entities.
#include "velk/pattern_extractors.h"

#include <algorithm>
#include <cstdlib>
#include <iterator>
#include <utility>

#include "velk/tech_allowlist.h"
#include "velk/unicode.h"

namespace velk {

namespace pattern_internals {

namespace {

// Our word characters (is_word_char) as class items. PCRE2's own \w and \b count No characters
// such as U+00B2 and miss spacing marks, so the class is spelled out.
constexpr std::string_view kWordItems =
    "\\p{Alphabetic}\\p{Mn}\\p{Mc}\\p{Me}\\p{Nd}\\p{Pc}\\x{200C}\\x{200D}";

// The White_Space property (is_white_space) as class items. PCRE2's \s also takes U+180E.
constexpr std::string_view kWhiteSpaceItems =
    "\\t\\n\\x{0B}\\f\\r\\x{20}\\x{85}\\x{A0}\\x{1680}\\x{2000}-\\x{200A}\\x{2028}\\x{2029}"
    "\\x{202F}\\x{205F}\\x{3000}";

// \b as a word character on exactly one side. "A word character follows" is written as "neither
// a non-word character nor the end follows": PCRE2 looks past negative lookaheads when it
// works out which bytes can start a match, while a positive one over property classes stops it,
// and without that start set every byte of the text is tried.
void append_word_boundary(std::string& out) {
  const auto word_class = [&out](std::string_view open) {
    out.append(open).append(kWordItems).append("]");
  };
  out.append("(?:(?<=");
  word_class("[");
  out.append(")(?!");
  word_class("[");
  out.append(")|(?<!");
  word_class("[");
  out.append(")(?!");
  word_class("[^");
  out.append("|\\z))");
}

// Where a match of the e-mail pattern may start. Its local part is a run of one class that
// cannot hold "@", so from every start inside a run the match is the same apart from its first
// byte: it reaches the "@" after the run, and what follows does not depend on the start. The
// leftmost start of a run therefore succeeds exactly when any start inside it does, and no
// other start needs a try. Trying them all would rescan the rest of the run from each one,
// quadratic on a long run without "@". \G keeps the resume point of the iteration, which may
// fall inside a run, as a start.
constexpr std::string_view kLocalPartClass = "[a-zA-Z0-9._%+\\-]";
static_assert(EMAIL_PATTERN.starts_with(kLocalPartClass) &&
              EMAIL_PATTERN.substr(kLocalPartClass.size()).starts_with("+@"));

// Where a match of the domain pattern may start: inside a run of label characters the first
// \b decides. The label run before the "." is taken whole (the "." cannot be part of it), so
// from any start the match needs the same ending after the run and differs only in how many
// label characters it has: the leftmost start that has a \b wins if any start does. Within a
// run, \b falls only where hyphens and letters or digits meet, so the first \b is at the run's
// first character, after its leading hyphens, or after its leading letters and digits; the
// three alternatives try them in that order. The reported span is the group. Without this, a
// run such as "a-a-a-..." with a \b at every character is rescanned from each of them.
constexpr std::string_view kLabelClass = "[a-zA-Z0-9\\-]";
static_assert(DOMAIN_PATTERN.substr(2).starts_with(kLabelClass) &&
              DOMAIN_PATTERN.substr(2 + kLabelClass.size()).starts_with("{3,}\\."));
constexpr std::string_view kDomainRunStart = "(?:\\G|(?<![a-zA-Z0-9\\-]))(?:|\\-++|[a-zA-Z0-9]++)";

std::string email_search_text() {
  std::string text = "(?:\\G|(?<!";
  text.append(kLocalPartClass).append("))").append(EMAIL_PATTERN);
  return text;
}

std::string domain_search_text() {
  std::string text(kDomainRunStart);
  text.append("(").append(DOMAIN_PATTERN).append(")");
  return text;
}

// PCRE2 works out no set of possible first bytes for a pattern that starts with a property
// class such as \p{Nd}, and then tries the pattern at every byte. A lookahead naming, without
// properties, a superset of the characters a match can start with gives it that set and leaves
// the matches as they are: a phone number starts with "+", "(" or a digit, an IP address with a
// digit, and every non-ASCII digit lies in the upper range.
constexpr std::string_view kPhoneStart = "(?=[+(0-9\\x{80}-\\x{10FFFF}])";
constexpr std::string_view kIpStart = "(?=[0-9\\x{80}-\\x{10FFFF}])";

std::string with_prefix(std::string_view prefix, std::string_view pattern) {
  std::string text(prefix);
  text.append(pattern);
  return text;
}

struct CompiledPattern {
  Regex regex;
  int entity_group;  // the capture group that holds the reported span
};

// `text` is a documented pattern, possibly behind one of the prefixes above. Without JIT the
// interpreter finds the same matches, and the searches stay linear, only slower.
CompiledPattern compile_pattern(std::string_view text, int entity_group = 0) {
  Regex regex = Regex::compile(engine_pattern(text), /*jit=*/true);
  // The texts are fixed and every one is compiled by the tests: a refusal here is a defect of
  // this file, never a property of the input, and scanning with a missing pattern would hide it.
  if (!regex.ok()) std::abort();
  return {std::move(regex), entity_group};
}

// One once-guarded static per pattern, so a pass builds only the patterns it reaches.
const CompiledPattern& compiled_pattern(PatternId id) {
  switch (id) {
    case PatternId::kUrl: {
      static const CompiledPattern pattern = compile_pattern(URL_PATTERN);
      return pattern;
    }
    case PatternId::kEmail: {
      static const CompiledPattern pattern = compile_pattern(email_search_text());
      return pattern;
    }
    case PatternId::kDomain: {
      static const CompiledPattern pattern = compile_pattern(domain_search_text(), 1);
      return pattern;
    }
    case PatternId::kHandle: {
      static const CompiledPattern pattern = compile_pattern(HANDLE_PATTERN);
      return pattern;
    }
    case PatternId::kPhone: {
      static const CompiledPattern pattern =
          compile_pattern(with_prefix(kPhoneStart, PHONE_PATTERN));
      return pattern;
    }
    case PatternId::kIp: {
      static const CompiledPattern pattern = compile_pattern(with_prefix(kIpStart, IP_PATTERN));
      return pattern;
    }
    case PatternId::kSecret: {
      static const CompiledPattern pattern = compile_pattern(SECRET_PATTERN);
      return pattern;
    }
    case PatternId::kCamelCase:
      break;
  }
  static const CompiledPattern pattern = compile_pattern(CAMEL_CASE_PATTERN);
  return pattern;
}

}  // namespace

std::string_view pattern_text(PatternId id) {
  switch (id) {
    case PatternId::kUrl:
      return URL_PATTERN;
    case PatternId::kEmail:
      return EMAIL_PATTERN;
    case PatternId::kDomain:
      return DOMAIN_PATTERN;
    case PatternId::kHandle:
      return HANDLE_PATTERN;
    case PatternId::kPhone:
      return PHONE_PATTERN;
    case PatternId::kIp:
      return IP_PATTERN;
    case PatternId::kSecret:
      return SECRET_PATTERN;
    case PatternId::kCamelCase:
      break;
  }
  return CAMEL_CASE_PATTERN;
}

std::string engine_pattern(std::string_view pattern) {
  std::string out;
  out.reserve(pattern.size() * 8);
  bool in_class = false;
  bool class_opening = false;  // just after "[" or "[^", where "]" is a literal
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    const char ch = pattern[i];
    if (ch == '\\' && i + 1 < pattern.size()) {
      const char escaped = pattern[++i];
      class_opening = false;
      if (escaped == 's') {
        if (in_class) {
          out.append(kWhiteSpaceItems);
        } else {
          out.append("[").append(kWhiteSpaceItems).append("]");
        }
      } else if (escaped == 'd') {
        out.append("\\p{Nd}");
      } else if (escaped == 'b' && !in_class) {  // inside a class \b is a backspace
        append_word_boundary(out);
      } else {
        out.push_back('\\');
        out.push_back(escaped);
      }
      continue;
    }
    out.push_back(ch);
    if (!in_class) {
      if (ch == '[') {
        in_class = true;
        class_opening = true;
        if (i + 1 < pattern.size() && pattern[i + 1] == '^') out.push_back(pattern[++i]);
      }
    } else if (ch == ']' && !class_opening) {
      in_class = false;
    } else {
      class_opening = false;
    }
  }
  return out;
}

std::vector<MatchSpan> collect_matches(
    std::string_view text, const std::function<SearchOutcome(std::size_t from)>& search) {
  std::vector<MatchSpan> spans;
  std::size_t from = 0;
  while (from <= text.size()) {
    const SearchOutcome outcome = search(from);
    if (outcome.status == SearchStatus::kNoMatch) break;
    if (outcome.status == SearchStatus::kMatch) {
      spans.push_back(outcome.entity);
      if (outcome.match.end > outcome.match.start) {
        from = outcome.match.end;
        continue;
      }
      from = outcome.match.end;  // an empty match: step over one character
    }
    if (from >= text.size()) break;
    from += utf8_sequence_length(static_cast<unsigned char>(text[from]));
  }
  return spans;
}

std::vector<MatchSpan> find_pattern_matches(PatternId id, std::string_view text) {
  const CompiledPattern& pattern = compiled_pattern(id);
  MatchResult result(pattern.regex);
  return collect_matches(text, [&](std::size_t from) {
    SearchOutcome outcome{pattern.regex.search(text, from, result), {}, {}};
    if (outcome.status == SearchStatus::kMatch) {
      outcome.match = {result.start(), result.end()};
      outcome.entity = {result.start(pattern.entity_group), result.end(pattern.entity_group)};
    }
    return outcome;
  });
}

bool passes_secret_checks(std::string_view match) {
  if (is_tech_term(match)) return false;
  bool has_digit = false;
  bool has_letter = false;
  for (char ch : match) {
    has_digit = has_digit || (ch >= '0' && ch <= '9');
    has_letter = has_letter || (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z');
  }
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

  // Folds the pending intervals into the committed ones, in one linear merge.
  void commit() {
    if (pending_.empty()) return;
    std::vector<MatchSpan> merged;
    merged.reserve(committed_.size() + pending_.size());
    std::merge(committed_.begin(), committed_.end(), pending_.begin(), pending_.end(),
               std::back_inserter(merged),
               [](const MatchSpan& a, const MatchSpan& b) { return a.start < b.start; });
    committed_.clear();
    for (const MatchSpan& span : merged) {
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
};

struct PatternPassState {
  StringSet seen_texts;  // lower-cased texts already emitted
  CoveredOffsets covered_offsets;
  std::vector<Entity> entities;
};

// The append step shared by the seven patterns: trim, keep texts of three bytes or more, report
// each text once whatever its capitalisation, and mark the reported bytes covered.
void push_pattern_entity(std::string_view text, MatchSpan span, EntityType type,
                         PatternPassState& state) {
  const std::string_view match = text.substr(span.start, span.end - span.start);
  const std::string_view trimmed = trim_white_space(match);
  if (trimmed.size() < 3) return;
  auto [position, inserted] = state.seen_texts.insert(to_lower(trimmed));
  if (!inserted) return;  // a repeat covers nothing
  state.entities.push_back({std::string(trimmed), type});
  // The covered bytes are the trimmed text's own. No pattern can match white space at either
  // end, so this is also the stretch from the match's start.
  const std::size_t begin = span.start + static_cast<std::size_t>(trimmed.data() - match.data());
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

bool is_ascii_alnum(char ch) {
  return (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9');
}

}  // namespace

std::vector<Entity> extract_pattern_entities(std::string_view text) {
  PatternPassState state;
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
  run_pattern(text, PatternId::kSecret, EntityType::Secret, state, [&](const MatchSpan& span) {
    return uncovered(span) &&
           pattern_internals::passes_secret_checks(text.substr(span.start, span.end - span.start));
  });
  return std::move(state.entities);
}

std::vector<Entity> extract_camel_case_projects(std::string_view text,
                                                const StringSet& exclude_texts) {
  StringSet seen_texts;
  std::vector<Entity> projects;
  for (const MatchSpan& span : find_pattern_matches(PatternId::kCamelCase, text)) {
    const std::string_view match = text.substr(span.start, span.end - span.start);
    if (is_tech_term(match)) continue;
    std::string lower = to_lower(match);
    if (exclude_texts.contains(lower)) continue;
    if (!seen_texts.insert(std::move(lower)).second) continue;
    projects.push_back({std::string(match), EntityType::Project});
  }
  return projects;
}

}  // namespace velk
