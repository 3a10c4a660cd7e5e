// The pattern pass and the CamelCase pass: engine texts derived from the documented patterns,
// linear-time searching, and the acceptance rules that turn matches into entities.
#include "velk/pattern_extractors.h"

#include <unicode/uchar.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <cstring>
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

// Candidate searches. Plain iteration asks the engine for the leftmost match at or after the
// resume point, and the engine tries start after start, often with costly lookbehinds. For all
// patterns but the URL and handle patterns (whose first bytes "h" and "@" already let the
// engine skip ahead) a byte scan finds the few places where a match can start, and the engine
// is asked only for a match anchored at each of them, in text order; the first one that
// succeeds is the leftmost match. This gives exactly the matches of plain iteration because
// (1) every start the scan passes over is shown below to be no match start, and (2) at any one
// start the engine's leftmost-first rules pick the same match whether the search is anchored
// there or reached it by scanning. Patterns match the same way at a start whatever the resume
// point was, since lookbehinds read the text before the resume point too; nothing uses \G but
// the anchoring. The scans look at ASCII bytes only, where the classes are plain byte sets,
// and treat a non-ASCII character as a possible match wherever its properties matter.

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
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) {
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
    return byte >= '0' && byte <= '9';
  }
  const DecodedChar ch = decode_utf8(text, pos);
  length = ch.length;
  return is_decimal_digit(ch.code_point) ||
         u_charType(static_cast<UChar32>(ch.code_point)) == U_UNASSIGNED;
}

// A byte that is a word character for certain: an ASCII letter, digit or "_".
bool is_ascii_word_byte(char c) { return in_class(c, kAlnum) || c == '_'; }

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

struct CompiledPattern {
  Regex regex;
  int entity_group;  // the capture group that holds the reported span
};

// `text` is a documented pattern, possibly anchored. Without JIT the interpreter finds the same
// matches, and the searches stay linear, only slower.
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
      static const CompiledPattern pattern = compile_pattern(anchored(EMAIL_PATTERN));
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
      static const CompiledPattern pattern = compile_pattern(anchored(PHONE_PATTERN));
      return pattern;
    }
    case PatternId::kIp: {
      static const CompiledPattern pattern = compile_pattern(anchored(IP_PATTERN));
      return pattern;
    }
    case PatternId::kSecret: {
      static const CompiledPattern pattern = compile_pattern(anchored(SECRET_PATTERN));
      return pattern;
    }
    case PatternId::kCamelCase:
      break;
  }
  static const CompiledPattern pattern = compile_pattern(anchored(CAMEL_CASE_PATTERN));
  return pattern;
}

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

constexpr SearchOutcome kNoMatch{SearchStatus::kNoMatch, {}, {}};

constexpr bool is_ascii_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

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

// Eight bytes at a time: the bytes of a word are its lanes, and bit 7 of a lane carries each
// answer. The sums stay inside their lanes because bit 7 is cleared first.
constexpr std::uint64_t kLanes = 0x0101010101010101;
constexpr std::uint64_t kLaneTops = kLanes * 0x80;

std::uint64_t load_word(std::string_view text, std::size_t pos) {
  std::uint64_t word = 0;
  std::memcpy(&word, text.data() + pos, sizeof word);
  return word;
}

// Bit 7 set in the lanes that hold an ASCII byte from `first` to `last`.
constexpr std::uint64_t ascii_range_lanes(std::uint64_t word, char first, char last) {
  const std::uint64_t low = word & ~kLaneTops;
  const std::uint64_t at_least_first = low + kLanes * static_cast<std::uint64_t>(0x80 - first);
  const std::uint64_t after_last = low + kLanes * static_cast<std::uint64_t>(0x80 - last - 1);
  return at_least_first & ~after_last & ~word & kLaneTops;
}
static_assert(ascii_range_lanes(0x35'61'B9'B0'3A'39'30'2Full, '0', '9') ==
              (0x80ull << 8 | 0x80ull << 16 | 0x80ull << 56));

// The lane of the lowest text offset among the set lanes of a nonzero mask.
int first_lane(std::uint64_t mask) {
  if constexpr (std::endian::native == std::endian::little) return std::countr_zero(mask) / 8;
  return std::countl_zero(mask) / 8;
}

// The first byte at or after `pos` (which may lie past the end) that is an ASCII byte from `first`
// to `last`, or (when `non_ascii`) any byte of a non-ASCII character; the text's size when there is
// none.
std::size_t find_in_range(std::string_view text, std::size_t pos, char first, char last,
                          bool non_ascii) {
  const std::uint64_t tops = non_ascii ? kLaneTops : 0;
  pos = std::min(pos, text.size());
  for (; text.size() - pos >= sizeof(std::uint64_t); pos += sizeof(std::uint64_t)) {
    const std::uint64_t word = load_word(text, pos);
    const std::uint64_t mask = ascii_range_lanes(word, first, last) | (word & tops);
    if (mask != 0) return pos + static_cast<std::size_t>(first_lane(mask));
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
    if (((first | second) & kLaneTops) != 0) return true;
    // Each lane holds 0 or 1 after the shift; the multiplication sums the lanes into the top one.
    const std::uint64_t ones =
        (ascii_range_lanes(first, '0', '9') >> 7) + (ascii_range_lanes(second, '0', '9') >> 7);
    return ((ones * kLanes) >> 56) >= kPhoneDigitsMin;
  }
  std::size_t digits = 0;
  for (char c : text.substr(pos)) {
    if (static_cast<unsigned char>(c) >= 0x80) return true;
    digits += (c >= '0' && c <= '9') ? 1 : 0;
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
      while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') ++pos;
    }
    const char before = first_digit > 0 ? text[first_digit - 1] : ' ';
    if ((before >= '0' && before <= '9') || !may_hold_phone_digits(text, first_digit)) continue;
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
    if (before < 0x80 && (before < '0' || before > '9')) continue;  // no octet ends here
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

constexpr bool is_ascii_capital(char c) { return c >= 'A' && c <= 'Z'; }
constexpr bool is_ascii_small(char c) { return c >= 'a' && c <= 'z'; }

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
  SearchOutcome (*next)(AnchoredSearch&, std::size_t) = nullptr;
  switch (id) {
    case PatternId::kEmail:
      next = next_email;
      break;
    case PatternId::kDomain:
      next = next_domain;
      break;
    case PatternId::kPhone:
      next = next_phone;
      break;
    case PatternId::kIp:
      next = next_ip;
      break;
    case PatternId::kSecret:
      next = next_secret;
      break;
    case PatternId::kCamelCase:
      next = next_camel_case;
      break;
    case PatternId::kUrl:
    case PatternId::kHandle:
      break;
  }
  if (next != nullptr) {
    AnchoredSearch search(pattern, text);
    return collect_matches(text, [&](std::size_t from) { return next(search, from); });
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

bool is_ascii_alnum(char ch) {
  return (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9');
}

}  // namespace

std::vector<Entity> extract_pattern_entities(std::string_view text,
                                             std::vector<EntityPlace>* places) {
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
    return (is_ascii_alnum(text[at]) || text[at] == '_') && !state.covered_offsets.contains(at);
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
  return std::move(state.entities);
}

std::vector<Entity> extract_camel_case_projects(std::string_view text,
                                                const StringSet& exclude_texts,
                                                std::vector<EntityPlace>* places) {
  std::unordered_map<std::string, std::size_t, StringHash, std::equal_to<>> seen_texts;
  std::vector<Entity> projects;
  std::string lower;  // reused for every match
  for (const MatchSpan& span : find_pattern_matches(PatternId::kCamelCase, text)) {
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
