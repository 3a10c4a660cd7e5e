// The pattern search: the engine form of the documented patterns and the iteration that
// collects every match of one pattern. The engine reads \s, \d and \b its own way, so each
// documented pattern is rewritten once into a PCRE2 pattern with our reading and compiled on
// first use; the searches themselves start only where a candidate scan (candidate_scans.h)
// says a match can start, which keeps them linear in the length of the text.
#include "velk/pattern_search.h"

#include <array>
#include <cstddef>

#include "velk/candidate_scans.h"
#include "velk/unicode.h"

namespace velk::pattern_internals {

namespace {

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
    out.append(open).append(kWordClassItems).append("]");
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

// One once-guarded static per pattern, so a pass builds only the patterns it reaches.
template <PatternId kId>
const CompiledPattern& compiled() {
  static const CompiledPattern pattern = compile_search(kId);
  return pattern;
}

const CompiledPattern& compiled_pattern(PatternId id) {
  using Compiled = const CompiledPattern& (*)();
  static constexpr std::array<Compiled, 8> kCompiled = {
      compiled<PatternId::kUrl>,    compiled<PatternId::kEmail>,    compiled<PatternId::kDomain>,
      compiled<PatternId::kHandle>, compiled<PatternId::kPhone>,    compiled<PatternId::kIp>,
      compiled<PatternId::kSecret>, compiled<PatternId::kCamelCase>};
  return kCompiled[static_cast<std::size_t>(id)]();
}

}  // namespace

std::string_view pattern_text(PatternId id) {
  static constexpr std::array<std::string_view, 8> kTexts = {
      URL_PATTERN,   EMAIL_PATTERN, DOMAIN_PATTERN, HANDLE_PATTERN,
      PHONE_PATTERN, IP_PATTERN,    SECRET_PATTERN, CAMEL_CASE_PATTERN};
  return kTexts[static_cast<std::size_t>(id)];
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
  if (pattern.scan != nullptr) {
    AnchoredSearch search(pattern, text);
    return collect_matches(text, [&](std::size_t from) { return pattern.scan(search, from); });
  }
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

}  // namespace velk::pattern_internals
