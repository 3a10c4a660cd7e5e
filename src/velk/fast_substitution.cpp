// Fast forward and reverse substitution, equal in result to the literal algorithms.
//
// Forward. One Aho-Corasick scan over the UTF-8 bytes of a stretch, folding each character as
// it is read, finds the occurrences of the entity texts. The pairs are then taken in their
// order; each one picks its matches from its own occurrences, judged against the current text,
// which is kept as the original stretch plus the byte ranges (runs) that now hold inserted
// text. Where an entity text could match inside or across inserted text, that text is searched
// too (see 4. below). With many entity texts and a short text, those that can never match are
// dropped before the automaton is built (6.), and occurrences that can never match are dropped
// as the scan finds them (7.).
//
// Why this equals the literal algorithm (one "(?i)" + escaped text + boundary pattern per pair,
// all matches of the old text found before any is replaced):
//  1. Every metacharacter of the entity text is escaped, so the pattern is the text's
//     characters one by one, compared caselessly, then the closing boundary. PCRE2 (UTF + UCP)
//     compares two characters caselessly by their simple case folds, exactly u_foldCase with
//     the default option; a test checks this for every code point. Simple folding maps a code
//     point to one code point, so the literal part matches at byte s exactly where the folded
//     entity occurs in the folded text at the character starting at s (its byte length may
//     differ from the entity's).
//  2. The closing boundary depends only on the last character of the match and the one after
//     it: the boundary holds where exactly one of them is a word character. Word characters are
//     judged by the literal's own boundary pattern (entity_pattern of the empty text), so the
//     engine's Unicode tables decide, as they do in the literal algorithm.
//  3. Matches are the leftmost occurrence at or after the end of the previous match whose
//     boundary holds; a match that is kept for its preceding character still ends the previous
//     match. Every decision of a pair reads the text as it was before the pair, and the pair's
//     replacements are applied afterwards, as the literal algorithm replaces after searching.
//  4. An occurrence in the original stretch is an occurrence in the current text when no
//     inserted text lies inside it; its neighbours are read from the current text. The only
//     matches this misses are those that overlap inserted text. Inserted text consists of
//     pieces of tokens. When every token is non-empty, starts with '[' and ends with ']', a run
//     of inserted text begins with '[' and ends with ']', and wherever a later match cut a
//     token into pieces, a bracket of the newly inserted token lies next to the cut; so each
//     bracket in a run has inside the run, next to it, the character it has in its token, or
//     another bracket. A match overlapping inserted text therefore either holds a bracket with
//     such a neighbour (a '[' followed by a character that follows '[' in some token, or by
//     nothing; a ']' likewise), or lies inside the bracket-free part of one piece, and is then
//     an occurrence of the entity inside a token already inserted in this stretch. A pair
//     whose text holds such a bracket is run over the materialised current text once anything
//     has been inserted. For the others: when a token first goes into the stretch, the entity
//     texts that could be replaced inside it are found, judged against the token's own
//     characters around them, and their pairs are marked; a marked pair also searches the runs
//     that hold such a token. Those neighbours stay until something is replaced inside
//     inserted text; from then on every entity text inside an inserted token marks its pairs.
//     An occurrence inside a run and an original occurrence never overlap, so each run is
//     judged on its own. With other tokens, a pair takes the materialised path whenever its
//     text shares a folded character with any token and something has been inserted, or, once
//     an empty token has cut text out, whenever its text is long enough to span the cut (two
//     characters or more).
//  5. The trie is built from the sorted entity texts, and its failure links set, as needed
//     (or all at once for a long text); masks of the children's characters, and of those along
//     the failure chain, let a step skip nodes that cannot continue, and the shallowest nodes
//     have rows of next nodes. All of this changes how the automaton steps, not where it goes.
//  6. The current text only ever holds characters of the original text and of tokens that go
//     in, and a token goes in only for a pair whose entity text matches. With bracketed
//     tokens, two characters meet in it only as neighbours in the text, as neighbours in a
//     token, or with a bracket on one side. An entity text that needs any other character or
//     neighbours cannot match; the tokens are let in only for the pairs that pass, until no
//     more do.
//  7. With bracketed tokens, an occurrence ending in a non-word character before another (or
//     at the end) never matches: the character after it stays, or becomes '['. Nor does one
//     ending in an ASCII word character before a word character: that would need a run to
//     start right after it, and a match starting there is left unreplaced for that very
//     character, which is still there whenever the occurrence is intact.
//
// Reverse. Every token to restore is a whole token shape, so occurrences of different tokens
// cannot overlap, and one scan for token shapes finds exactly the occurrences the literal
// algorithm replaces key by key, unless restored text forms a new token with its neighbours.
// The result is checked for such new tokens; where one is a key, the literal algorithm runs.
//
// On a long text, once the automaton is complete (and only read from then on), a second thread
// scans the later stretches while the caller's thread substitutes the earlier ones.
//
// A thread keeps the storage of the automaton's large arrays between calls (a few megabytes
// at most), as paging it in afresh cost a call on a long text more than a tenth of its time.
#include "velk/fast_substitution.h"

#include <unicode/uchar.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "velk/code_regions.h"
#include "velk/regex.h"
#include "velk/unicode.h"

