// Fast forward and reverse substitution, equal in result to the literal algorithms.
//
// Forward. One Aho-Corasick scan over the case-folded stretch finds every occurrence of every
// entity text. The pairs are then taken in their order; each one picks its matches from its own
// occurrences, judged against the current text, which is kept as the original stretch plus a
// record of the byte ranges that now hold inserted text. A pair whose text could match inside
// or across inserted text is instead run over the materialised current text. With many entity
// texts and a short text, those that can never match are dropped before the automaton is built.
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
//     token into pieces, a bracket of the newly inserted token lies next to the cut. So a match
//     overlapping inserted text either holds a bracket, or lies inside the bracket-free part of
//     one piece and is then an occurrence of the entity inside a token already inserted in
//     this stretch. Such pairs, and only they, take the materialised path; in that case the
//     entity text is found in the tokens by the same automaton. With other tokens, a pair takes
//     the materialised path whenever its text shares a folded character with any token and
//     something has been inserted, or, once an empty token has cut text out, whenever its text
//     is long enough to span the cut (two characters or more).
//
// Reverse. When every token to restore is a whole token shape, occurrences of different tokens
// cannot overlap, and one scan for token shapes finds exactly the occurrences the literal
// algorithm replaces key by key, unless restored text forms a new token with its neighbours.
// The result is checked for such new tokens; where one is a key, the literal algorithm runs.
#include "velk/fast_substitution.h"

#include <unicode/uchar.h>

#include <algorithm>
#include <cstdint>
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

