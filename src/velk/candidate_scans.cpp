// The candidate scans of the pattern search. Plain iteration asks the engine for the leftmost
// match at or after the resume point, and the engine tries start after start, often with costly
// lookbehinds. For all patterns but the URL and handle patterns (whose first bytes "h" and "@"
// already let the engine skip ahead) a byte scan finds the few places where a match can start,
// and the engine is asked only for a match anchored at each of them, in text order; the first
// one that succeeds is the leftmost match. This gives exactly the matches of plain iteration
// because (1) every start the scan passes over is shown below to be no match start, and (2) at
// any one start the engine's leftmost-first rules pick the same match whether the search is
// anchored there or reached it by scanning. Patterns match the same way at a start whatever the
// resume point was, since lookbehinds read the text before the resume point too; nothing uses
// \G but the anchoring. The scans look at ASCII bytes only, where the classes are plain byte
// sets, and treat a non-ASCII character as a possible match wherever its properties matter.
#include "velk/candidate_scans.h"

#include <unicode/uchar.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <utility>

#include "velk/ascii.h"
#include "velk/byte_lanes.h"
#include "velk/unicode.h"

namespace velk::pattern_internals {

namespace {

using byte_lanes::ascii_range_lanes;
using byte_lanes::first_lane;
using byte_lanes::kLanes;
using byte_lanes::load_word;
using byte_lanes::non_ascii_lanes;

// Bytes of the ASCII classes that the candidate scans follow.
enum ByteClass : std::uint8_t {
  kAlnum = 1,        // [a-zA-Z0-9]
  kLabel = 2,        // [a-zA-Z0-9\-]: a domain label
  kLocalPart = 4,    // [a-zA-Z0-9._%+\-]: the part of an address before "@"
  kSecretBody = 8,   // [A-Za-z0-9+/]: a secret after its prefix
  kDomainPart = 16,  // [a-zA-Z0-9.\-]: the part of an address after "@"
};

constexpr std::array<std::uint8_t, 256> kByteClasses = [] {
  std::array<std::uint8_t, 256> classes{};
  const auto add = [&classes](std::string_view bytes, std::uint8_t cls) {
    for (char c : bytes) classes[static_cast<unsigned char>(c)] |= cls;
  };
  for (int c = 0; c < 256; ++c) {
    if (is_ascii_alnum(static_cast<char>(c))) {
      classes[static_cast<std::size_t>(c)] =
          kAlnum | kLabel | kLocalPart | kSecretBody | kDomainPart;
    }
  }
  add("-", kLabel | kLocalPart | kDomainPart);
  add(".", kDomainPart);
  add("._%+", kLocalPart);
  add("+/", kSecretBody);
  return classes;
}();

constexpr bool in_class(char c, ByteClass cls) {
  return (kByteClasses[static_cast<unsigned char>(c)] & cls) != 0;
}

// E-mail: the local part is a run of one class that cannot hold "@", so a match starting at q
// takes every byte from q up to the first "@" after q, all of them local-part bytes, and what
// follows that "@" does not depend on q. The starts to consider for one "@" are therefore the
// run of local-part bytes before it, from the resume point on, and the run's first start
// succeeds exactly when any of them does. The scan takes each "@" in turn and tries that one
// start. Trying every start of a run would rescan the run from each, quadratic on a long run
// without "@". After the "@" every byte of a match is a domain-part byte, and among them, not
// first, a "." with two letters after it: an "@" whose run of domain-part bytes has none is
// passed over without asking the engine.
static_assert(EMAIL_PATTERN == R"re([a-zA-Z0-9._%+\-]+@[a-zA-Z0-9.\-]+\.[a-zA-Z]{2,})re");

// Domains: a match is \b, three or more label bytes, ".", a listed ending and \b. The label
// bytes run up to the first byte that is not one, which must be that "."; so a match starting
// at q needs a "." followed by a listed ending (at the end of q's run of label bytes) and at
// least three label bytes between q and it. The scan takes each such "." in turn and tries the
// first start of the run before it. From any start in the run the match needs the same ending
// and differs only in how many label bytes it has, so the leftmost start that has a \b wins if
// any start does. Within a run \b falls only where hyphens and letters or digits meet, so the
// first \b is at the run's first byte, after its leading hyphens, or after its leading letters
// and digits; the three alternatives of kDomainRunStart try them in that order, and the
// reported span is the group. Without them a run such as "a-a-a-..." with a \b at every byte
// would be tried from each.
static_assert(DOMAIN_PATTERN == R"re(\b[a-zA-Z0-9\-]{3,}\.(?:com|io|ai|dev|app|net|org|co)\b)re");
constexpr std::string_view kDomainRunStart = "(?:|\\-++|[a-zA-Z0-9]++)";
constexpr std::array<std::string_view, 7> kDomainEndingStarts = {"co",  "io",  "ai", "dev",
                                                                 "app", "net", "org"};

// Secrets: both alternatives start with a letter or digit, so a start q lies in a run of them;
// take the part [r, e) of that run at or after the resume point. The second alternative needs
// 32 of them from q, so e - r >= 32, and then it matches at r. The first needs the run from q
// to end within 12 bytes at a "_" or "-" ({1,12} cannot stop earlier: the byte after it would
// be a letter or digit, not "_" or "-") followed by 20 body bytes; then every start in
// [max(r, e - 12), e) matches it. So each run holds at most one start that needs a try: r when
// the run is 32 long (the first alternative cannot match there), else max(r, e - 12) when the
// run is followed by "_" or "-" and 20 body bytes, else none.
static_assert(SECRET_PATTERN ==
              R"re((?:[a-zA-Z0-9]{1,12}[_\-])[A-Za-z0-9+/]{20,}|[A-Za-z0-9]{32,})re");
constexpr std::size_t kSecretPrefixMax = 12;
constexpr std::size_t kSecretBodyMin = 20;
constexpr std::size_t kSecretRunMin = 32;

// The pattern anchored at the start of each search. Without start optimisations: they would
// look ahead for a byte that every match needs (the "." of an address), and that look runs
// to the end of the text when the byte is missing, at every one of the many tries.
std::string anchored(std::string_view pattern) {
  std::string text = "(*NO_START_OPT)\\G(?:";
  text.append(pattern).append(")");
  return text;
}

std::string domain_search_text() {
  std::string text(kDomainRunStart);
  text.append("(").append(DOMAIN_PATTERN).append(")");
  return anchored(text);
}

// Digits. \d is any Nd character by the engine's Unicode data, which need not be ICU's: a
// character ICU leaves unassigned may be a digit to a newer engine, and one ICU assigns may be
// unassigned in an older engine. So the scans take a non-ASCII character for a possible digit
// when ICU calls it a digit or leaves it unassigned (a digit stays a digit in later data), and
// only ASCII bytes rule a start out for certain.
bool may_be_digit_at(std::string_view text, std::size_t pos, std::size_t& length) {
  const auto byte = static_cast<unsigned char>(text[pos]);
  if (byte < 0x80) {
    length = 1;
    return is_ascii_digit(static_cast<char>(byte));
  }
  const DecodedChar ch = decode_utf8(text, pos);
  length = ch.length;
  return is_decimal_digit(ch.code_point) ||
         u_charType(static_cast<UChar32>(ch.code_point)) == U_UNASSIGNED;
}

// Phone numbers: a match starts with "+" (only before the country code 1), "(" (only before
// the area code) or a digit, so its first digit f is the match's start or the byte after it.
// \b at a start before a digit needs a non-word character before it, and "+" and "(" are no
// digits either: so the character before f is no digit, and f is not preceded by an ASCII
// digit. From f on, the match holds 10 or 11 digits within 16 characters ("1-(555)-123-4567"
// is the longest shape), so 16 ASCII bytes from f with fewer than 10 digits rule f out. The
// scan tries f - 1 (when it is "+" or "(") and then f for each such f in text order.
static_assert(PHONE_PATTERN == R"re(\b(?:\+?1[\-.\s]?)?\(?\d{3}\)?[\-.\s]?\d{3}[\-.\s]?\d{4}\b)re");
constexpr std::size_t kPhoneSpanMax = 16;
constexpr std::size_t kPhoneDigitsMin = 10;

// IPv4 addresses: every octet alternative is one to three digits, so a match starts at a digit
// run of one to three characters that ends at a "."; \b before its first digit needs a
// non-word character there. The scan takes each "." in turn and tries, leftmost first, the
// starts one to three characters before it that have only possible digits up to the "." and no
// ASCII word byte before them (one start when the digits are ASCII).
static_assert(IP_PATTERN ==
              R"re(\b(?:(?:25[0-5]|2[0-4]\d|[01]?\d\d?)\.){3}(?:25[0-5]|2[0-4]\d|[01]?\d\d?)\b)re");
constexpr std::size_t kOctetDigitsMax = 3;

constexpr SearchOutcome kNoMatch{SearchStatus::kNoMatch, {}, {}};

// Whether the domain-part bytes after the "@" at `at` hold, after their first byte, a "."
// followed by two letters. The run ends before the next "@", so runs are never read twice.
bool may_end_address(std::string_view text, std::size_t at) {
  for (std::size_t pos = at + 2; pos + 2 < text.size() && in_class(text[pos - 1], kDomainPart);
       ++pos) {
    if (text[pos] == '.' && is_ascii_letter(text[pos + 1]) && is_ascii_letter(text[pos + 2])) {
      return true;
    }
  }
  return false;
}

SearchOutcome next_email(AnchoredSearch& search, std::size_t from) {
  const std::string_view text = search.text();
  SearchOutcome outcome = kNoMatch;
  for (std::size_t at = text.find('@', from); at != std::string_view::npos;
       at = text.find('@', at + 1)) {
    std::size_t start = at;
    while (start > from && in_class(text[start - 1], kLocalPart)) --start;
    if (start < at && may_end_address(text, at) && search.try_at(start, outcome)) break;
  }
  return outcome;
}

bool listed_ending_at(std::string_view text, std::size_t pos) {
  const std::string_view rest = text.substr(pos);
  return std::any_of(kDomainEndingStarts.begin(), kDomainEndingStarts.end(),
                     [rest](std::string_view ending) { return rest.starts_with(ending); });
}

SearchOutcome next_domain(AnchoredSearch& search, std::size_t from) {
  const std::string_view text = search.text();
  SearchOutcome outcome = kNoMatch;
  for (std::size_t dot = text.find('.', from); dot != std::string_view::npos;
       dot = text.find('.', dot + 1)) {
    if (!listed_ending_at(text, dot + 1)) continue;
    std::size_t start = dot;
    while (start > from && in_class(text[start - 1], kLabel)) --start;
    if (dot - start >= 3 && search.try_at(start, outcome)) break;
  }
  return outcome;
}

// Whether `count` body bytes of a secret follow `pos`.
bool secret_body_at(std::string_view text, std::size_t pos, std::size_t count) {
  if (text.size() - pos < count) return false;
  return std::all_of(text.begin() + static_cast<std::ptrdiff_t>(pos),
                     text.begin() + static_cast<std::ptrdiff_t>(pos + count),
                     [](char c) { return in_class(c, kSecretBody); });
}

// The first position at or after `pos` where 20 body bytes of a secret start, or npos. Looks
// at the last byte of a window first: when it is no body byte, no window that holds it can
// start a run of 20, and the scan moves past it without reading the bytes before it.
std::size_t find_secret_body(std::string_view text, std::size_t pos) {
  while (text.size() - pos >= kSecretBodyMin) {
    const std::size_t last = pos + kSecretBodyMin - 1;
    if (!in_class(text[last], kSecretBody)) {
      pos = last + 1;
      continue;
    }
    std::size_t begin = last;
    while (begin > pos && in_class(text[begin - 1], kSecretBody)) --begin;
    std::size_t end = last + 1;
    while (end < begin + kSecretBodyMin && end < text.size() && in_class(text[end], kSecretBody)) {
      ++end;
    }
    if (end == begin + kSecretBodyMin) return begin;
    pos = end;  // text[end] is no body byte, or the text ends there
  }
  return std::string_view::npos;
}

SearchOutcome next_secret(AnchoredSearch& search, std::size_t from) {
  const std::string_view text = search.text();
  SearchOutcome outcome = kNoMatch;
  std::size_t pos = from;
  // Every start that needs a try has 20 body bytes beginning at most 32 bytes after it: its own
  // run of 32 letters and digits, or the bytes after its "_" or "-". So runs that begin more
  // than 32 bytes before the next 20 body bytes are passed over unread.
  std::size_t body = std::string_view::npos;
  while (pos < text.size()) {
    if (body == std::string_view::npos || body < pos) {
      body = find_secret_body(text, pos);
      if (body == std::string_view::npos) break;
      if (body - pos > kSecretRunMin) {
        const std::size_t skip_to = body - kSecretRunMin;
        // A run that began before the skipped point is passed over whole.
        pos = skip_to;
        if (in_class(text[pos - 1], kAlnum)) {
          while (pos < text.size() && in_class(text[pos], kAlnum)) ++pos;
        }
      }
    }
    while (pos < text.size() && !in_class(text[pos], kAlnum)) ++pos;
    const std::size_t run = pos;
    while (pos < text.size() && in_class(text[pos], kAlnum)) ++pos;
    std::size_t start = 0;
    if (pos - run >= kSecretRunMin) {
      start = run;
    } else if (pos > run && pos < text.size() && (text[pos] == '_' || text[pos] == '-') &&
               secret_body_at(text, pos + 1, kSecretBodyMin)) {
      start = pos - std::min(pos - run, kSecretPrefixMax);
    } else {
      continue;
    }
    if (search.try_at(start, outcome)) break;
  }
  return outcome;
}

// The first byte at or after `pos` (which may lie past the end) that is an ASCII byte from `first`
// to `last`, or (when `non_ascii`) any byte of a non-ASCII character; the text's size when there is
// none.
std::size_t find_in_range(std::string_view text, std::size_t pos, char first, char last,
                          bool non_ascii) {
  pos = std::min(pos, text.size());
  for (; text.size() - pos >= sizeof(std::uint64_t); pos += sizeof(std::uint64_t)) {
    const std::uint64_t word = load_word(text, pos);
    const std::uint64_t mask =
        ascii_range_lanes(word, first, last) | (non_ascii ? non_ascii_lanes(word) : 0);
    if (mask != 0) return pos + first_lane(mask);
  }
  for (; pos < text.size(); ++pos) {
    const char c = text[pos];
    if ((c >= first && c <= last) || (non_ascii && static_cast<unsigned char>(c) >= 0x80)) break;
  }
  return pos;
}

// Whether 16 bytes from `pos` may hold the digits of a phone number: yes unless they are all
// ASCII and fewer than 10 of them are digits.
bool may_hold_phone_digits(std::string_view text, std::size_t pos) {
  static_assert(kPhoneSpanMax == 2 * sizeof(std::uint64_t));
  if (text.size() - pos >= kPhoneSpanMax) {
    const std::uint64_t first = load_word(text, pos);
    const std::uint64_t second = load_word(text, pos + sizeof first);
    if (non_ascii_lanes(first | second) != 0) return true;
    // Each lane holds 0 or 1 after the shift; the multiplication sums the lanes into the top one.
    const std::uint64_t ones =
        (ascii_range_lanes(first, '0', '9') >> 7) + (ascii_range_lanes(second, '0', '9') >> 7);
    return ((ones * kLanes) >> 56) >= kPhoneDigitsMin;
  }
  std::size_t digits = 0;
  for (char c : text.substr(pos)) {
    if (static_cast<unsigned char>(c) >= 0x80) return true;
    digits += is_ascii_digit(c) ? 1 : 0;
  }
  return digits >= kPhoneDigitsMin;
}

SearchOutcome next_phone(AnchoredSearch& search, std::size_t from) {
  const std::string_view text = search.text();
  SearchOutcome outcome = kNoMatch;
  std::size_t pos = from;
  std::size_t length = 0;
  while (pos < text.size()) {
    pos = find_in_range(text, pos, '0', '9', /*non_ascii=*/true);
    if (pos == text.size()) break;
    if (!may_be_digit_at(text, pos, length)) {
      pos += length;
      continue;
    }
    const std::size_t first_digit = pos;
    pos += length;
    // The rest of a run of ASCII digits has a digit before it for certain. After a non-ASCII
    // character that may be a digit, the next digit may still start a number.
    if (length == 1) {
      while (pos < text.size() && is_ascii_digit(text[pos])) ++pos;
    }
    const char before = first_digit > 0 ? text[first_digit - 1] : ' ';
    if (is_ascii_digit(before) || !may_hold_phone_digits(text, first_digit)) continue;
    if (first_digit > from && (before == '+' || before == '(') &&
        search.try_at(first_digit - 1, outcome)) {
      break;
    }
    if (search.try_at(first_digit, outcome)) break;
  }
  return outcome;
}

SearchOutcome next_ip(AnchoredSearch& search, std::size_t from) {
  const std::string_view text = search.text();
  SearchOutcome outcome = kNoMatch;
  for (std::size_t dot = text.find('.', from); dot != std::string_view::npos;
       dot = text.find('.', dot + 1)) {
    const auto before = static_cast<unsigned char>(dot > from ? text[dot - 1] : ' ');
    // No octet ends here.
    if (before < 0x80 && !is_ascii_digit(static_cast<char>(before))) continue;
    // starts[k] is k + 1 possible digits before the dot.
    std::array<std::size_t, kOctetDigitsMax> starts{};
    std::size_t count = 0;
    std::size_t pos = dot;
    std::size_t length = 0;
    while (count < kOctetDigitsMax && pos > from) {
      const std::size_t previous = previous_char_start(text, pos);
      if (!may_be_digit_at(text, previous, length)) break;
      pos = previous;
      starts[count++] = pos;
    }
    bool found = false;
    for (std::size_t k = count; k-- > 0 && !found;) {
      const std::size_t start = starts[k];
      if (start > 0 && is_ascii_word_byte(text[start - 1])) continue;
      found = search.try_at(start, outcome);
    }
    if (found) break;
  }
  return outcome;
}

// CamelCase words: a match is \b, a capital, two or more small letters, a capital and more
// letters, so its start s is a capital, [s + 1, c) are small letters for the second capital c
// (the small letters cannot stop before a capital), c - s >= 3, and the byte before s is no
// word character. The scan takes each capital c after a small letter in turn and tries the
// start before the small letters that precede it, unless an ASCII word byte stands before that.
static_assert(CAMEL_CASE_PATTERN == R"re(\b[A-Z][a-z]{2,}[A-Z][a-zA-Z]+\b)re");

SearchOutcome next_camel_case(AnchoredSearch& search, std::size_t from) {
  const std::string_view text = search.text();
  SearchOutcome outcome = kNoMatch;
  for (std::size_t capital = find_in_range(text, from + 3, 'A', 'Z', false); capital < text.size();
       capital = find_in_range(text, capital + 1, 'A', 'Z', false)) {
    if (!is_ascii_small(text[capital - 1])) continue;
    std::size_t small = capital - 1;
    while (small > from + 1 && is_ascii_small(text[small - 1])) --small;
    const std::size_t start = small - 1;
    if (capital - small < 2 || !is_ascii_capital(text[start])) continue;
    if (start > 0 && is_ascii_word_byte(text[start - 1])) continue;
    if (search.try_at(start, outcome)) break;
  }
  return outcome;
}

// `text` is a documented pattern, possibly anchored. Without JIT the interpreter finds the same
// matches, and the searches stay linear, only slower.
CompiledPattern compile(std::string_view text, int entity_group, CandidateScan scan) {
  Regex regex = Regex::compile(engine_pattern(text), /*jit=*/true);
  // The texts are fixed and every one is compiled by the tests: a refusal here is a defect of
  // this file, never a property of the input, and scanning with a missing pattern would hide it.
  if (!regex.ok()) std::abort();
  return {std::move(regex), entity_group, scan};
}

}  // namespace

CompiledPattern compile_search(PatternId id) {
  switch (id) {
    case PatternId::kUrl:
    case PatternId::kHandle:
      return compile(pattern_text(id), 0, nullptr);
    case PatternId::kEmail:
      return compile(anchored(EMAIL_PATTERN), 0, next_email);
    case PatternId::kDomain:
      return compile(domain_search_text(), 1, next_domain);
    case PatternId::kPhone:
      return compile(anchored(PHONE_PATTERN), 0, next_phone);
    case PatternId::kIp:
      return compile(anchored(IP_PATTERN), 0, next_ip);
    case PatternId::kSecret:
      return compile(anchored(SECRET_PATTERN), 0, next_secret);
    case PatternId::kCamelCase:
      break;
  }
  return compile(anchored(CAMEL_CASE_PATTERN), 0, next_camel_case);
}

}  // namespace velk::pattern_internals
