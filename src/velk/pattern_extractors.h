// The pattern pass (URLs, e-mail addresses, bare domains, handles, phone numbers, IPv4
// addresses, secret-looking tokens) and the CamelCase project pass: the fixed patterns, how
// they are searched, and which of their matches become entities.
#ifndef VELK_PATTERN_EXTRACTORS_H_
#define VELK_PATTERN_EXTRACTORS_H_

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "velk/entity.h"
#include "velk/regex.h"
#include "velk/string_hash.h"

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

// URLs, then e-mail addresses, domains, handles, phones, IP addresses and secrets, each group
// in text order; a text (compared lower-cased) is reported once, by the first pattern that
// yields it. `places`, when given, receives every place where a reported text was found,
// repeats included.
std::vector<Entity> extract_pattern_entities(std::string_view text,
                                             std::vector<EntityPlace>* places = nullptr);

// CamelCase words as Project entities in text order, leaving out allowlist entries, words whose
// lower-cased text is in `exclude_texts` and repeats in any capitalisation. `places`, when
// given, receives every place of a reported word, repeats included.
std::vector<Entity> extract_camel_case_projects(std::string_view text,
                                                const StringSet& exclude_texts,
                                                std::vector<EntityPlace>* places = nullptr);

// The search machinery, exposed for the tests and the scaling benchmark.
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

// The text tests of the secret rule that follow the match: not an allowlist entry (exactly),
// and at least one ASCII digit and one ASCII letter.
bool passes_secret_checks(std::string_view match);

}  // namespace pattern_internals

}  // namespace velk

#endif  // VELK_PATTERN_EXTRACTORS_H_