// Simple case folding of one code point: the relation PCRE2's caseless matching uses.
char32_t fold_char(char32_t c) {
  if (c < 0x80) return (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c;
  return static_cast<char32_t>(u_foldCase(static_cast<UChar32>(c), U_FOLD_CASE_DEFAULT));
}

void append_folded(std::vector<char32_t>& out, std::string_view text) {
  for (std::size_t p = 0; p < text.size();) {
    const auto byte = static_cast<unsigned char>(text[p]);
    if (byte < 0x80) {
      out.push_back(fold_char(byte));
      ++p;
      continue;
    }
    const DecodedChar ch = decode_utf8(text, p);
    out.push_back(fold_char(ch.code_point));
    p += ch.length;
  }
}

// A text as folded code points, with the byte offset where each one starts and the text's end.
struct FoldedText {
  std::vector<char32_t> chars;
  std::vector<std::size_t> offsets;
};

FoldedText fold_text(std::string_view text) {
  FoldedText folded;
  folded.chars.reserve(text.size());
  folded.offsets.reserve(text.size() + 1);
  for (std::size_t p = 0; p < text.size();) {
    folded.offsets.push_back(p);
    const auto byte = static_cast<unsigned char>(text[p]);
    if (byte < 0x80) {
      folded.chars.push_back(fold_char(byte));
      ++p;
      continue;
    }
    const DecodedChar ch = decode_utf8(text, p);
    folded.chars.push_back(fold_char(ch.code_point));
    p += ch.length;
  }
  folded.offsets.push_back(text.size());
  return folded;
}

// The byte before a match that leaves it unreplaced. A byte of a multi-byte character never
// does, as only ASCII characters block.
bool blocks_match(unsigned char before) {
  return (before >= 'a' && before <= 'z') || (before >= 'A' && before <= 'Z') ||
         (before >= '0' && before <= '9') || before == '_' || before == '/' || before == '@';
}

// Word characters as the literal pattern's closing boundary sees them. Non-ASCII characters are
// put to that boundary itself (the pattern of an empty entity), once per character and call.
class WordTest {
 public:
  WordTest() : match_(boundary()) {}

  bool is_word(char32_t c) {
    if (c < 0x80) {
      return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
    }
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

  // The closing boundary between the last character of a match and the next one, if any.
  bool holds(char32_t last, std::optional<char32_t> next) {
    return is_word(last) != (next && is_word(*next));
  }

 private:
  static const Regex& boundary() {
    static const Regex regex = Regex::compile(entity_pattern(""));
    return regex;
  }

  MatchResult match_;
  std::unordered_map<char32_t, bool> cache_;
};

// ---------------------------------------------------------------------------------------------
// Which entity texts can match at all

// Judges from the characters, and where possible the pairs of adjacent characters, that the
// current text can ever hold: those of the original text and of the tokens. With bracketed
// tokens (see 4. above) two characters meet in the current text only as neighbours in the text,
// as neighbours in a token, or with a bracket on one side. An entity text that needs anything
// else never matches, and its pair is dropped before the automaton is built; with a large map
// and a short text most pairs go. A text long against the entity texts holds most pairs of
// characters anyway, so there the filter stays off rather than cost a pass over the text.
class PatternFilter {
 public:
  PatternFilter(std::string_view text, const std::vector<EntityTokenPair>& pairs) {
    std::size_t entity_bytes = 0;
    for (const EntityTokenPair& pair : pairs) entity_bytes += pair.entity.size();
    if (text.size() >= entity_bytes / 8) return;
    enabled_ = true;
    ascii_chars_.resize(0x80);
    ascii_pairs_.resize(0x80 * 0x80);
    adjacency_known_ = true;
    for (const EntityTokenPair& pair : pairs) {
      const std::string_view token = pair.token;
      if (!pair.entity.empty() &&
          (token.size() < 2 || token.front() != '[' || token.back() != ']')) {
        adjacency_known_ = false;
      }
    }
    add(text);
    for (const EntityTokenPair& pair : pairs) {
      if (!pair.entity.empty()) add(pair.token);
    }
  }

  bool may_match(std::span<const char32_t> pattern) const {
    if (!enabled_) return true;
    for (std::size_t k = 0; k < pattern.size(); ++k) {
      if (!has_char(pattern[k])) return false;
      if (adjacency_known_ && k > 0 && !is_bracket(pattern[k - 1]) && !is_bracket(pattern[k]) &&
          !has_pair(pattern[k - 1], pattern[k])) {
        return false;
      }
    }
    return true;
  }

 private:
  static bool is_bracket(char32_t c) { return c == '[' || c == ']'; }

  void add(std::string_view text) {
    char32_t previous = '[';  // no pair across the start
    for (std::size_t p = 0; p < text.size();) {
      const auto byte = static_cast<unsigned char>(text[p]);
      char32_t c = byte;
      if (byte < 0x80) {
        c = fold_char(byte);
        ++p;
      } else {
        const DecodedChar ch = decode_utf8(text, p);
        c = fold_char(ch.code_point);
        p += ch.length;
      }
      if (c < 0x80) {
        ascii_chars_[c] = true;
      } else {
        other_chars_.insert(c);
      }
      if (adjacency_known_ && !is_bracket(previous) && !is_bracket(c)) {
        if (previous < 0x80 && c < 0x80) {
          ascii_pairs_[previous * 0x80 + c] = true;
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
  bool has_char(char32_t c) const { return c < 0x80 ? ascii_chars_[c] : other_chars_.contains(c); }
  bool has_pair(char32_t a, char32_t b) const {
    return (a < 0x80 && b < 0x80) ? ascii_pairs_[a * 0x80 + b]
                                  : other_pairs_.contains(pair_key(a, b));
  }

  bool enabled_ = false;
  bool adjacency_known_ = false;
  std::vector<bool> ascii_chars_;
  std::vector<bool> ascii_pairs_;  // indexed by first * 0x80 + second
  std::unordered_set<char32_t> other_chars_;
  std::unordered_set<std::uint64_t> other_pairs_;
};

// ---------------------------------------------------------------------------------------------
// Aho-Corasick automaton over the distinct folded entity texts

class EntityAutomaton {
 public:
  static constexpr std::uint32_t kNone = UINT32_MAX;

  // Pairs with an empty entity text, or whose text the filter rules out, get no pattern.
  EntityAutomaton(const std::vector<EntityTokenPair>& pairs, const PatternFilter& filter);

  std::uint32_t pattern_of(std::size_t pair) const { return pair_pattern_[pair]; }
  std::size_t pattern_count() const { return pattern_begin_.size(); }
  std::span<const char32_t> pattern(std::uint32_t id) const {
    return {chars_.data() + pattern_begin_[id], pattern_length_[id]};
  }
  // The pairs whose entity folds to pattern `id`, in pair order.
  std::span<const std::uint32_t> pairs_of(std::uint32_t id) const {
    return {pattern_pairs_.data() + pattern_pairs_begin_[id],
            pattern_pairs_begin_[id + 1] - pattern_pairs_begin_[id]};
  }

  // Calls found(pattern, index of the occurrence's last character) for every occurrence of
  // every pattern in `text`, in increasing order of the end.
  template <class Found>
  void scan(std::span<const char32_t> text, Found&& found) const {
    std::uint32_t state = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
      const char32_t c = text[i];
      for (;;) {
        const std::uint32_t next = child(state, c);
        if (next != 0) {
          state = next;
          break;
        }
        if (state == 0) break;
        state = fail_[state];
      }
      for (std::uint32_t node = terminal_[state] != kNone ? state : output_[state]; node != 0;
           node = output_[node]) {
        found(terminal_[node], i);
      }
    }
  }

 private:
  // The child of `node` reached by `c`, or 0 (the root is nobody's child).
  std::uint32_t child(std::uint32_t node, char32_t c) const {
    if (node == 0 && c < 0x80) return root_ascii_[c];
    const std::uint32_t begin = first_child_[node];
    const std::uint32_t end = first_child_[node + 1];
    if (end - begin <= 8) {
      for (std::uint32_t k = begin; k < end; ++k) {
        if (node_char_[k] == c) return k;
      }
      return 0;
    }
    const auto first = node_char_.begin() + begin;
    const auto last = node_char_.begin() + end;
    const auto it = std::lower_bound(first, last, c);
    return (it != last && *it == c) ? static_cast<std::uint32_t>(it - node_char_.begin()) : 0;
  }

  std::vector<char32_t> chars_;  // folded entity texts, one after another
  std::vector<std::uint32_t> pair_pattern_;
  std::vector<std::size_t> pattern_begin_;
  std::vector<std::size_t> pattern_length_;
  std::vector<std::uint32_t> pattern_pairs_begin_;
  std::vector<std::uint32_t> pattern_pairs_;

  // Nodes are numbered breadth first, and the children of one node in increasing order of
  // their character, so the children of node n are the nodes first_child_[n] up to
  // first_child_[n + 1]. Node 0 is the root.
  std::vector<char32_t> node_char_;  // the character that leads to the node
  std::vector<std::uint32_t> first_child_;
  std::vector<std::uint32_t> root_ascii_;
  std::vector<std::uint32_t> fail_;
  std::vector<std::uint32_t> terminal_;  // pattern ending at the node, or kNone
  std::vector<std::uint32_t> output_;    // nearest proper suffix node with a pattern, or 0
};

EntityAutomaton::EntityAutomaton(const std::vector<EntityTokenPair>& pairs,
                                 const PatternFilter& filter)
    : pair_pattern_(pairs.size(), kNone) {
  // Fold every entity text; identical folds share one pattern.
  std::vector<std::size_t> fold_begin(pairs.size() + 1, 0);
  for (std::size_t i = 0; i < pairs.size(); ++i) {
    fold_begin[i] = chars_.size();
    append_folded(chars_, pairs[i].entity);
  }
  fold_begin[pairs.size()] = chars_.size();
  const auto folded = [&](std::size_t pair) {
    return std::span<const char32_t>(chars_.data() + fold_begin[pair],
                                     fold_begin[pair + 1] - fold_begin[pair]);
  };

  // Sort the folds: first by their first three characters packed into one integer (a code
  // point plus one fits 21 bits, and 0 stands for "none", which sorts first), then each run of
  // equal keys by the whole fold.
  std::vector<std::pair<std::uint64_t, std::uint32_t>> keyed;
  keyed.reserve(pairs.size());
  for (std::size_t i = 0; i < pairs.size(); ++i) {
    const auto text = folded(i);
    if (text.empty() || !filter.may_match(text)) continue;
    std::uint64_t key = 0;
    for (std::size_t k = 0; k < 3; ++k) key = (key << 21) | (k < text.size() ? text[k] + 1 : 0);
    keyed.emplace_back(key, static_cast<std::uint32_t>(i));
  }
  std::sort(keyed.begin(), keyed.end());
  std::vector<std::uint32_t> order(keyed.size());
  for (std::size_t k = 0; k < keyed.size(); ++k) order[k] = keyed[k].second;
  for (std::size_t k = 0; k < keyed.size();) {
    std::size_t end = k + 1;
    while (end < keyed.size() && keyed[end].first == keyed[k].first) ++end;
    if (end - k > 1) {
      std::sort(order.begin() + k, order.begin() + end, [&](std::uint32_t a, std::uint32_t b) {
        const auto fa = folded(a);
        const auto fb = folded(b);
        return std::lexicographical_compare(fa.begin(), fa.end(), fb.begin(), fb.end());
      });
    }
    k = end;
  }

  // Distinct patterns, in sorted order.
  for (const std::uint32_t pair : order) {
    const auto text = folded(pair);
    if (!pattern_begin_.empty() && std::ranges::equal(text, pattern(pattern_begin_.size() - 1))) {
      pair_pattern_[pair] = static_cast<std::uint32_t>(pattern_begin_.size() - 1);
      continue;
    }
    pair_pattern_[pair] = static_cast<std::uint32_t>(pattern_begin_.size());
    pattern_begin_.push_back(fold_begin[pair]);
    pattern_length_.push_back(text.size());
  }

  // Build the trie one depth at a time. Patterns sharing a prefix are adjacent in sorted
  // order, so the nodes of one depth come out grouped by parent and, within a parent, in
  // increasing order of their character: breadth-first numbering.
  const std::size_t patterns = pattern_begin_.size();
  std::vector<std::uint32_t> parent(1, 0);
  node_char_.assign(1, 0);
  terminal_.assign(1, kNone);
  parent.reserve(chars_.size() + 1);
  node_char_.reserve(chars_.size() + 1);
  terminal_.reserve(chars_.size() + 1);
  std::vector<std::uint32_t> at(patterns, 0);  // node of each pattern's prefix so far
  std::vector<std::uint32_t> active(patterns);
  for (std::uint32_t id = 0; id < patterns; ++id) active[id] = id;
  for (std::size_t depth = 0; !active.empty(); ++depth) {
    const std::size_t level_start = node_char_.size();
    std::size_t kept = 0;
    for (const std::uint32_t id : active) {
      const char32_t c = chars_[pattern_begin_[id] + depth];
      const std::uint32_t from = at[id];
      const std::size_t last = node_char_.size() - 1;
      if (last < level_start || parent[last] != from || node_char_[last] != c) {
        parent.push_back(from);
        node_char_.push_back(c);
        terminal_.push_back(kNone);
      }
      at[id] = static_cast<std::uint32_t>(node_char_.size() - 1);
      if (pattern_length_[id] == depth + 1) {
        terminal_[at[id]] = id;
      } else {
        active[kept++] = id;
      }
    }
    active.resize(kept);
  }
  const std::size_t nodes = node_char_.size();
  first_child_.assign(nodes + 1, 0);
  for (std::size_t n = 1; n < nodes; ++n) ++first_child_[parent[n] + 1];
  first_child_[0] = 1;
  for (std::size_t n = 0; n < nodes; ++n) first_child_[n + 1] += first_child_[n];
  root_ascii_.assign(0x80, 0);
  for (std::uint32_t n = first_child_[0]; n < first_child_[1]; ++n) {
    if (node_char_[n] < 0x80) root_ascii_[node_char_[n]] = n;
  }

  // Failure and output links, in node order, which is breadth first; children of the root
  // keep the root.
  fail_.assign(nodes, 0);
  output_.assign(nodes, 0);
  for (std::uint32_t node = first_child_[1]; node < nodes; ++node) {
    const char32_t c = node_char_[node];
    std::uint32_t f = fail_[parent[node]];
    for (;;) {
      const std::uint32_t next = child(f, c);
      if (next != 0) {
        f = next;
        break;
      }
      if (f == 0) break;
      f = fail_[f];
    }
    fail_[node] = f;
    output_[node] = terminal_[f] != kNone ? f : output_[f];
  }

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
}

// All start indices of `pattern` in `text`, left to right (overlapping ones included).
std::vector<std::size_t> find_all(std::span<const char32_t> text,
                                  std::span<const char32_t> pattern) {
  std::vector<std::size_t> starts;
  if (pattern.empty() || pattern.size() > text.size()) return starts;
  std::vector<std::size_t> border(pattern.size(), 0);
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
  return starts;
}

// ---------------------------------------------------------------------------------------------
// The current text of one stretch

struct Range {
  std::size_t start;
  std::size_t end;
};

// What the literal algorithm looks at around a candidate [s, e) of the current text.
struct Surroundings {
  bool intact = true;    // the candidate is contiguous original text
  bool at_start = true;  // nothing precedes it
  unsigned char before = 0;
  std::optional<char32_t> next;
};

// The literal algorithm's verdict on an occurrence that starts at or after the end of the
// previous match.
enum class Verdict { kNoMatch, kKept, kReplaced };

Verdict judge(const Surroundings& around, char32_t last, WordTest& words) {
  if (!words.holds(last, around.next)) return Verdict::kNoMatch;
  if (!around.at_start && blocks_match(around.before)) return Verdict::kKept;
  return Verdict::kReplaced;
}

// The original stretch with some byte ranges replaced by inserted text. Ranges are disjoint
// and never touch: replacements that meet are merged, so at least one original byte lies
// between two ranges, and an empty range always carries inserted text.
class StretchText {
 public:
  explicit StretchText(std::string_view original) : original_(original) {}

  Surroundings around(std::size_t s, std::size_t e) const;

  // Replaces the original ranges (sorted, disjoint, each contiguous original text) by `token`.
  void replace(std::span<const Range> ranges, std::string_view token);

  // A piece of the materialised current text.
  struct Piece {
    std::size_t current_begin;
    std::size_t length;
    bool original;
    std::size_t original_begin;  // when original
    std::string_view inserted;   // otherwise
  };

  // The current text, and where its pieces come from.
  std::string current(std::vector<Piece>& layout) const;

  // Replaces the ranges (sorted, disjoint) of the current text described by `layout` by
  // `token`, whatever they cover.
  void replace_current(const std::vector<Piece>& layout, std::size_t current_size,
                       std::span<const Range> ranges, std::string_view token);

  void append_to(std::string& out) const;

 private:
  struct Replacement {
    std::size_t end;
    std::string inserted;
  };

  std::string_view original_;
  std::map<std::size_t, Replacement> replaced_;  // keyed by original start
};

Surroundings StretchText::around(std::size_t s, std::size_t e) const {
  const auto overlapped = [] {
    Surroundings result;
    result.intact = false;
    return result;
  };
  Surroundings result;
  const auto after = replaced_.upper_bound(s);
  bool settled = false;
  if (after != replaced_.begin()) {
    const auto before = std::prev(after);
    if (before->second.end > s) return overlapped();
    if (before->second.end == s) {
      settled = true;
      if (!before->second.inserted.empty()) {
        result.at_start = false;
        result.before = static_cast<unsigned char>(before->second.inserted.back());
      } else if (before->first > 0) {
        result.at_start = false;
        result.before = static_cast<unsigned char>(original_[before->first - 1]);
      }
    }
  }
  if (!settled && s > 0) {
    result.at_start = false;
    result.before = static_cast<unsigned char>(original_[s - 1]);
  }
  if (after != replaced_.end() && after->first < e) return overlapped();
  std::size_t next = e;
  if (after != replaced_.end() && after->first == e) {
    if (!after->second.inserted.empty()) {
      result.next = decode_utf8(after->second.inserted, 0).code_point;
      return result;
    }
    next = after->second.end;
  }
  if (next < original_.size()) result.next = decode_utf8(original_, next).code_point;
  return result;
}

void StretchText::replace(std::span<const Range> ranges, std::string_view token) {
  for (const Range& range : ranges) {
    auto after = replaced_.upper_bound(range.start);
    std::size_t start = range.start;
    std::string inserted;
    if (after != replaced_.begin()) {
      const auto before = std::prev(after);
      if (before->second.end == range.start) {
        start = before->first;
        inserted = std::move(before->second.inserted);
        replaced_.erase(before);
      }
    }
    inserted.append(token);
    std::size_t end = range.end;
    if (after != replaced_.end() && after->first == range.end) {
      end = after->second.end;
      inserted.append(after->second.inserted);
      after = replaced_.erase(after);
    }
    replaced_.emplace_hint(after, start, Replacement{end, std::move(inserted)});
  }
}

std::string StretchText::current(std::vector<Piece>& layout) const {
  std::string text;
  layout.clear();
  std::size_t cursor = 0;
  const auto add_original = [&](std::size_t from, std::size_t to) {
    if (from >= to) return;
    layout.push_back({text.size(), to - from, true, from, {}});
    text.append(original_.substr(from, to - from));
  };
  for (const auto& [start, replacement] : replaced_) {
    add_original(cursor, start);
    if (!replacement.inserted.empty()) {
      layout.push_back({text.size(), replacement.inserted.size(), false, 0, replacement.inserted});
      text.append(replacement.inserted);
    }
    cursor = replacement.end;
  }
  add_original(cursor, original_.size());
  return text;
}

void StretchText::replace_current(const std::vector<Piece>& layout, std::size_t current_size,
                                  std::span<const Range> ranges, std::string_view token) {
  std::map<std::size_t, Replacement> rebuilt;
  std::size_t original_end = 0;  // where the last kept original run ends
  std::string pending;           // inserted text since then
  const auto keep_original = [&](std::size_t from, std::size_t to) {
    if (from != original_end || !pending.empty()) {
      rebuilt.emplace_hint(rebuilt.end(), original_end, Replacement{from, std::move(pending)});
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
    rebuilt.emplace_hint(rebuilt.end(), original_end,
                         Replacement{original_.size(), std::move(pending)});
  }
  replaced_ = std::move(rebuilt);
}

void StretchText::append_to(std::string& out) const {
  std::size_t cursor = 0;
  for (const auto& [start, replacement] : replaced_) {
    out.append(original_.substr(cursor, start - cursor));
    out.append(replacement.inserted);
    cursor = replacement.end;
  }
  out.append(original_.substr(cursor));
}

// ---------------------------------------------------------------------------------------------
// Forward substitution over stretches

class Substituter {
 public:
  // `text` holds every stretch that will be substituted.
  Substituter(const std::vector<EntityTokenPair>& pairs, std::string_view text);

  // Appends the substituted `stretch` to `out`.
  void substitute(std::string_view stretch, std::string& out);

 private:
  bool needs_current_text(std::uint32_t pattern) const;
  void replace_in_original(const StretchText& text, std::uint32_t pattern,
                           std::span<const std::size_t> ends, const FoldedText& folded,
                           std::string_view stretch, std::vector<Range>& replaced);
  void replace_in_current(StretchText& text, std::uint32_t pattern, std::string_view token,
                          std::vector<Range>& replaced);

  const std::vector<EntityTokenPair>& pairs_;
  EntityAutomaton automaton_;
  WordTest words_;

  // What may be inserted, and which patterns could match inside it.
  bool bracketed_tokens_ = true;
  bool empty_token_ = false;
  std::vector<std::uint8_t> pattern_has_bracket_;
  std::vector<std::uint8_t> pattern_shares_token_char_;
  std::vector<std::uint32_t> within_begin_;  // per pattern: pairs whose token's fold has it
  std::vector<std::uint32_t> within_pairs_;
  std::vector<std::uint32_t> risky_pairs_;  // pairs that may need the current text

  // Per-stretch state, reused.
  std::uint32_t stretch_stamp_ = 0;
  bool any_inserted_ = false;
  bool empty_inserted_ = false;  // an empty token has joined the text around what it replaced
  std::vector<std::uint32_t> token_inserted_;  // per pair: stamp of the stretch it inserted in
  std::vector<std::uint32_t> occurrence_stamp_;
  std::vector<std::pair<std::size_t, std::size_t>> occurrence_range_;
};

Substituter::Substituter(const std::vector<EntityTokenPair>& pairs, std::string_view text)
    : pairs_(pairs), automaton_(pairs, PatternFilter(text, pairs)) {
  const std::size_t patterns = automaton_.pattern_count();
  // Tokens are tracked per pair (case variants repeat a token, which only costs a second
  // look at it); pairs without a pattern never insert theirs.
  std::vector<std::uint32_t> carriers;
  for (std::uint32_t i = 0; i < pairs.size(); ++i) {
    if (automaton_.pattern_of(i) == EntityAutomaton::kNone) continue;
    carriers.push_back(i);
    const std::string_view token = pairs[i].token;
    if (token.size() < 2 || token.front() != '[' || token.back() != ']') {
      bracketed_tokens_ = false;
    }
    if (token.empty()) empty_token_ = true;
  }

  pattern_has_bracket_.assign(patterns, 0);
  pattern_shares_token_char_.assign(patterns, 0);
  within_begin_.assign(patterns + 1, 0);
  if (bracketed_tokens_) {
    for (std::uint32_t id = 0; id < patterns; ++id) {
      for (const char32_t c : automaton_.pattern(id)) {
        if (c == '[' || c == ']') pattern_has_bracket_[id] = 1;
      }
    }
    // Which patterns occur inside which tokens.
    std::vector<std::pair<std::uint32_t, std::uint32_t>> inside;  // (pattern, carrier)
    std::vector<char32_t> folded;
    for (const std::uint32_t carrier : carriers) {
      folded.clear();
      append_folded(folded, pairs[carrier].token);
      automaton_.scan(folded,
                      [&](std::uint32_t id, std::size_t) { inside.emplace_back(id, carrier); });
    }
    std::sort(inside.begin(), inside.end());
    inside.erase(std::unique(inside.begin(), inside.end()), inside.end());
    for (const auto& [id, t] : inside) ++within_begin_[id + 1];
    for (std::size_t k = 0; k < patterns; ++k) within_begin_[k + 1] += within_begin_[k];
    within_pairs_.reserve(inside.size());
    for (const auto& [id, t] : inside) within_pairs_.push_back(t);
  } else {
    std::unordered_set<char32_t> token_chars;
    std::vector<char32_t> folded;
    for (const std::uint32_t carrier : carriers) append_folded(folded, pairs[carrier].token);
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
    if (pattern_has_bracket_[id] || pattern_shares_token_char_[id] ||
        within_begin_[id + 1] > within_begin_[id] ||
        (empty_token_ && automaton_.pattern(id).size() > 1)) {
      risky_pairs_.push_back(i);
    }
  }
  token_inserted_.assign(pairs.size(), 0);
  occurrence_stamp_.assign(patterns, 0);
  occurrence_range_.assign(patterns, {0, 0});
}

bool Substituter::needs_current_text(std::uint32_t pattern) const {
  if (!any_inserted_) return false;
  if (!bracketed_tokens_) {
    return pattern_shares_token_char_[pattern] != 0 ||
           (empty_inserted_ && automaton_.pattern(pattern).size() > 1);
  }
  if (pattern_has_bracket_[pattern]) return true;
  for (std::uint32_t k = within_begin_[pattern]; k < within_begin_[pattern + 1]; ++k) {
    if (token_inserted_[within_pairs_[k]] == stretch_stamp_) return true;
  }
  return false;
}

void Substituter::replace_in_original(const StretchText& text, std::uint32_t pattern,
                                      std::span<const std::size_t> ends, const FoldedText& folded,
                                      std::string_view stretch, std::vector<Range>& replaced) {
  const std::size_t length = automaton_.pattern(pattern).size();
  std::size_t frontier = 0;
  for (const std::size_t last : ends) {
    const std::size_t s = folded.offsets[last + 1 - length];
    const std::size_t e = folded.offsets[last + 1];
    if (s < frontier) continue;
    const Surroundings around = text.around(s, e);
    if (!around.intact) continue;
    const Verdict verdict =
        judge(around, decode_utf8(stretch, folded.offsets[last]).code_point, words_);
    if (verdict == Verdict::kNoMatch) continue;
    frontier = e;
    if (verdict == Verdict::kReplaced) replaced.push_back({s, e});
  }
}

void Substituter::replace_in_current(StretchText& text, std::uint32_t pattern,
                                     std::string_view token, std::vector<Range>& replaced) {
  std::vector<StretchText::Piece> layout;
  const std::string current = text.current(layout);
  const FoldedText folded = fold_text(current);
  const std::span<const char32_t> chars = automaton_.pattern(pattern);
  std::size_t frontier = 0;
  for (const std::size_t first : find_all(folded.chars, chars)) {
    const std::size_t s = folded.offsets[first];
    const std::size_t e = folded.offsets[first + chars.size()];
    if (s < frontier) continue;
    Surroundings around;
    around.at_start = s == 0;
    if (s > 0) around.before = static_cast<unsigned char>(current[s - 1]);
    if (e < current.size()) around.next = decode_utf8(current, e).code_point;
    const char32_t last = char_before(current, e);
    const Verdict verdict = judge(around, last, words_);
    if (verdict == Verdict::kNoMatch) continue;
    frontier = e;
    if (verdict == Verdict::kReplaced) replaced.push_back({s, e});
  }
  if (!replaced.empty()) text.replace_current(layout, current.size(), replaced, token);
}

void Substituter::substitute(std::string_view stretch, std::string& out) {
  const FoldedText folded = fold_text(stretch);
  // (pattern, index of the last character), grouped by pattern, each group in text order.
  std::vector<std::pair<std::uint32_t, std::size_t>> occurrences;
  automaton_.scan(folded.chars,
                  [&](std::uint32_t id, std::size_t last) { occurrences.emplace_back(id, last); });
  if (occurrences.empty()) {
    out.append(stretch);  // nothing will be inserted, so nothing can match inside a token
    return;
  }
  std::sort(occurrences.begin(), occurrences.end());
  std::vector<std::size_t> ends(occurrences.size());
  for (std::size_t k = 0; k < occurrences.size(); ++k) ends[k] = occurrences[k].second;

  ++stretch_stamp_;
  any_inserted_ = false;
  empty_inserted_ = false;
  std::vector<std::uint32_t> todo = risky_pairs_;
  for (std::size_t k = 0; k < occurrences.size();) {
    const std::uint32_t id = occurrences[k].first;
    std::size_t end = k;
    while (end < occurrences.size() && occurrences[end].first == id) ++end;
    occurrence_stamp_[id] = stretch_stamp_;
    occurrence_range_[id] = {k, end};
    for (const std::uint32_t pair : automaton_.pairs_of(id)) todo.push_back(pair);
    k = end;
  }
  std::sort(todo.begin(), todo.end());
  todo.erase(std::unique(todo.begin(), todo.end()), todo.end());

  StretchText text(stretch);
  std::vector<Range> replaced;
  for (const std::uint32_t pair : todo) {
    const std::uint32_t id = automaton_.pattern_of(pair);
    replaced.clear();
    if (needs_current_text(id)) {
      replace_in_current(text, id, pairs_[pair].token, replaced);
    } else if (occurrence_stamp_[id] == stretch_stamp_) {
      const auto [begin, end] = occurrence_range_[id];
      replace_in_original(text, id, std::span(ends).subspan(begin, end - begin), folded, stretch,
                          replaced);
      text.replace(replaced, pairs_[pair].token);
    }
    if (!replaced.empty()) {
      any_inserted_ = true;
      if (pairs_[pair].token.empty()) empty_inserted_ = true;
      token_inserted_[pair] = stretch_stamp_;
    }
  }
  text.append_to(out);
}

// ---------------------------------------------------------------------------------------------
// Reverse substitution

bool is_whole_token(std::string_view key) {
  const auto token = find_token(key);
  return token && token->start == 0 && token->end == key.size();
}

}  // namespace

std::string fast_substitute_segment(std::string_view segment,
                                    const std::vector<EntityTokenPair>& pairs) {
  Substituter substituter(pairs, segment);
  std::string out;
  out.reserve(segment.size() + 64);
  substituter.substitute(segment, out);
  return out;
}

std::string fast_apply_token_map(std::string_view text, const TokenMap& map) {
  const std::vector<EntityTokenPair> pairs = sorted_forward_pairs(map);
  Substituter substituter(pairs, text);
  std::string out;
  out.reserve(text.size() + 64);
  std::size_t cursor = 0;
  for (const CodeRegion& region : find_code_regions(text)) {
    if (cursor < region.start)
      substituter.substitute(text.substr(cursor, region.start - cursor), out);
    out.append(text.substr(region.start, region.end - region.start));
    cursor = region.end;
  }
  if (cursor < text.size()) substituter.substitute(text.substr(cursor), out);
  return out;
}

std::string fast_deanonymize(std::string_view text, const TokenMap& map) {
  // A key that is not a whole token can overlap other keys or occur inside restored text; if
  // one would be restored, only the literal algorithm is known to be right. Keys the literal
  // algorithm skips (the empty key, keys whose entity text holds a token) do not matter.
  for (const auto& [token, entity] : map.reverse) {
    if (!token.empty() && !is_whole_token(token) && !find_token(entity)) {
      return deanonymize_literal(text, map);
    }
  }
  // The text that a token shape is restored to, if any.
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
