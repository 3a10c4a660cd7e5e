// The fixed patterns of the pattern pass and how they are searched: their documented text, the
// engine text that gives them our Unicode reading, and every match of one pattern over a text
// in linear time. Which matches become entities is decided in pattern_extractors.h.
#ifndef VELK_PATTERN_SEARCH_H_
#define VELK_PATTERN_SEARCH_H_

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "velk/regex.h"

namespace velk {

// The documented patterns. They are read with these semantics, whatever the engine's defaults:
// \d is any Nd digit, \s exactly the White_Space property, \b a boundary between our word
// characters (see is_word_char) and anything else, bracket ranges name ASCII characters only.
// engine_pattern() turns a documented pattern into a PCRE2 pattern with those semantics.
inline constexpr std::string_view URL_PATTERN = R"re(https?://[^\s,)>'"]+)re";
inline constexpr std::string_view EMAIL_PATTERN =
    R"re([a-zA-Z0-9._%+\-]+@[a-zA-Z0-9.\-]+\.[a-zA-Z]{2,})re";
inline constexpr std::string_view DOMAIN_PATTERN =
    R"re(\b[a-zA-Z0-9\-]{3,}\.(?:com|io|ai|dev|app|net|org|co)\b)re";
inline constexpr std::string_view HANDLE_PATTERN = R"re(@[a-zA-Z][a-zA-Z0-9_]{2,})re";
inline constexpr std::string_view PHONE_PATTERN =
    R"re(\b(?:\+?1[\-.\s]?)?\(?\d{3}\)?[\-.\s]?\d{3}[\-.\s]?\d{4}\b)re";
inline constexpr std::string_view IP_PATTERN =
    R"re(\b(?:(?:25[0-5]|2[0-4]\d|[01]?\d\d?)\.){3}(?:25[0-5]|2[0-4]\d|[01]?\d\d?)\b)re";
inline constexpr std::string_view SECRET_PATTERN =
    R"re((?:[a-zA-Z0-9]{1,12}[_\-])[A-Za-z0-9+/]{20,}|[A-Za-z0-9]{32,})re";
inline constexpr std::string_view CAMEL_CASE_PATTERN = R"re(\b[A-Z][a-z]{2,}[A-Z][a-zA-Z]+\b)re";

// The search machinery, used by the passes and exposed for the tests and the scaling benchmark.
namespace pattern_internals {

enum class PatternId { kUrl, kEmail, kDomain, kHandle, kPhone, kIp, kSecret, kCamelCase };

std::string_view pattern_text(PatternId id);

// Rewrites the escapes whose engine meaning differs from ours: \s (outside or inside a
// bracket class), \d and \b (outside a class). Other text is copied unchanged; POSIX classes
// such as [[:alpha:]] are not understood.
std::string engine_pattern(std::string_view pattern);

struct MatchSpan {
  std::size_t start;
  std::size_t end;
  friend bool operator==(const MatchSpan&, const MatchSpan&) = default;
};

// Every match of the pattern over `text`, leftmost-first, each search resuming where the
// previous match ended: exactly the matches of engine_pattern(pattern_text(id)) iterated that
// way, found in time linear in the length of the text.
std::vector<MatchSpan> find_pattern_matches(PatternId id, std::string_view text);

struct SearchOutcome {
  SearchStatus status;
  MatchSpan match;   // the whole match; the next search resumes at its end (kMatch only)
  MatchSpan entity;  // the part of it that the pattern reports (kMatch only)
};

// The iteration shared by every pattern. `search(from)` finds the leftmost match at or after
// byte `from`. When a search fails with kError the scan carries on one character further, so
// an engine failure can cost at most the match that starts there, never the rest of the text.
std::vector<MatchSpan> collect_matches(
    std::string_view text, const std::function<SearchOutcome(std::size_t from)>& search);

}  // namespace pattern_internals

}  // namespace velk

#endif  // VELK_PATTERN_SEARCH_H_