namespace velk {

namespace {

// ---------------------------------------------------------------------------------------------
// Characters

constexpr char32_t kNoChar = 0xFFFFFFFF;

constexpr std::array<char32_t, 0x80> kAsciiFold = [] {
  std::array<char32_t, 0x80> table{};
  for (char32_t c = 0; c < 0x80; ++c) table[c] = (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c;
  return table;
}();

// One bit of a 64-bit set per folded character: the folded ASCII characters that entity texts
// commonly hold have bits of their own, all others share the last one.
constexpr std::array<std::uint8_t, 0x80> kCharBit = [] {
  std::array<std::uint8_t, 0x80> bits{};
  bits.fill(63);
  std::uint8_t next = 0;
  for (char32_t c = ' '; c <= '@'; ++c) bits[c] = next++;
  for (char32_t c : {U'[', U']', U'_'}) bits[c] = next++;
  for (char32_t c = 'a'; c <= 'z'; ++c) bits[c] = next++;
  return bits;
}();

constexpr std::array<std::uint64_t, 0x80> kCharMask = [] {
  std::array<std::uint64_t, 0x80> masks{};
  for (std::size_t c = 0; c < 0x80; ++c) masks[c] = std::uint64_t{1} << kCharBit[c];
  return masks;
}();

constexpr std::uint64_t kSharedBit = std::uint64_t{1} << 63;

constexpr std::uint64_t char_bit(char32_t c) { return c < 0x80 ? kCharMask[c] : kSharedBit; }

constexpr bool is_ascii_word(char32_t c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

// Simple case folding of one code point: the relation PCRE2's caseless matching uses.
char32_t fold_char(char32_t c) {
  if (c < 0x80) return kAsciiFold[c];
  return static_cast<char32_t>(u_foldCase(static_cast<UChar32>(c), U_FOLD_CASE_DEFAULT));
}

// A character as it stands in the text and folded.
struct ReadChar {
  char32_t raw;
  char32_t folded;
};

// Reads the character at `p` and moves `p` past it.
[[gnu::always_inline]] inline ReadChar read_char(std::string_view text, std::size_t& p) {
  const auto byte = static_cast<unsigned char>(text[p]);
  if (byte < 0x80) {
    ++p;
    return {byte, kAsciiFold[byte]};
  }
  const DecodedChar ch = decode_utf8(text, p);
  p += ch.length;
  return {ch.code_point, fold_char(ch.code_point)};
}

void append_folded(std::vector<char32_t>& out, std::string_view text) {
  for (std::size_t p = 0; p < text.size();) out.push_back(read_char(text, p).folded);
}

// Writes the folded characters of `text` to `out`, which has room for one per byte; returns how
// many there are.
std::size_t fold_into(char32_t* out, std::string_view text) {
  char32_t* next = out;
  for (std::size_t p = 0; p < text.size();) *next++ = read_char(text, p).folded;
  return static_cast<std::size_t>(next - out);
}

// A text as folded code points, with the byte offset where each one starts and the text's end.
struct FoldedText {
  std::vector<char32_t> chars;
  std::vector<std::size_t> offsets;
};

void fold_text(std::string_view text, FoldedText& folded) {
  folded.chars.clear();
  folded.offsets.clear();
  for (std::size_t p = 0; p < text.size();) {
    folded.offsets.push_back(p);
    folded.chars.push_back(read_char(text, p).folded);
  }
  folded.offsets.push_back(text.size());
}

// The character that ends at `end` (> 0).
char32_t last_char(std::string_view text, std::size_t end) {
  const auto byte = static_cast<unsigned char>(text[end - 1]);
  return byte < 0x80 ? byte : char_before(text, end);
}

char32_t char_at(std::string_view text, std::size_t pos) {
  const auto byte = static_cast<unsigned char>(text[pos]);
  return byte < 0x80 ? byte : decode_utf8(text, pos).code_point;
}

// Where the `length` characters that end at `end` begin.
std::size_t match_start(std::string_view text, std::size_t end, std::size_t length) {
  if (length <= end) {
    const std::size_t start = end - length;
    std::size_t p = start;
    while (p < end && static_cast<unsigned char>(text[p]) < 0x80) ++p;
    if (p == end) return start;
  }
  std::size_t start = end;
  for (std::size_t k = 0; k < length; ++k) start = previous_char_start(text, start);
  return start;
}

// The byte before a match that leaves it unreplaced. A byte of a multi-byte character never
// does, as only ASCII characters block.
bool blocks_match(unsigned char before) {
  return is_ascii_word(before) || before == '/' || before == '@';
}

// Word characters as the literal pattern's closing boundary sees them. Non-ASCII characters are
// put to that boundary itself (the pattern of an empty entity), once per character and call.
class WordTest {
 public:
  WordTest() : match_(boundary()) {}

  bool is_word(char32_t c) { return c < 0x80 ? is_ascii_word(c) : is_other_word(c); }

  // The closing boundary between the last character of a match and the next one, if any.
  bool holds(char32_t last, char32_t next) {
    return is_word(last) != (next != kNoChar && is_word(next));
  }

 private:
  bool is_other_word(char32_t c) {
    const auto known = cache_.find(c);
    if (known != cache_.end()) return known->second;
    // At the end of a text holding only `c`, the boundary holds exactly when `c` is a word
    // character.
    std::string subject;
    append_utf8(subject, c);
    const bool word = boundary().search(subject, subject.size(), match_) == SearchStatus::kMatch;
    cache_.emplace(c, word);
    return word;
  }

  static const Regex& boundary() {
    static const Regex regex = Regex::compile(entity_pattern(""));
    return regex;
  }

  MatchResult match_;
  std::unordered_map<char32_t, bool> cache_;
};

// A set of folded characters, ASCII ones in a bitmap.
class CharSet {
 public:
  void insert(char32_t c) {
    if (c < 0x80) {
      ascii_[c >> 6] |= std::uint64_t{1} << (c & 63);
    } else {
      other_.insert(c);
    }
  }
  bool contains(char32_t c) const {
    return c < 0x80 ? ((ascii_[c >> 6] >> (c & 63)) & 1) != 0 : other_.contains(c);
  }

 private:
  std::array<std::uint64_t, 2> ascii_{};
  std::unordered_set<char32_t> other_;
};

// ---------------------------------------------------------------------------------------------
// Which entity texts can match at all

// Judges from the characters, and where possible the pairs of adjacent characters, that the
// current text can ever hold: those of the original text and of the tokens that can be put in,
// which are those of pairs whose entity text can match. With bracketed tokens (see 4. above)
// two characters meet in the current text only as neighbours in the text, as neighbours in a
// token, or with a bracket on one side. An entity text that needs anything else never matches,
// and its pair is dropped before the automaton is built; with a large map and a short text most
// pairs go. A long text holds most pairs of characters anyway, so the filter is only on for a
// text that is short, or short against the entity texts.
class PatternFilter {
 public:
  PatternFilter(std::string_view text, const std::vector<EntityTokenPair>& pairs) {
    std::size_t entity_bytes = 0;
    for (const EntityTokenPair& pair : pairs) entity_bytes += pair.entity.size();
    if (text.size() >= entity_bytes / 8 &&
        (text.size() > kShortText || text.size() >= entity_bytes)) {
      return;
    }
    enabled_ = true;
    adjacency_known_ = true;
    for (const EntityTokenPair& pair : pairs) {
      const std::string_view token = pair.token;
      if (!pair.entity.empty() &&
          (token.size() < 2 || token.front() != '[' || token.back() != ']')) {
        adjacency_known_ = false;
      }
    }
    add(text);
  }

  bool enabled() const { return enabled_; }

  // Call for the token of every pair whose entity text passes, before its last use.
  void add_token(std::string_view token) { add(token); }

  // What an entity text lacks: a character, or a pair of adjacent ones.
  struct Missing {
    char32_t first;
    char32_t second;  // kNoChar for a character
  };

  // Whether the (unfolded) entity text can match at all, so far as the filter knows; if not,
  // `missing` is the first thing it lacks.
  bool may_match(std::string_view entity, Missing& missing) const {
    if (!enabled_) return true;
    char32_t previous = '[';  // no pair across the start
    for (std::size_t p = 0; p < entity.size();) {
      const auto byte = static_cast<unsigned char>(entity[p]);
      char32_t c;
      if (byte < 0x80) {
        c = kAsciiFold[byte];
        ++p;
      } else {
        const DecodedChar ch = decode_utf8(entity, p);
        c = fold_char(ch.code_point);
        p += ch.length;
      }
      if (!has_char(c)) {
        missing = {c, kNoChar};
        return false;
      }
      if (adjacency_known_ && !is_bracket(previous) && !is_bracket(c) && !has_pair(previous, c)) {
        missing = {previous, c};
        return false;
      }
      previous = c;
    }
    return true;
  }

  bool has(const Missing& missing) const {
    return missing.second == kNoChar ? has_char(missing.first)
                                     : has_pair(missing.first, missing.second);
  }

 private:
  static constexpr std::size_t kShortText = 2048;

  static bool is_bracket(char32_t c) { return c == '[' || c == ']'; }
  static bool test(std::span<const std::uint64_t> bits, std::size_t i) {
    return (bits[i >> 6] >> (i & 63)) & 1;
  }
  static void set(std::span<std::uint64_t> bits, std::size_t i) {
    bits[i >> 6] |= std::uint64_t{1} << (i & 63);
  }

  void add(std::string_view text) {
    char32_t previous = '[';  // no pair across the start
    for (std::size_t p = 0; p < text.size();) {
      const auto byte = static_cast<unsigned char>(text[p]);
      char32_t c = byte;
      if (byte < 0x80) {
        c = kAsciiFold[byte];
        ++p;
      } else {
        const DecodedChar ch = decode_utf8(text, p);
        c = fold_char(ch.code_point);
        p += ch.length;
      }
      if (c < 0x80) {
        set(ascii_chars_, c);
      } else {
        other_chars_.insert(c);
      }
      if (adjacency_known_ && !is_bracket(previous) && !is_bracket(c)) {
        if (previous < 0x80 && c < 0x80) {
          set(ascii_pairs_, previous * 0x80 + c);
        } else {
          other_pairs_.insert(pair_key(previous, c));
        }
      }
      previous = c;
    }
  }

  static std::uint64_t pair_key(char32_t a, char32_t b) {
    return (static_cast<std::uint64_t>(a) << 32) | b;
  }
  bool has_char(char32_t c) const {
    return c < 0x80 ? test(ascii_chars_, c) : other_chars_.contains(c);
  }
  bool has_pair(char32_t a, char32_t b) const {
    return (a < 0x80 && b < 0x80) ? test(ascii_pairs_, a * 0x80 + b)
                                  : other_pairs_.contains(pair_key(a, b));
  }

  bool enabled_ = false;
  bool adjacency_known_ = false;
  std::array<std::uint64_t, 0x80 / 64> ascii_chars_{};
  std::array<std::uint64_t, 0x80 * 0x80 / 64> ascii_pairs_{};  // bit first * 0x80 + second
  std::unordered_set<char32_t> other_chars_;
  std::unordered_set<std::uint64_t> other_pairs_;
};

// ---------------------------------------------------------------------------------------------
// Aho-Corasick automaton over the distinct folded entity texts

class EntityAutomaton {
 public:
  static constexpr std::uint32_t kNone = UINT32_MAX;

  // Pairs with an empty entity text, or whose text the filter rules out, get no pattern. With
  // `text_bytes`, the length of what will be scanned, long against the trie, the whole trie is
  // built at once, with every link; otherwise each node is built, and its links set, when
  // something first needs it.
  EntityAutomaton(const std::vector<EntityTokenPair>& pairs, PatternFilter filter,
                  std::size_t text_bytes);
  ~EntityAutomaton();
  EntityAutomaton(const EntityAutomaton&) = delete;
  EntityAutomaton& operator=(const EntityAutomaton&) = delete;

  // Every node built and linked: scans and walks only read, so several threads may scan at
  // once.
  bool complete() const { return complete_; }
  std::uint32_t pattern_of(std::size_t pair) const { return pair_pattern_[pair]; }
  std::size_t pattern_count() const { return pattern_begin_.size(); }
  std::span<const char32_t> pattern(std::uint32_t id) const {
    return {chars_.data() + pattern_begin_[id], pattern_length_[id]};
  }
  std::size_t pattern_length(std::uint32_t id) const { return pattern_length_[id]; }
  bool has_bracket(std::uint32_t id) const { return has_bracket_[id] != 0; }
  // The pairs whose entity folds to pattern `id`, in pair order.
  std::span<const std::uint32_t> pairs_of(std::uint32_t id) const {
    return {pattern_pairs_.data() + pattern_pairs_begin_[id],
            pattern_pairs_begin_[id + 1] - pattern_pairs_begin_[id]};
  }

  // Calls found(pattern, end, last) for every pattern that occurs in `text` at byte `start`, in
  // increasing order of the end; as scan, but anchored.
  template <class Found>
  void walk(std::string_view text, std::size_t start, Found&& found) {
    std::uint32_t node = 0;
    for (std::size_t p = start; p < text.size();) {
      const auto [raw, c] = read_char(text, p);
      if (!expanded(node)) expand(node);
      node = child(node, c);
      if (node == 0) return;
      if (terminal_[node] != kNone) found(terminal_[node], p, raw);
    }
  }

  // Calls found(pattern, end, last) for every occurrence of every pattern in `text`, in
  // increasing order of the end, a byte offset; `last` is the occurrence's last character as it
  // stands in the text. Occurrences that end where worth(end, last) is false are passed over
  // (all occurrences that end at one place share those two).
  template <class Found, class Worth>
  void scan(std::string_view text, Found&& found, Worth&& worth) {
    // Kept in registers: the callback's stores could otherwise alias them.
    const std::uint32_t* const rows = shallow_rows_.data();
    const std::uint8_t* const class_of = class_of_.data();
    const std::uint32_t shallow = shallow_;
    const unsigned row_shift = row_shift_;
    std::uint32_t state = 0;
    const std::size_t size = text.size();
    for (std::size_t p = 0; p < size;) {
      const auto [raw, c] = read_char(text, p);
      if (state < shallow && raw < 0x80) {
        const std::uint32_t entry = rows[(std::size_t{state} << row_shift) + class_of[raw]];
        state = entry & ~kReports;
        if ((entry & kReports) == 0) continue;
      } else {
        state = (state == 0 && c < 0x80) ? root_ascii_[c] : next_state(state, c);
      }
      std::uint32_t node = hot_[state].report;
      if (node == 0 || !worth(p, raw)) continue;
      for (; node != 0; node = hot_[links_[node].fail].report) found(terminal_[node], p, raw);
    }
  }

 private:
  // A node stands for the prefix that the patterns first_pattern up to end_pattern share (the
  // patterns are numbered in sorted order, so they are adjacent); the first of them may end
  // at the node (its Origin). Expanding a node makes its children, one per next character, as
  // consecutive nodes in increasing order of their character. Node 0 is the root. What a step
  // that finds its child reads (Hot) is kept apart from what a failing step reads (Links).
  struct Hot {
    std::uint64_t children;     // char_bit of the children's characters
    std::uint32_t first_child;  // kNone until expanded
    // The node or nearest failure ancestor with a pattern, or 0; kNone until the links are set.
    std::uint32_t report;
  };
  struct Links {
    // char_bit of the children's characters of the nodes on the failure chain, the root
    // excepted: where a character is missing, the chain leads straight to the root.
    std::uint64_t chain;
    std::uint32_t fail;
    // The number of children, up to kListedChildren; above, kListedChildren + 1 + the node's
    // row.
    std::uint32_t shape;
  };
  struct Origin {
    std::uint32_t first_pattern;
    std::uint32_t end_pattern;
    std::uint32_t depth;
    std::uint32_t parent;
  };

  // Nodes with more children than this have a row that maps each ASCII character to its child,
  // as an offset from the first child plus one (ASCII children come first, so it fits).
  static constexpr std::uint32_t kListedChildren = 8;

  bool expanded(std::uint32_t node) const { return hot_[node].first_child != kNone; }
  std::uint32_t child_count(std::uint32_t node) const {
    const std::uint32_t shape = links_[node].shape;
    return shape <= kListedChildren ? shape : row_child_count_[shape - kListedChildren - 1];
  }
  // Links set imply expanded, for the node and its whole failure chain.
  bool resolved(std::uint32_t node) const { return hot_[node].report != kNone; }

  // The child of expanded `node` reached by `c`, or 0 (the root is nobody's child).
  std::uint32_t child(std::uint32_t node, char32_t c) const {
    if (node == 0 && c < 0x80) return root_ascii_[c];
    const std::uint32_t begin = hot_[node].first_child;
    const std::uint32_t shape = links_[node].shape;
    if (shape <= kListedChildren) {
      for (std::uint32_t k = begin; k < begin + shape; ++k) {
        if (edge_[k] == c) return k;
      }
      return 0;
    }
    const std::uint32_t row = shape - kListedChildren - 1;
    if (c < 0x80) {
      const std::uint8_t offset = rows_[std::size_t{row} * 0x80 + c];
      return offset != 0 ? begin + offset - 1 : 0;
    }
    const auto first = edge_.begin() + begin;
    const auto last = first + row_child_count_[row];
    const auto it = std::lower_bound(first, last, c);
    return (it != last && *it == c) ? static_cast<std::uint32_t>(it - edge_.begin()) : 0;
  }

  std::uint32_t next_state(std::uint32_t state, char32_t c) {
    const std::uint64_t bit = char_bit(c);
    for (;;) {
      const Hot& hot = hot_[state];
      if ((hot.children & bit) != 0) {
        // Bits of their own rise with the character, so a child whose bit is the lowest of the
        // node's, none shared, is the first child.
        const std::uint32_t next =
            (hot.children & ((bit - 1) | kSharedBit)) == 0 ? hot.first_child : child(state, c);
        if (next != 0) {
          if (!resolved(next)) resolve(next);
          return next;
        }
      }
      if (state == 0) return 0;
      const Links& links = links_[state];
      if ((links.chain & bit) == 0) {
        // No node on the chain below has the child: go to the root's, whose links are set.
        return c < 0x80 ? root_ascii_[c] : child(0, c);
      }
      state = links.fail;
    }
  }

  void expand(std::uint32_t node);
  void resolve(std::uint32_t node);
  std::uint32_t failure_of(std::uint32_t node) const;
  void set_links(std::uint32_t node, std::uint32_t link);
  void build_shallow_rows(std::size_t text_bytes, std::uint32_t shallow);

  std::vector<char32_t> chars_;  // folded entity texts, one after another
  std::vector<std::uint32_t> pair_pattern_;
  std::vector<std::size_t> pattern_begin_;
  std::vector<std::size_t> pattern_length_;
  std::vector<std::uint8_t> has_bracket_;
  std::vector<std::uint32_t> pattern_pairs_begin_;
  std::vector<std::uint32_t> pattern_pairs_;

  // The large arrays' storage, which each thread keeps between calls so that a call need not
  // have it paged in afresh; a call borrows it and gives it back, unless it grew too large to
  // keep.
  struct Spare {
    std::vector<char32_t> chars;
    std::vector<Hot> hot;
    std::vector<Links> links;
    std::vector<Origin> origin;
    std::vector<char32_t> edge;
    std::vector<std::uint32_t> terminal;
    std::vector<std::uint32_t> shallow_rows;
  };
  static Spare& spare() {
    thread_local Spare kept;
    return kept;
  }
  template <class T>
  static void borrow(std::vector<T>& mine, std::vector<T>& kept) {
    mine.swap(kept);
    mine.clear();
  }
  // Leaves `mine` without storage.
  template <class T>
  static void give_back(std::vector<T>& mine, std::vector<T>& kept) {
    constexpr std::size_t kKeepBytes = std::size_t{4} << 20;
    if (mine.capacity() * sizeof(T) <= kKeepBytes && mine.capacity() > kept.capacity()) {
      mine.clear();
      kept.swap(mine);
    }
    std::vector<T>().swap(mine);
  }

  // Room for every node is reserved, so the vectors never move.
  std::vector<Hot> hot_;
  std::vector<Links> links_;
  std::vector<Origin> origin_;
  std::vector<char32_t> edge_;           // the character that leads to the node
  std::vector<std::uint32_t> terminal_;  // pattern ending at the node, or kNone
  std::vector<std::uint8_t> rows_;
  std::vector<std::uint32_t> row_child_count_;
  std::array<std::uint32_t, 0x80> root_ascii_{};
  std::vector<std::uint32_t> pending_;  // nodes waiting for their links
  // Where the scan spends most of its steps, in the nodes of depth two at most (the first
  // shallow_ nodes), an ASCII byte takes it to its next node in one look-up: a row per node,
  // indexed by the class of the byte (the folded characters of the entity texts, each a class
  // of its own, and one class for all others, which lead to the root).
  static constexpr std::uint32_t kReports = std::uint32_t{1} << 31;  // in a row: it reports
  std::uint32_t shallow_ = 0;
  bool complete_ = false;
  unsigned row_shift_ = 0;  // a row has 1 << row_shift_ entries, at least one per class
  std::array<std::uint8_t, 0x80> class_of_{};  // by the byte as it stands in the text
  std::vector<std::uint32_t> shallow_rows_;
};

// Sorts the pair indices in `order` by their folded texts, shorter first where one is a prefix
// of the other. Each round sorts one range by the next characters packed into one integer, each
// plus one so that 0 stands for "none", which sorts first: eight while they are all ASCII (8
// bits each), else three (21 bits each). A run that agrees on all of them goes on to the next
// round.
template <class Folded>
void sort_by_fold(std::vector<std::uint32_t>& order, const Folded& folded) {
  struct Range {
    std::size_t first;
    std::size_t last;
    std::size_t depth;
  };
  std::vector<std::pair<std::uint64_t, std::uint32_t>> keyed(order.size());
  std::vector<Range> work = {{0, order.size(), 0}};
  while (!work.empty()) {
    const Range range = work.back();
    work.pop_back();
    bool ascii = true;
    for (std::size_t k = range.first; k < range.last && ascii; ++k) {
      const std::span<const char32_t> text = folded(order[k]);
      for (std::size_t j = range.depth; j < range.depth + 8 && j < text.size(); ++j) {
        if (text[j] >= 0x80) {
          ascii = false;
          break;
        }
      }
    }
    const std::size_t width = ascii ? 8 : 3;
    const unsigned bits = ascii ? 8 : 21;
    const std::uint64_t last_slot = (std::uint64_t{1} << bits) - 1;
    for (std::size_t k = range.first; k < range.last; ++k) {
      const std::span<const char32_t> text = folded(order[k]);
      std::uint64_t key = 0;
      for (std::size_t j = range.depth; j < range.depth + width; ++j) {
        key = (key << bits) | (j < text.size() ? text[j] + 1 : 0);
      }
      keyed[k] = {key, order[k]};
    }
    std::sort(keyed.begin() + range.first, keyed.begin() + range.last);
    for (std::size_t k = range.first; k < range.last;) {
      std::size_t end = k + 1;
      while (end < range.last && keyed[end].first == keyed[k].first) ++end;
      for (std::size_t j = k; j < end; ++j) order[j] = keyed[j].second;
      if (end - k > 1 && (keyed[k].first & last_slot) != 0) {
        work.push_back({k, end, range.depth + width});
      }
      k = end;
    }
  }
}

EntityAutomaton::EntityAutomaton(const std::vector<EntityTokenPair>& pairs, PatternFilter filter,
                                 std::size_t text_bytes)
    : pair_pattern_(pairs.size(), kNone) {
  Spare& kept = spare();
  borrow(chars_, kept.chars);
  borrow(hot_, kept.hot);
  borrow(links_, kept.links);
  borrow(origin_, kept.origin);
  borrow(edge_, kept.edge);
  borrow(terminal_, kept.terminal);
  borrow(shallow_rows_, kept.shallow_rows);
  // The pairs that can match: until no more pass the filter, each that passes lets its token
  // in. A pair that fails is looked at again only once what it lacked has come in. Should that
  // take unusually many rounds, the rest are kept, which is safe.
  std::vector<std::uint32_t> order;
  order.reserve(pairs.size());
  std::vector<std::pair<std::uint32_t, PatternFilter::Missing>> rest;
  for (std::uint32_t i = 0; i < pairs.size(); ++i) {
    if (pairs[i].entity.empty()) continue;
    PatternFilter::Missing missing{};
    if (filter.may_match(pairs[i].entity, missing)) {
      order.push_back(i);
      filter.add_token(pairs[i].token);
    } else {
      rest.emplace_back(i, missing);
    }
  }
  for (int round = 0; !rest.empty(); ++round) {
    if (round == 64) {
      for (const auto& [i, missing] : rest) order.push_back(i);
      break;
    }
    std::size_t kept = 0;
    for (auto& [i, missing] : rest) {
      if (!filter.has(missing) || !filter.may_match(pairs[i].entity, missing)) {
        rest[kept++] = {i, missing};
        continue;
      }
      order.push_back(i);
      filter.add_token(pairs[i].token);
    }
    if (kept == rest.size()) break;
    rest.resize(kept);
  }

  // Fold their entity texts; identical folds share one pattern.
  std::size_t entity_bytes = 0;
  for (const std::uint32_t i : order) entity_bytes += pairs[i].entity.size();
  chars_.resize(entity_bytes);
  std::vector<std::size_t> fold_begin(pairs.size(), 0);
  std::vector<std::size_t> fold_end(pairs.size(), 0);
  std::size_t used = 0;
  for (const std::uint32_t i : order) {
    fold_begin[i] = used;
    used += fold_into(chars_.data() + used, pairs[i].entity);
    fold_end[i] = used;
  }
  const auto folded = [&](std::size_t pair) {
    return std::span<const char32_t>(chars_.data() + fold_begin[pair],
                                     fold_end[pair] - fold_begin[pair]);
  };
  sort_by_fold(order, folded);

  // Distinct patterns, numbered in sorted order.
  pattern_begin_.reserve(order.size());
  pattern_length_.reserve(order.size());
  has_bracket_.reserve(order.size());
  std::size_t pattern_chars = 0;
  for (const std::uint32_t pair : order) {
    const auto text = folded(pair);
    if (!pattern_begin_.empty() && std::ranges::equal(text, pattern(pattern_begin_.size() - 1))) {
      pair_pattern_[pair] = static_cast<std::uint32_t>(pattern_begin_.size() - 1);
      continue;
    }
    pair_pattern_[pair] = static_cast<std::uint32_t>(pattern_begin_.size());
    pattern_begin_.push_back(fold_begin[pair]);
    pattern_length_.push_back(text.size());
    has_bracket_.push_back(
        std::ranges::any_of(text, [](char32_t c) { return c == '[' || c == ']'; }));
    pattern_chars += text.size();
  }
  const auto patterns = static_cast<std::uint32_t>(pattern_begin_.size());

  // Pattern to pairs, in pair order.
  pattern_pairs_begin_.assign(patterns + 1, 0);
  for (const std::uint32_t id : pair_pattern_) {
    if (id != kNone) ++pattern_pairs_begin_[id + 1];
  }
  for (std::size_t k = 0; k < patterns; ++k) pattern_pairs_begin_[k + 1] += pattern_pairs_begin_[k];
  pattern_pairs_.resize(pattern_pairs_begin_.back());
  std::vector<std::uint32_t> fill(pattern_pairs_begin_.begin(), pattern_pairs_begin_.end() - 1);
  for (std::size_t i = 0; i < pair_pattern_.size(); ++i) {
    if (pair_pattern_[i] != kNone) {
      pattern_pairs_[fill[pair_pattern_[i]]++] = static_cast<std::uint32_t>(i);
    }
  }

  // A node per character of every pattern at most, and the root.
  hot_.reserve(pattern_chars + 1);
  links_.reserve(pattern_chars + 1);
  origin_.reserve(pattern_chars + 1);
  edge_.reserve(pattern_chars + 1);
  terminal_.reserve(pattern_chars + 1);
  hot_.push_back({0, kNone, 0});
  links_.push_back({0, 0, 0});
  origin_.push_back({0, patterns, 0, 0});
  edge_.push_back(0);
  terminal_.push_back(kNone);
  expand(0);
  // Children of the root fail to the root; the scan enters them without a check.
  const std::uint32_t depth_one_end = hot_[0].first_child + child_count(0);
  for (std::uint32_t n = hot_[0].first_child; n < depth_one_end; ++n) {
    if (edge_[n] < 0x80) root_ascii_[edge_[n]] = n;
    expand(n);
    hot_[n].report = terminal_[n] != kNone ? n : 0;
  }
  if (text_bytes >= 4 * pattern_chars) {
    // Below depth two, depth first: the scan follows a pattern down consecutive nodes. The
    // nodes of depth two stay together, right after those of depth one, for the rows.
    const auto depth_two_end = static_cast<std::uint32_t>(hot_.size());
    std::vector<std::uint32_t> queue;
    for (std::uint32_t n = depth_two_end; n-- > depth_one_end;) queue.push_back(n);
    while (!queue.empty()) {
      const std::uint32_t n = queue.back();
      queue.pop_back();
      expand(n);
      const std::uint32_t first = hot_[n].first_child;
      for (std::uint32_t k = first + child_count(n); k-- > first;) queue.push_back(k);
    }
    // Links in node order, which keeps to memory; a node's parent comes before it, and the node
    // its link leads to, if not done yet, is done first.
    for (auto n = depth_one_end; n < hot_.size(); ++n) {
      if (!resolved(n)) resolve(n);
    }
    build_shallow_rows(text_bytes, depth_two_end);
    // Every node is built and linked: their origins are not needed while the text is scanned.
    give_back(origin_, spare().origin);
    complete_ = true;
  }
}

EntityAutomaton::~EntityAutomaton() {
  Spare& kept = spare();
  give_back(chars_, kept.chars);
  give_back(hot_, kept.hot);
  give_back(links_, kept.links);
  give_back(origin_, kept.origin);
  give_back(edge_, kept.edge);
  give_back(terminal_, kept.terminal);
  give_back(shallow_rows_, kept.shallow_rows);
}

void EntityAutomaton::expand(std::uint32_t node) {
  const Origin origin = origin_[node];
  std::uint32_t k = origin.first_pattern;
  if (k < origin.end_pattern && pattern_length_[k] == origin.depth) ++k;  // ends here
  const auto first = static_cast<std::uint32_t>(hot_.size());
  std::uint64_t children = 0;
  while (k < origin.end_pattern) {
    const char32_t c = chars_[pattern_begin_[k] + origin.depth];
    std::uint32_t end = k + 1;
    while (end < origin.end_pattern && chars_[pattern_begin_[end] + origin.depth] == c) ++end;
    hot_.push_back({0, kNone, kNone});
    links_.push_back({0, 0, 0});
    origin_.push_back({k, end, origin.depth + 1, node});
    edge_.push_back(c);
    terminal_.push_back(pattern_length_[k] == origin.depth + 1 ? k : kNone);
    children |= char_bit(c);
    k = end;
  }
  const auto count = static_cast<std::uint32_t>(hot_.size()) - first;
  hot_[node].children = children;
  hot_[node].first_child = first;
  links_[node].shape = count;
  if (count > kListedChildren) {
    const auto row = static_cast<std::uint32_t>(row_child_count_.size());
    links_[node].shape = kListedChildren + 1 + row;
    row_child_count_.push_back(count);
    rows_.resize(rows_.size() + 0x80, 0);
    for (std::uint32_t n = first; n < hot_.size() && edge_[n] < 0x80; ++n) {
      rows_[std::size_t{row} * 0x80 + edge_[n]] = static_cast<std::uint8_t>(n - first + 1);
    }
  }
}

// Rows for the nodes before `shallow`, those of depth two at most. Worth it where the text is
// long against them; all links are set by then.
void EntityAutomaton::build_shallow_rows(std::size_t text_bytes, std::uint32_t shallow) {
  std::array<char32_t, 0x80> folded_of_class{};
  std::array<std::uint8_t, 0x80> class_of_folded{};
  std::uint32_t classes = 1;
  for (std::size_t node = 1; node < edge_.size(); ++node) {
    const char32_t c = edge_[node];
    if (c < 0x80 && class_of_folded[c] == 0) {
      class_of_folded[c] = static_cast<std::uint8_t>(classes);
      folded_of_class[classes++] = c;
    }
  }
  unsigned row_shift = 0;
  while ((1u << row_shift) < classes) ++row_shift;
  if (text_bytes < (std::size_t{16} * shallow << row_shift) || hot_.size() >= kReports) return;
  for (std::size_t byte = 0; byte < 0x80; ++byte) {
    class_of_[byte] = class_of_folded[kAsciiFold[byte]];
  }
  shallow_rows_.assign(std::size_t{shallow} << row_shift, 0);
  for (std::uint32_t state = 0; state < shallow; ++state) {
    for (std::uint32_t k = 1; k < classes; ++k) {
      const std::uint32_t next = next_state(state, folded_of_class[k]);
      shallow_rows_[(std::size_t{state} << row_shift) + k] =
          next | (hot_[next].report != 0 ? kReports : 0);
    }
  }
  shallow_ = shallow;
  row_shift_ = row_shift;
}

// Sets the links of `target`, and first of whatever it depends on: its parent and the node its
// failure link leads to, both shallower.
void EntityAutomaton::resolve(std::uint32_t target) {
  pending_.push_back(target);
  while (!pending_.empty()) {
    const std::uint32_t node = pending_.back();
    if (resolved(node)) {
      pending_.pop_back();
      continue;
    }
    const std::uint32_t parent = origin_[node].parent;
    if (!resolved(parent)) {
      pending_.push_back(parent);
      continue;
    }
    const std::uint32_t link = failure_of(node);
    if (!resolved(link)) {
      pending_.push_back(link);
      continue;
    }
    if (!expanded(node)) expand(node);
    set_links(node, link);
    pending_.pop_back();
  }
}

// For a node below depth one whose parent has its links set, and so every node on the parent's
// failure chain.
std::uint32_t EntityAutomaton::failure_of(std::uint32_t node) const {
  const char32_t c = edge_[node];
  for (std::uint32_t f = links_[origin_[node].parent].fail;; f = links_[f].fail) {
    const std::uint32_t next = child(f, c);
    if (next != 0) return next;
    if (f == 0) return 0;
  }
}

void EntityAutomaton::set_links(std::uint32_t node, std::uint32_t link) {
  links_[node].fail = link;
  links_[node].chain = link == 0 ? 0 : hot_[link].children | links_[link].chain;
  hot_[node].report = terminal_[node] != kNone ? node : hot_[link].report;
}

// All start indices of `pattern` in `text`, left to right (overlapping ones included).
void find_all(std::span<const char32_t> text, std::span<const char32_t> pattern,
              std::vector<std::size_t>& border, std::vector<std::size_t>& starts) {
  starts.clear();
  if (pattern.empty() || pattern.size() > text.size()) return;
  border.assign(pattern.size(), 0);
  for (std::size_t i = 1, k = 0; i < pattern.size(); ++i) {
    while (k > 0 && pattern[i] != pattern[k]) k = border[k - 1];
    if (pattern[i] == pattern[k]) ++k;
    border[i] = k;
  }
  for (std::size_t i = 0, k = 0; i < text.size(); ++i) {
    while (k > 0 && text[i] != pattern[k]) k = border[k - 1];
    if (text[i] == pattern[k]) ++k;
    if (k == pattern.size()) {
      starts.push_back(i + 1 - k);
      k = border[k - 1];
    }
  }
}

// ---------------------------------------------------------------------------------------------
// The current text of one stretch

struct Range {
  std::size_t start;
  std::size_t end;
};

// What precedes a candidate in the current text.
struct Preceding {
  bool at_start = true;  // nothing does
  unsigned char byte = 0;
};

// What the literal algorithm looks at around a candidate [s, e) of the current text.
struct Surroundings {
  Preceding before;
  char32_t next = kNoChar;
};

// The literal algorithm's verdict on an occurrence that starts at or after the end of the
// previous match.
enum class Verdict { kNoMatch, kKept, kReplaced };

bool blocks(const Preceding& before) { return !before.at_start && blocks_match(before.byte); }

Verdict judge(const Surroundings& around, char32_t last, WordTest& words) {
  if (!words.holds(last, around.next)) return Verdict::kNoMatch;
  return blocks(around.before) ? Verdict::kKept : Verdict::kReplaced;
}

// The original stretch with some byte ranges, the runs, replaced by inserted text. Runs are
// disjoint and never empty; a bitmap marks the bytes they cover, so that candidates away from
// every run are judged without a lookup.
//
// With bracketed tokens every run starts with '[' and ends with ']', which is all that a
// neighbouring candidate sees of it; runs that meet stay apart (a match across the seam would
// hold brackets, see 4. above), in no particular order. Otherwise runs that meet are merged, so
// that at least one original byte lies between two runs, and an index by start finds them.
class StretchText {
 public:
  void reset(std::string_view original, bool bracketed) {
    original_ = original;
    bracketed_ = bracketed;
    runs_.clear();
    owned_.clear();
    index_.clear();
    covered_.assign(original.size() / 64 + 1, 0);
  }

  // Whether no inserted text lies inside [s, e).
  bool intact(std::size_t s, std::size_t e) const { return runs_.empty() || !any_covered(s, e); }
  // For an intact candidate that ends at `e`: the character after it.
  char32_t next_after(std::size_t e) const {
    if (e == original_.size()) return kNoChar;
    if (runs_.empty() || !covered(e)) return char_at(original_, e);
    if (bracketed_) return '[';
    const Run& run = run_covering(e);  // it starts at e, as e - 1 is not covered
    if (!run.inserted.empty()) return char_at(run.inserted, 0);
    return run.end < original_.size() ? char_at(original_, run.end) : kNoChar;
  }

  // For an intact candidate that starts at `s`: what precedes it.
  Preceding before(std::size_t s) const {
    Preceding result;
    if (s == 0) return result;
    result.at_start = false;
    if (runs_.empty() || !covered(s - 1)) {
      result.byte = static_cast<unsigned char>(original_[s - 1]);
    } else if (bracketed_) {
      result.byte = ']';
    } else {
      const Run& run = run_covering(s - 1);  // it ends at s
      if (!run.inserted.empty()) {
        result.byte = static_cast<unsigned char>(run.inserted.back());
      } else if (run.start > 0) {
        result.byte = static_cast<unsigned char>(original_[run.start - 1]);
      } else {
        result.at_start = true;
      }
    }
    return result;
  }

  // Each run carries a set of bits, one per token put into it (`mark`), so that a search for
  // what lies inside some tokens can pass over the runs that hold none of them.

  // Replaces the original ranges (sorted, disjoint, each contiguous original text) by `token`.
  void replace(std::span<const Range> ranges, std::string_view token, std::uint64_t mark);

  // Calls visit(run, inserted text, marks) for each run, in no particular order.
  template <class Visit>
  void for_each_run(Visit&& visit) const {
    for (std::size_t k = 0; k < runs_.size(); ++k) {
      if (runs_[k].live) visit(k, runs_[k].inserted, runs_[k].marks);
    }
  }

  // Replaces the ranges (sorted, disjoint) of the inserted text of `run` by `token`.
  void replace_inserted(std::size_t run, std::span<const Range> ranges, std::string_view token,
                        std::uint64_t mark);

  // A piece of the materialised current text.
  struct Piece {
    std::size_t current_begin;
    std::size_t length;
    bool original;
    std::size_t original_begin;  // when original
    std::string_view inserted;   // otherwise
  };

  // The current text, and where its pieces come from.
  std::string current(std::vector<Piece>& layout);

  // Replaces the ranges (sorted, disjoint) of the current text described by `layout` by
  // `token`, whatever they cover.
  void replace_current(const std::vector<Piece>& layout, std::size_t current_size,
                       std::span<const Range> ranges, std::string_view token);

  void append_to(std::string& out);

 private:
  struct Run {
    std::size_t start;
    std::size_t end;
    std::string_view inserted;  // a token, or text in owned_
    std::uint64_t marks = ~std::uint64_t{0};
    bool live = true;
  };

  bool covered(std::size_t i) const { return (covered_[i >> 6] >> (i & 63)) & 1; }
  bool any_covered(std::size_t from, std::size_t to) const {
    if (from >= to) return false;
    const std::size_t first = from >> 6;
    const std::size_t last = (to - 1) >> 6;
    const std::uint64_t head = ~std::uint64_t{0} << (from & 63);
    const std::uint64_t tail = ~std::uint64_t{0} >> (63 - ((to - 1) & 63));
    if (first == last) return (covered_[first] & head & tail) != 0;
    if ((covered_[first] & head) != 0) return true;
    for (std::size_t w = first + 1; w < last; ++w) {
      if (covered_[w] != 0) return true;
    }
    return (covered_[last] & tail) != 0;
  }
  void cover(std::size_t from, std::size_t to);
  // The run that covers byte `i` (merged runs only).
  const Run& run_covering(std::size_t i) const {
    return runs_[std::prev(index_.upper_bound(i))->second];
  }
  // The live runs in order of their start, in order_.
  void order_runs();

  std::string_view original_;
  bool bracketed_ = false;
  std::string_view own(std::string text) { return owned_.emplace_back(std::move(text)); }

  std::vector<Run> runs_;
  std::deque<std::string> owned_;             // inserted text that is not a whole token
  std::map<std::size_t, std::size_t> index_;  // start to run, when runs are merged
  std::vector<std::uint64_t> covered_;        // one bit per original byte
  std::vector<std::pair<std::size_t, std::size_t>> order_;  // (start, run)
};

void StretchText::cover(std::size_t from, std::size_t to) {
  if (from >= to) return;
  const std::size_t first = from >> 6;
  const std::size_t last = (to - 1) >> 6;
  const std::uint64_t head = ~std::uint64_t{0} << (from & 63);
  const std::uint64_t tail = ~std::uint64_t{0} >> (63 - ((to - 1) & 63));
  if (first == last) {
    covered_[first] |= head & tail;
    return;
  }
  covered_[first] |= head;
  for (std::size_t w = first + 1; w < last; ++w) covered_[w] = ~std::uint64_t{0};
  covered_[last] |= tail;
}

void StretchText::replace(std::span<const Range> ranges, std::string_view token,
                          std::uint64_t mark) {
  for (const Range& range : ranges) {
    if (bracketed_) {
      cover(range.start, range.end);
      runs_.push_back({range.start, range.end, token, mark});
      continue;
    }
    // Merge with a run that ends where the range starts, and one that starts where it ends.
    std::size_t into;
    if (range.start > 0 && covered(range.start - 1)) {
      into = std::prev(index_.upper_bound(range.start - 1))->second;
      runs_[into].inserted = own(std::string(runs_[into].inserted).append(token));
      runs_[into].end = range.end;
      runs_[into].marks |= mark;
    } else {
      into = runs_.size();
      runs_.push_back({range.start, range.end, token, mark});
      index_.emplace(range.start, into);
    }
    if (range.end < original_.size() && covered(range.end)) {
      const auto after = index_.find(range.end);
      Run& next = runs_[after->second];
      runs_[into].inserted = own(std::string(runs_[into].inserted).append(next.inserted));
      runs_[into].end = next.end;
      runs_[into].marks |= next.marks;
      next.live = false;
      index_.erase(after);
    }
    cover(range.start, range.end);
  }
}

void StretchText::replace_inserted(std::size_t run, std::span<const Range> ranges,
                                   std::string_view token, std::uint64_t mark) {
  runs_[run].marks |= mark;
  const std::string_view inserted = runs_[run].inserted;
  std::string rebuilt;
  rebuilt.reserve(inserted.size() + ranges.size() * token.size());
  std::size_t copied = 0;
  for (const Range& range : ranges) {
    rebuilt.append(inserted.substr(copied, range.start - copied));
    rebuilt.append(token);
    copied = range.end;
  }
  rebuilt.append(inserted.substr(copied));
  runs_[run].inserted = own(std::move(rebuilt));
}

void StretchText::order_runs() {
  order_.clear();
  if (bracketed_) {
    for (std::size_t k = 0; k < runs_.size(); ++k) order_.emplace_back(runs_[k].start, k);
    std::sort(order_.begin(), order_.end());
  } else {
    for (const auto& [start, run] : index_) order_.emplace_back(start, run);
  }
}

std::string StretchText::current(std::vector<Piece>& layout) {
  order_runs();
  std::string text;
  layout.clear();
  std::size_t cursor = 0;
  const auto add_original = [&](std::size_t from, std::size_t to) {
    if (from >= to) return;
    layout.push_back({text.size(), to - from, true, from, {}});
    text.append(original_.substr(from, to - from));
  };
  for (const auto& [start, k] : order_) {
    const Run& run = runs_[k];
    add_original(cursor, run.start);
    if (!run.inserted.empty()) {
      layout.push_back({text.size(), run.inserted.size(), false, 0, run.inserted});
      text.append(run.inserted);
    }
    cursor = run.end;
  }
  add_original(cursor, original_.size());
  return text;
}

// The rebuilt runs are merged wherever they meet, whatever the tokens, and carry every mark.
void StretchText::replace_current(const std::vector<Piece>& layout, std::size_t current_size,
                                  std::span<const Range> ranges, std::string_view token) {
  std::vector<Run> rebuilt;
  std::size_t original_end = 0;  // where the last kept original run ends
  std::string pending;           // inserted text since then
  const auto keep_original = [&](std::size_t from, std::size_t to) {
    if (from != original_end || !pending.empty()) {
      rebuilt.push_back({original_end, from, own(std::move(pending))});
      pending.clear();
    }
    original_end = to;
  };
  std::size_t piece = 0;
  const auto keep = [&](std::size_t from, std::size_t to) {
    while (piece < layout.size() && layout[piece].current_begin + layout[piece].length <= from) {
      ++piece;
    }
    for (std::size_t k = piece; k < layout.size() && layout[k].current_begin < to; ++k) {
      const Piece& p = layout[k];
      const std::size_t a = std::max(from, p.current_begin);
      const std::size_t b = std::min(to, p.current_begin + p.length);
      if (a >= b) continue;
      if (p.original) {
        keep_original(p.original_begin + (a - p.current_begin),
                      p.original_begin + (b - p.current_begin));
      } else {
        pending.append(p.inserted.substr(a - p.current_begin, b - a));
      }
    }
  };
  std::size_t at = 0;
  for (const Range& range : ranges) {
    keep(at, range.start);
    pending.append(token);
    at = range.end;
  }
  keep(at, current_size);
  if (original_end != original_.size() || !pending.empty()) {
    rebuilt.push_back({original_end, original_.size(), own(std::move(pending))});
  }
  runs_ = std::move(rebuilt);
  index_.clear();
  std::fill(covered_.begin(), covered_.end(), 0);
  for (std::size_t k = 0; k < runs_.size(); ++k) {
    if (!bracketed_) index_.emplace_hint(index_.end(), runs_[k].start, k);
    cover(runs_[k].start, runs_[k].end);
  }
}

void StretchText::append_to(std::string& out) {
  order_runs();
  std::size_t cursor = 0;
  for (const auto& [start, k] : order_) {
    const Run& run = runs_[k];
    out.append(original_.substr(cursor, run.start - cursor));
    out.append(run.inserted);
    cursor = run.end;
  }
  out.append(original_.substr(cursor));
}

// ---------------------------------------------------------------------------------------------
// Forward substitution over stretches

class Substituter {
 public:
  // `text` holds every stretch that will be substituted.
  Substituter(const std::vector<EntityTokenPair>& pairs, std::string_view text);

  // The occurrences that one scan of a stretch finds, in text order.
  struct RawOccurrence {
    std::size_t end;
    std::uint32_t pattern;
  };

  // Whether scan_stretch may run on another thread while this one substitutes.
  bool scans_concurrently() const { return automaton_.complete(); }
  // Appends the occurrences of `stretch` that substitute would collect to `found`; reads only
  // the automaton, with `words` of its own.
  void scan_stretch(std::string_view stretch, WordTest& words,
                    std::vector<RawOccurrence>& found);

  // Appends the substituted `stretch` to `out`; `scanned`, if given, holds what scan_stretch
  // found in it.
  void substitute(std::string_view stretch, std::string& out,
                  std::span<const RawOccurrence> scanned = {}, bool was_scanned = false);

 private:
  void collect_occurrences(std::string_view stretch);
  void group_occurrences();
  void apply_pair(std::uint32_t pair, std::string_view stretch);
  bool needs_current_text(std::uint32_t pattern) const;
  void replace_in_original(std::uint32_t pattern, std::string_view stretch);
  void replace_in_runs(std::uint32_t pattern);
  void replace_in_current(std::uint32_t pattern, std::string_view token);
  void note_inserted_token(std::uint32_t pair, bool cut);
  void mark_all_inside(std::uint32_t holder, std::uint32_t current);
  void mark(std::uint32_t pattern, std::uint32_t holder, std::uint32_t current);
  static std::uint64_t mark_of(std::uint32_t pair) { return std::uint64_t{1} << (pair & 63); }

  const std::vector<EntityTokenPair>& pairs_;
  EntityAutomaton automaton_;
  WordTest words_;

  // What may be inserted, and which pairs could match where text was inserted.
  bool bracketed_tokens_ = true;
  std::vector<std::uint8_t> pattern_meets_inserted_;     // with bracketed tokens
  std::vector<std::uint8_t> pattern_shares_token_char_;  // without
  std::vector<std::uint32_t> risky_pairs_;  // pairs that may match with no occurrence of their own

  // Per-stretch state, reused.
  std::uint32_t stretch_stamp_ = 0;
  bool any_inserted_ = false;
  bool empty_inserted_ = false;  // an empty token has joined the text around what it replaced
  StretchText text_;
  std::vector<std::uint32_t> token_noted_;  // per pair: stamp of the stretch it inserted in
  std::vector<std::uint32_t> in_token_;     // per pattern: stamp when found in an inserted token
  std::vector<std::uint64_t> token_marks_;  // per pattern: marks of the tokens it was found in
  // Per pair, the bracket-free patterns with an occurrence inside its token that could be
  // replaced among its neighbours there: viable_[begin, end), kUnknown until the token is first
  // inserted.
  static constexpr std::uint32_t kUnknown = UINT32_MAX;
  std::vector<std::uint32_t> viable_begin_;
  std::vector<std::uint32_t> viable_end_;
  std::vector<std::uint32_t> viable_;
  std::vector<std::uint32_t> noted_pairs_;  // pairs that inserted their token in the stretch
  bool cut_anywhere_ = false;               // text was replaced inside inserted text
  // Occurrences: `raw_` in text order, then their ends grouped by pattern in `ends_`; the group
  // of a pattern is [occurrence_begin_, occurrence_end_) when occurrence_stamp_ is current.
  std::vector<RawOccurrence> raw_;
  std::vector<std::size_t> ends_;
  std::vector<std::uint32_t> occurrence_stamp_;
  std::vector<std::size_t> occurrence_begin_;
  std::vector<std::size_t> occurrence_end_;
  std::vector<std::uint32_t> touched_;  // patterns with occurrences
  std::vector<std::uint64_t> todo_;     // pairs to run, a bit each
  std::vector<std::uint32_t> later_;    // pairs found to need a run on the way, a min-heap
  // Scratch for one pair.
  std::vector<Range> replaced_;
  std::vector<Range> run_matches_;
  std::vector<Range> run_ranges_;
  std::vector<std::pair<std::size_t, std::vector<Range>>> run_edits_;
  FoldedText folded_;
  std::vector<std::size_t> border_;
  std::vector<std::size_t> starts_;
};

Substituter::Substituter(const std::vector<EntityTokenPair>& pairs, std::string_view text)
    : pairs_(pairs), automaton_(pairs, PatternFilter(text, pairs), text.size()) {
  const std::size_t patterns = automaton_.pattern_count();
  // Tokens are tracked per pair (case variants repeat a token, which only costs a second
  // look at it); pairs without a pattern never insert theirs.
  bool empty_token = false;
  for (std::uint32_t i = 0; i < pairs.size(); ++i) {
    if (automaton_.pattern_of(i) == EntityAutomaton::kNone) continue;
    const std::string_view token = pairs[i].token;
    if (token.size() < 2 || token.front() != '[' || token.back() != ']') {
      bracketed_tokens_ = false;
    }
    if (token.empty()) empty_token = true;
  }

  if (bracketed_tokens_) {
    // A bracket in inserted text is a token's, and its neighbour inside the run is the
    // token's own or, where a later match cut that neighbour away, the bracket of the token
    // put in its place. So a match that holds part of a run has a '[' followed by a character
    // that follows '[' in a token (or by nothing), or a ']' preceded by one that precedes ']'
    // in a token (or by nothing); bracket-free matches lie inside one run (see 4. above).
    CharSet after_open;
    CharSet before_close;
    after_open.insert('[');
    before_close.insert(']');
    for (std::uint32_t i = 0; i < pairs.size(); ++i) {
      if (automaton_.pattern_of(i) == EntityAutomaton::kNone) continue;
      const std::string_view token = pairs[i].token;
      for (std::size_t k = 0; k < token.size(); ++k) {
        if (token[k] == '[' && k + 1 < token.size()) {
          after_open.insert(fold_char(char_at(token, k + 1)));
        } else if (token[k] == ']' && k > 0) {
          before_close.insert(fold_char(char_before(token, k)));
        }
      }
    }
    pattern_meets_inserted_.assign(patterns, 0);
    for (std::uint32_t id = 0; id < patterns; ++id) {
      if (!automaton_.has_bracket(id)) continue;
      const std::span<const char32_t> chars = automaton_.pattern(id);
      for (std::size_t k = 0; k < chars.size(); ++k) {
        if ((chars[k] == '[' && (k + 1 == chars.size() || after_open.contains(chars[k + 1]))) ||
            (chars[k] == ']' && (k == 0 || before_close.contains(chars[k - 1])))) {
          pattern_meets_inserted_[id] = 1;
        }
      }
    }
  } else {
    pattern_shares_token_char_.assign(patterns, 0);
    std::unordered_set<char32_t> token_chars;
    std::vector<char32_t> folded;
    for (std::uint32_t i = 0; i < pairs.size(); ++i) {
      if (automaton_.pattern_of(i) != EntityAutomaton::kNone) append_folded(folded, pairs[i].token);
    }
    token_chars.insert(folded.begin(), folded.end());
    for (std::uint32_t id = 0; id < patterns; ++id) {
      for (const char32_t c : automaton_.pattern(id)) {
        if (token_chars.contains(c)) pattern_shares_token_char_[id] = 1;
      }
    }
  }
  for (std::uint32_t i = 0; i < pairs.size(); ++i) {
    const std::uint32_t id = automaton_.pattern_of(i);
    if (id == EntityAutomaton::kNone) continue;
    const bool risky = bracketed_tokens_ ? pattern_meets_inserted_[id] != 0
                                         : pattern_shares_token_char_[id] != 0 ||
                                               (empty_token && automaton_.pattern_length(id) > 1);
    if (risky) risky_pairs_.push_back(i);
  }
  token_noted_.assign(pairs.size(), 0);
  todo_.assign((pairs.size() + 63) / 64, 0);
  if (bracketed_tokens_) {
    viable_begin_.assign(pairs.size(), kUnknown);
    viable_end_.assign(pairs.size(), kUnknown);
  }
  in_token_.assign(patterns, 0);
  token_marks_.assign(patterns, 0);
  occurrence_stamp_.assign(patterns, 0);
  occurrence_begin_.assign(patterns, 0);
  occurrence_end_.assign(patterns, 0);
}

bool Substituter::needs_current_text(std::uint32_t pattern) const {
  if (!any_inserted_) return false;
  if (bracketed_tokens_) return pattern_meets_inserted_[pattern] != 0;
  return pattern_shares_token_char_[pattern] != 0 ||
         (empty_inserted_ && automaton_.pattern_length(pattern) > 1);
}

void Substituter::scan_stretch(std::string_view stretch, WordTest& words,
                               std::vector<RawOccurrence>& found) {
  // With bracketed tokens, some occurrences can never match, whatever is inserted later: one
  // ending in a non-word character before another (the next character stays one, or becomes
  // '['), and one ending in an ASCII word character before a word character. The latter would
  // need a run to start right after it, and a match that starts there is left unreplaced for
  // that very character (runs only grow, so it is in the current text whenever the occurrence
  // is intact).
  const auto possible = [&](std::size_t end, char32_t last) {
    if (!bracketed_tokens_) return true;
    bool next_word = false;
    if (end < stretch.size()) {
      const auto next = static_cast<unsigned char>(stretch[end]);
      next_word = next < 0x80 ? is_ascii_word(next) : words.is_word(char_at(stretch, end));
    }
    return words.is_word(last) ? !next_word || last >= 0x80 : next_word;
  };
  automaton_.scan(
      stretch, [&](std::uint32_t id, std::size_t end, char32_t) { found.push_back({end, id}); },
      possible);
}

void Substituter::collect_occurrences(std::string_view stretch) {
  raw_.clear();
  scan_stretch(stretch, words_, raw_);
  group_occurrences();
}

// Groups raw_ by pattern, keeping text order within a group.
void Substituter::group_occurrences() {
  touched_.clear();
  for (const RawOccurrence& occurrence : raw_) {
    const std::uint32_t id = occurrence.pattern;
    if (occurrence_stamp_[id] != stretch_stamp_) {
      occurrence_stamp_[id] = stretch_stamp_;
      occurrence_end_[id] = 0;
      touched_.push_back(id);
    }
    ++occurrence_end_[id];
  }
  // occurrence_end_ holds the counts and becomes each group's fill position.
  std::size_t total = 0;
  for (const std::uint32_t id : touched_) {
    const std::size_t count = occurrence_end_[id];
    occurrence_begin_[id] = total;
    occurrence_end_[id] = total;
    total += count;
  }
  ends_.resize(total);
  for (const RawOccurrence& occurrence : raw_) {
    ends_[occurrence_end_[occurrence.pattern]++] = occurrence.end;
  }
}

void Substituter::replace_in_original(std::uint32_t pattern, std::string_view stretch) {
  const std::size_t length = automaton_.pattern_length(pattern);
  std::size_t frontier = 0;
  for (std::size_t k = occurrence_begin_[pattern]; k < occurrence_end_[pattern]; ++k) {
    // The closing boundary first, as most occurrences end inside a word. A candidate with
    // inserted text in it is no occurrence; its last byte is checked here, the rest below.
    const std::size_t e = ends_[k];
    if (!text_.intact(e - 1, e)) continue;
    if (!words_.holds(last_char(stretch, e), text_.next_after(e))) continue;
    const std::size_t s = match_start(stretch, e, length);
    if (s < frontier || !text_.intact(s, e)) continue;
    frontier = e;
    if (!blocks(text_.before(s))) replaced_.push_back({s, e});
  }
}

// Occurrences inside runs of inserted text; with bracketed tokens and a bracket-free pattern
// each lies inside one run, its neighbours too (see 4. above). Such a pattern is a piece of a
// token, so a plain search serves; an ASCII pattern in an ASCII run is compared byte by byte.
void Substituter::replace_in_runs(std::uint32_t pattern) {
  const std::span<const char32_t> chars = automaton_.pattern(pattern);
  const bool ascii_pattern = std::ranges::all_of(chars, [](char32_t c) { return c < 0x80; });
  run_edits_.clear();
  const std::uint64_t holders = token_marks_[pattern];
  text_.for_each_run([&](std::size_t run, std::string_view inserted, std::uint64_t marks) {
    if ((marks & holders) == 0 || inserted.size() < chars.size()) return;
    run_matches_.clear();
    if (ascii_pattern && is_ascii(inserted)) {
      for (std::size_t a = 0; a + chars.size() <= inserted.size(); ++a) {
        std::size_t k = 0;
        while (k < chars.size() &&
               kAsciiFold[static_cast<unsigned char>(inserted[a + k])] == chars[k]) {
          ++k;
        }
        if (k == chars.size()) run_matches_.push_back({a, a + k});
      }
    } else {
      fold_text(inserted, folded_);
      find_all(folded_.chars, chars, border_, starts_);
      for (const std::size_t first : starts_) {
        run_matches_.push_back({folded_.offsets[first], folded_.offsets[first + chars.size()]});
      }
    }
    run_ranges_.clear();
    std::size_t frontier = 0;
    for (const auto [a, b] : run_matches_) {
      if (a < frontier || a == 0 || b == inserted.size()) continue;  // a bracket would be in it
      Surroundings around;
      around.before = {false, static_cast<unsigned char>(inserted[a - 1])};
      around.next = char_at(inserted, b);
      const Verdict verdict = judge(around, last_char(inserted, b), words_);
      if (verdict == Verdict::kNoMatch) continue;
      frontier = b;
      if (verdict == Verdict::kReplaced) run_ranges_.push_back({a, b});
    }
    if (!run_ranges_.empty()) run_edits_.emplace_back(run, run_ranges_);
  });
}

void Substituter::replace_in_current(std::uint32_t pattern, std::string_view token) {
  std::vector<StretchText::Piece> layout;
  const std::string current = text_.current(layout);
  fold_text(current, folded_);
  const std::span<const char32_t> chars = automaton_.pattern(pattern);
  find_all(folded_.chars, chars, border_, starts_);
  std::size_t frontier = 0;
  for (const std::size_t first : starts_) {
    const std::size_t s = folded_.offsets[first];
    const std::size_t e = folded_.offsets[first + chars.size()];
    if (s < frontier) continue;
    Surroundings around;
    if (s > 0) around.before = {false, static_cast<unsigned char>(current[s - 1])};
    if (e < current.size()) around.next = char_at(current, e);
    const Verdict verdict = judge(around, last_char(current, e), words_);
    if (verdict == Verdict::kNoMatch) continue;
    frontier = e;
    if (verdict == Verdict::kReplaced) replaced_.push_back({s, e});
  }
  if (!replaced_.empty()) text_.replace_current(layout, current.size(), replaced_, token);
}

// With bracketed tokens, the entity texts inside a token just inserted may now match inside
// inserted text: their later pairs are queued (marked), and search the runs when their turn
// comes. An occurrence inside a token is judged against its neighbours there, which stay as
// long as nothing is replaced inside inserted text. Once something is (`cut`), by the search of
// runs or the materialised path, everything inside the tokens of the stretch counts.
void Substituter::note_inserted_token(std::uint32_t pair, bool cut) {
  if (cut && !cut_anywhere_) {
    cut_anywhere_ = true;
    for (const std::uint32_t noted : noted_pairs_) mark_all_inside(noted, pair);
  }
  if (token_noted_[pair] == stretch_stamp_) return;
  token_noted_[pair] = stretch_stamp_;
  noted_pairs_.push_back(pair);
  if (cut_anywhere_) {
    mark_all_inside(pair, pair);
    return;
  }
  if (viable_begin_[pair] == kUnknown) {
    // Only an occurrence after a byte that does not block can be replaced.
    const std::string_view token = pairs_[pair].token;
    viable_begin_[pair] = static_cast<std::uint32_t>(viable_.size());
    for (std::size_t start = 1; start + 1 < token.size(); ++start) {
      const auto before = static_cast<unsigned char>(token[start - 1]);
      if (blocks_match(before) || (static_cast<unsigned char>(token[start]) & 0xC0) == 0x80) {
        continue;
      }
      automaton_.walk(token, start, [&](std::uint32_t id, std::size_t end, char32_t last) {
        if (end == token.size() || automaton_.has_bracket(id)) return;
        const Surroundings around{{false, before}, char_at(token, end)};
        if (judge(around, last, words_) == Verdict::kReplaced) viable_.push_back(id);
      });
    }
    viable_end_[pair] = static_cast<std::uint32_t>(viable_.size());
  }
  for (std::uint32_t k = viable_begin_[pair]; k < viable_end_[pair]; ++k) {
    mark(viable_[k], pair, pair);
  }
}

void Substituter::mark_all_inside(std::uint32_t holder, std::uint32_t current) {
  automaton_.scan(
      pairs_[holder].token,
      [&](std::uint32_t id, std::size_t, char32_t) {
        if (!automaton_.has_bracket(id)) mark(id, holder, current);
      },
      [](std::size_t, char32_t) { return true; });
}

void Substituter::mark(std::uint32_t pattern, std::uint32_t holder, std::uint32_t current) {
  if (in_token_[pattern] == stretch_stamp_) {
    token_marks_[pattern] |= mark_of(holder);
    return;
  }
  in_token_[pattern] = stretch_stamp_;
  token_marks_[pattern] = mark_of(holder);
  for (const std::uint32_t other : automaton_.pairs_of(pattern)) {
    if (other > current) {
      later_.push_back(other);
      std::push_heap(later_.begin(), later_.end(), std::greater<>());
    }
  }
}

void Substituter::apply_pair(std::uint32_t pair, std::string_view stretch) {
  const std::uint32_t id = automaton_.pattern_of(pair);
  const std::string_view token = pairs_[pair].token;
  replaced_.clear();
  bool inserted = false;
  bool cut = false;  // text went in somewhere other than in place of original text
  if (needs_current_text(id)) {
    replace_in_current(id, token);
    inserted = cut = !replaced_.empty();
  } else {
    if (occurrence_stamp_[id] == stretch_stamp_) replace_in_original(id, stretch);
    if (bracketed_tokens_ && in_token_[id] == stretch_stamp_) {
      replace_in_runs(id);
      // Runs keep their original ranges, so these edits go in before any new run merges.
      for (const auto& [run, ranges] : run_edits_) {
        text_.replace_inserted(run, ranges, token, mark_of(pair));
      }
      inserted = cut = !run_edits_.empty();
    }
    if (!replaced_.empty()) {
      text_.replace(replaced_, token, mark_of(pair));
      inserted = true;
    }
  }
  if (!inserted) return;
  any_inserted_ = true;
  if (token.empty()) empty_inserted_ = true;
  if (bracketed_tokens_) note_inserted_token(pair, cut);
}

void Substituter::substitute(std::string_view stretch, std::string& out,
                             std::span<const RawOccurrence> scanned, bool was_scanned) {
  if (automaton_.pattern_count() == 0) {
    out.append(stretch);
    return;
  }
  ++stretch_stamp_;
  if (was_scanned) {
    raw_.assign(scanned.begin(), scanned.end());
    group_occurrences();
  } else {
    collect_occurrences(stretch);
  }
  if (raw_.empty()) {
    out.append(stretch);  // nothing will be inserted, so nothing can match inside a token
    return;
  }
  const auto mark_todo = [&](std::uint32_t pair) {
    todo_[pair >> 6] |= std::uint64_t{1} << (pair & 63);
  };
  for (const std::uint32_t id : touched_) {
    for (const std::uint32_t pair : automaton_.pairs_of(id)) mark_todo(pair);
  }
  for (const std::uint32_t pair : risky_pairs_) mark_todo(pair);

  text_.reset(stretch, bracketed_tokens_);
  any_inserted_ = false;
  empty_inserted_ = false;
  later_.clear();
  noted_pairs_.clear();
  cut_anywhere_ = false;
  // The marked pairs in order, merged with those found on the way, each once.
  std::optional<std::uint32_t> previous;
  const auto run_later_before = [&](std::uint64_t limit) {
    while (!later_.empty() && later_.front() < limit) {
      std::pop_heap(later_.begin(), later_.end(), std::greater<>());
      const std::uint32_t pair = later_.back();
      later_.pop_back();
      if (previous && pair <= *previous) continue;
      previous = pair;
      apply_pair(pair, stretch);
    }
  };
  for (std::size_t word = 0; word < todo_.size(); ++word) {
    for (std::uint64_t bits = std::exchange(todo_[word], 0); bits != 0; bits &= bits - 1) {
      const auto pair = static_cast<std::uint32_t>(word * 64 + std::countr_zero(bits));
      run_later_before(pair);
      if (previous && pair <= *previous) continue;
      previous = pair;
      apply_pair(pair, stretch);
    }
  }
  run_later_before(UINT64_MAX);
  text_.append_to(out);
}

// All forward entries, longest entity text first, equal lengths in the map's order: the order
// of sorted_forward_pairs, by a counting sort on the lengths where they are not too spread out.
std::vector<EntityTokenPair> forward_pairs_longest_first(const TokenMap& map) {
  std::vector<EntityTokenPair> pairs;
  pairs.reserve(map.forward.size());
  std::size_t longest = 0;
  for (const auto& [entity, token] : map.forward) {
    if (!is_whole_token(token)) continue;  // as sorted_forward_pairs
    pairs.push_back({entity, token});
    longest = std::max(longest, entity.size());
  }
  if (longest > 4 * pairs.size() + 1024) {
    std::stable_sort(pairs.begin(), pairs.end(), [](const auto& a, const auto& b) {
      return a.entity.size() > b.entity.size();
    });
    return pairs;
  }
  std::vector<std::size_t> slot(longest + 2, 0);  // by longest - length
  for (const EntityTokenPair& pair : pairs) ++slot[longest - pair.entity.size() + 1];
  for (std::size_t k = 1; k < slot.size(); ++k) slot[k] += slot[k - 1];
  std::vector<EntityTokenPair> sorted(pairs.size());
  for (const EntityTokenPair& pair : pairs) sorted[slot[longest - pair.entity.size()]++] = pair;
  return sorted;
}

// Room for the output: tokens usually lengthen a text a little; growing a long output by
// doubling would hold the old and the new copy at once. Room that is never written costs
// address space only.
std::size_t output_room(std::size_t text_bytes) { return text_bytes + text_bytes / 2 + 64; }

}  // namespace

std::string fast_substitute_segment(std::string_view segment,
                                    const std::vector<EntityTokenPair>& pairs) {
  Substituter substituter(pairs, segment);
  std::string out;
  out.reserve(output_room(segment.size()));
  substituter.substitute(segment, out);
  return out;
}

std::string fast_apply_token_map(std::string_view text, const TokenMap& map,
                                 std::size_t second_thread_bytes) {
  if (map.forward.empty()) return std::string(text);
  const std::vector<EntityTokenPair> pairs = forward_pairs_longest_first(map);
  Substituter substituter(pairs, text);
  // The stretches between code regions, each followed by the code after it (maybe none).
  struct Piece {
    std::string_view stretch;
    std::string_view code;
  };
  std::vector<Piece> pieces;
  std::size_t stretch_bytes = 0;
  std::size_t cursor = 0;
  for (const CodeRegion& region : find_code_regions(text)) {
    pieces.push_back({text.substr(cursor, region.start - cursor),
                      text.substr(region.start, region.end - region.start)});
    stretch_bytes += region.start - cursor;
    cursor = region.end;
  }
  pieces.push_back({text.substr(cursor), {}});
  stretch_bytes += text.size() - cursor;

  // On a long text a second thread scans the stretches from `split` on while this one scans and
  // substitutes those before, then substitutes the rest with what was found. Scanning is most
  // of the work, so the second thread takes the larger share.
  std::size_t split = pieces.size();
  std::vector<Substituter::RawOccurrence> found;
  std::vector<std::size_t> found_end;  // per piece from `split` on: its end in `found`
  std::optional<SecondThread> second;
  if (stretch_bytes >= second_thread_bytes && substituter.scans_concurrently()) {
    std::size_t before = 0;
    for (split = 0; split + 1 < pieces.size() && 5 * before < 2 * stretch_bytes; ++split) {
      before += pieces[split].stretch.size();
    }
    if (split == 0) split = pieces.size();  // one stretch: nothing to share
  }
  if (split < pieces.size()) {
    second.emplace([&] {
      WordTest words;
      for (std::size_t k = split; k < pieces.size(); ++k) {
        substituter.scan_stretch(pieces[k].stretch, words, found);
        found_end.push_back(found.size());
      }
    });
  }

  std::string out;
  out.reserve(output_room(text.size()));
  for (std::size_t k = 0; k < pieces.size(); ++k) {
    if (k < split) {
      if (!pieces[k].stretch.empty()) substituter.substitute(pieces[k].stretch, out);
    } else {
      if (k == split) second->wait();
      const std::size_t begin = k == split ? 0 : found_end[k - split - 1];
      const std::span<const Substituter::RawOccurrence> scanned(found.data() + begin,
                                                                found_end[k - split] - begin);
      if (!pieces[k].stretch.empty()) {
        substituter.substitute(pieces[k].stretch, out, scanned, /*was_scanned=*/true);
      }
    }
    out.append(pieces[k].code);
  }
  return out;
}

std::string fast_deanonymize(std::string_view text, const TokenMap& map) {
  // Only whole tokens are restored, so the token shapes of the text are all there is to look
  // at. The text that a token shape is restored to, if any.
  const auto restoration = [&](std::string_view token) -> std::optional<std::string_view> {
    const auto it = map.reverse.find(token);
    if (it == map.reverse.end() || find_token(it->second)) return std::nullopt;
    return std::string_view(it->second);
  };

  std::string out;
  out.reserve(text.size());
  std::vector<Range> restored;  // in `out`
  std::size_t copied = 0;
  for (auto token = find_token(text); token; token = find_token(text, token->end)) {
    const auto entity = restoration(text.substr(token->start, token->end - token->start));
    if (!entity) continue;
    out.append(text.substr(copied, token->start - copied));
    restored.push_back({out.size(), out.size() + entity->size()});
    out.append(*entity);
    copied = token->end;
  }
  out.append(text.substr(copied));

  // Restored text holds no token of its own, but may complete one with its neighbours (or,
  // when empty, join two neighbours into one). The literal algorithm would replace such a
  // token if it is a key that comes later in its order.
  std::size_t k = 0;
  for (auto token = find_token(out); token && k < restored.size();
       token = find_token(out, token->end)) {
    while (k < restored.size() && restored[k].end <= token->start) ++k;
    if (k == restored.size()) break;
    const bool overlaps = restored[k].start < token->end;
    if (overlaps &&
        restoration(std::string_view(out).substr(token->start, token->end - token->start))) {
      return deanonymize_literal(text, map);
    }
  }
  return out;
}

}  // namespace velk
