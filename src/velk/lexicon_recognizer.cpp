// The lexicon recognizer: tokenisation, the ordered rules applied over a sliding window of
// words, and the single exit through which every entity is de-duplicated and checked against
// the tech allowlist.
#include "velk/lexicon_recognizer.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>

#include "velk/ascii.h"
#include "velk/byte_lanes.h"
#include "velk/code_regions.h"
#include "velk/lexicons.h"
#include "velk/string_hash.h"
#include "velk/tech_allowlist.h"
#include "velk/token_syntax.h"
#include "velk/unicode.h"

namespace velk {

namespace {

// Openers that may precede a word and are not part of it.
constexpr bool is_leading_wrapper(char c) { return c == '(' || c == '[' || c == '"' || c == '\''; }

// Whether `raw` holds the opening of a placeholder such as [PERSON_1]: "[" followed by one or
// more capitals and "_". The whole word is searched, not only its first byte, so that a
// placeholder in quotes or parentheses, or glued to other text, never becomes part of a name
// either: the forward substitution would then rewrite the inside of the existing token, and
// restoring the text would lose what that token stood for.
bool holds_placeholder(std::string_view raw) {
  for (std::size_t open = raw.find('['); open != std::string_view::npos;
       open = raw.find('[', open + 1)) {
    if (token_opening_end(raw, open) != 0) return true;
  }
  return false;
}

// Trims `raw` to its core, or returns an empty view when nothing is left. Trailing
// punctuation goes first, stopping at an apostrophe so that possessives and elisions
// ("O'Brien's", "goin'") stay whole. Trimming byte by byte never splits a character, as ASCII
// punctuation is never part of one.
std::string_view word_core(std::string_view raw) {
  while (!raw.empty() && raw.back() != '\'' && is_ascii_punctuation(raw.back())) {
    raw.remove_suffix(1);
  }
  while (!raw.empty() && is_leading_wrapper(raw.front())) raw.remove_prefix(1);
  return raw;
}

// How the word splitter reads a byte: a byte of a word for certain, ASCII white space, or the
// lead byte of a character that may be White_Space. Every non-ASCII White_Space character
// (U+0085, U+00A0, U+1680, U+2000 to U+3000) starts with C2, E1, E2 or E3, so other non-ASCII
// characters are stepped over without decoding.
enum class ByteKind : std::uint8_t { kWord, kSpace, kMaybeSpace };

constexpr std::array<ByteKind, 256> kByteKinds = [] {
  std::array<ByteKind, 256> kinds{};
  for (unsigned char c : {'\t', '\n', '\v', '\f', '\r', ' '}) kinds[c] = ByteKind::kSpace;
  for (unsigned char c : {0xC2, 0xE1, 0xE2, 0xE3}) kinds[c] = ByteKind::kMaybeSpace;
  return kinds;
}();

// Whether a White_Space character starts at `pos`; its length in bytes goes to `length`.
bool white_space_at(std::string_view text, std::size_t pos, std::size_t& length) {
  switch (kByteKinds[static_cast<unsigned char>(text[pos])]) {
    case ByteKind::kWord:
      length = 1;  // a continuation byte is never a character's start, so one byte will do
      return false;
    case ByteKind::kSpace:
      length = 1;
      return true;
    case ByteKind::kMaybeSpace:
      break;
  }
  const DecodedChar ch = decode_utf8(text, pos);
  length = ch.length;
  return is_white_space(ch.code_point);
}

// One word as the rules see it. Most words are never asked about beyond their first letter, so
// the lower-cased text, the roles and the placeholder test are worked out on first use.
struct Word {
  std::string_view raw;
  std::string_view core;
  bool starts_upper = false;

  std::string lower;  // valid when lower_ready; the buffer is kept for the slot's next word
  bool lower_ready = false;
  bool roles_ready = false;
  bool token_ready = false;
  std::uint8_t roles = 0;
  bool token = false;

  void reset(std::string_view new_raw, std::string_view new_core) {
    raw = new_raw;
    core = new_core;
    // Only basic-Latin capitals count: an accented or non-Latin capital never opens a name.
    starts_upper = is_ascii_capital(core.front());
    lower_ready = roles_ready = token_ready = false;
  }

  const std::string& lowered() {
    if (!lower_ready) {
      lower.clear();
      append_lower(lower, core);
      lower_ready = true;
    }
    return lower;
  }

  // Which word sets hold the lower-cased word. An ASCII word is looked up without being
  // lower-cased.
  std::uint8_t lexicon_roles() {
    if (!roles_ready) {
      const std::optional<std::uint8_t> ascii_roles = ascii_lexicon_roles(core);
      roles = ascii_roles ? *ascii_roles : velk::lexicon_roles(lowered());
      roles_ready = true;
    }
    return roles;
  }

  bool has_role(std::uint8_t role) { return (lexicon_roles() & role) != 0; }

  bool is_token() {
    if (!token_ready) {
      token = holds_placeholder(raw);
      token_ready = true;
    }
    return token;
  }

  // A capitalised word that is not a placeholder: it can continue a name or a place.
  bool continues_name() { return starts_upper && !is_token(); }
};

// Reads the words of a text one at a time, left to right.
class WordReader {
 public:
  explicit WordReader(std::string_view text) : text_(text) {}

  // Points `raw` and `core` at the next word; false after the last word.
  bool next(std::string_view& raw, std::string_view& core) {
    while (pos_ < text_.size()) {
      pos_ = skip_white_space(pos_);
      const std::size_t start = pos_;
      pos_ = word_end(pos_);
      raw = text_.substr(start, pos_ - start);
      core = word_core(raw);
      if (!core.empty()) return true;
    }
    return false;
  }

 private:
  // The first offset from `pos` on where a character starts that is no White_Space.
  std::size_t skip_white_space(std::size_t pos) const {
    std::size_t length = 0;
    while (pos < text_.size() && white_space_at(text_, pos, length)) pos += length;
    return pos;
  }

  // The first offset from `pos` on where a White_Space character starts, or the text's size.
  // Eight bytes at a time while none of them can start one: bit 7 of a lane is set below for a
  // byte up to 0x20 or from 0xC0 on (a lead byte), and every White_Space character starts with
  // such a byte. Only those bytes are looked at one by one.
  std::size_t word_end(std::size_t pos) const {
    std::size_t length = 0;
    while (pos < text_.size()) {
      if (text_.size() - pos >= byte_lanes::kWidth) {
        const std::uint64_t word = byte_lanes::load_word(text_, pos);
        const std::uint64_t mask =
            byte_lanes::ascii_range_lanes(word, '\0', ' ') | byte_lanes::lead_byte_lanes(word);
        if (mask == 0) {
          pos += byte_lanes::kWidth;
          continue;
        }
        pos += byte_lanes::first_lane(mask);
      }
      if (white_space_at(text_, pos, length)) break;
      pos += length;
    }
    return pos;
  }

 private:
  std::string_view text_;
  std::size_t pos_ = 0;
};

// The few words the rules can see at once: one behind the current word and up to three ahead.
// Words are read on demand into a small ring, so memory stays constant however long the text
// is, and each slot's lower-case buffer is reused.
class WordWindow {
 public:
  explicit WordWindow(std::string_view text) : reader_(text) {}

  // The word with index `k`, or nullptr past the last word. Only the last kSize words read
  // are held; the rules never look further back than one word behind the current one.
  Word* at(std::size_t k) {
    while (read_ <= k) {
      std::string_view raw;
      std::string_view core;
      if (exhausted_ || !reader_.next(raw, core)) {
        exhausted_ = true;
        return nullptr;
      }
      ring_[read_ % kSize].reset(raw, core);
      ++read_;
    }
    return &ring_[k % kSize];
  }

 private:
  static constexpr std::size_t kSize = 8;  // one behind, the current word, three ahead
  WordReader reader_;
  std::array<Word, kSize> ring_{};
  std::size_t read_ = 0;
  bool exhausted_ = false;
};

// The stretch of `text` from the start of `first` to the end of `last`, inner white space
// included, with ASCII punctuation other than double quotes and apostrophes trimmed from both
// ends. Both pieces must be views into `text`.
std::string_view span_view(std::string_view text, std::string_view first, std::string_view last) {
  std::size_t begin = static_cast<std::size_t>(first.data() - text.data());
  std::size_t end = static_cast<std::size_t>(last.data() - text.data()) + last.size();
  // Quotes stay at either end: a quoted name is reported with its quotes.
  const auto trimmable = [](char c) { return is_ascii_punctuation(c) && c != '"' && c != '\''; };
  while (begin < end && trimmable(text[begin])) ++begin;
  while (end > begin && trimmable(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

// Collects the entities of one call. The first occurrence of a text (compared lower-cased)
// wins whatever its kind; tech terms are dropped without being remembered, so they do not
// shadow a later, differently cased occurrence. A text is copied only when it is kept.
class EntitySink {
 public:
  EntitySink(std::string_view input, std::vector<EntityPlace>* places)
      : input_(input), places_(places) {}

  // `text` is a view into the input.
  void push(std::string_view text, EntityType type) {
    if (text.size() <= 1 || is_tech_term(text)) return;
    lower_.clear();
    append_lower(lower_, text);
    const auto [seen, is_new] = seen_lower_.try_emplace(lower_, entities_.size());
    if (places_) {
      const auto start = static_cast<std::size_t>(text.data() - input_.data());
      places_->push_back({start, start + text.size(), seen->second});
    }
    if (is_new) entities_.push_back(Entity{std::string(text), type});
  }

  std::vector<Entity> take() && { return std::move(entities_); }

 private:
  std::string_view input_;
  std::vector<EntityPlace>* places_;
  std::vector<Entity> entities_;
  std::unordered_map<std::string, std::size_t, StringHash, std::equal_to<>> seen_lower_;
  std::string lower_;  // reused for every entity
};

// Where code regions start and end, to keep names from being joined across them: a name that
// runs into a fenced block would straddle the code and could be replaced nowhere.
class CodeEdges {
 public:
  CodeEdges(std::string_view text, const std::vector<CodeRegion>* regions) : text_(text) {
    if (regions == nullptr) {
      // Without a backtick or a tilde there is no code, and most texts have none.
      if (text.find_first_of("`~") == std::string_view::npos) return;
      add(find_code_regions(text));
    } else {
      add(*regions);
    }
  }

  // Whether an edge lies strictly between the start of `first` and the end of `last`, two
  // views into the text.
  bool between(std::string_view first, std::string_view last) const {
    if (edges_.empty()) return false;
    const auto start = static_cast<std::size_t>(first.data() - text_.data());
    const auto end = static_cast<std::size_t>(last.data() - text_.data()) + last.size();
    const auto edge = std::upper_bound(edges_.begin(), edges_.end(), start);
    return edge != edges_.end() && *edge < end;
  }

 private:
  void add(const std::vector<CodeRegion>& regions) {
    for (const CodeRegion& region : regions) {
      edges_.push_back(region.start);
      edges_.push_back(region.end);
    }
  }

  std::string_view text_;
  std::vector<std::size_t> edges_;  // ascending
};

// Whether the ambiguous state code `t` is used as a place: after a place preposition or a
// comma, or (not itself followed by a comma) before a lower-case verb such as "is".
bool confirms_state_code(Word* previous, const Word& t, Word* next) {
  if (previous != nullptr &&
      (previous->has_role(kRolePlacePreposition) || previous->raw.ends_with(','))) {
    return true;
  }
  return !t.raw.ends_with(',') && next != nullptr && !next->starts_upper &&
         next->has_role(kRolePlaceVerb);
}

// Whether a word may stand for a place on its own: longer than three bytes, or without any
// lower-case ASCII letter (so "TX" is, "Tx" and "Hi" are not).
bool place_shaped(Word& word) {
  return word.lowered().size() > 3 ||
         std::none_of(word.core.begin(), word.core.end(), is_ascii_small);
}

}  // namespace

std::vector<Entity> extract_lexicon_entities(std::string_view text,
                                             std::vector<EntityPlace>* places,
                                             const std::vector<CodeRegion>* code_regions) {
  WordWindow window(text);
  EntitySink sink(text, places);
  const CodeEdges code(text, code_regions);
  std::string key;  // two-word place key, reused
  std::size_t i = 0;
  while (Word* current = window.at(i)) {
    Word& t = *current;
    Word* next = window.at(i + 1);
    // A capitalised word that is not a placeholder can continue a name or a place.
    const bool next_continues = next != nullptr && next->continues_name();

    // 1. An honorific (in any case) introduces up to three capitalised words of a name.
    if (next_continues && t.has_role(kRoleHonorific)) {
      std::size_t end = i + 2;
      for (Word* w; end < i + 4 && (w = window.at(end)) != nullptr; ++end) {
        if (!w->continues_name() || code.between(window.at(end - 1)->raw, w->raw)) break;
      }
      sink.push(span_view(text, next->raw, window.at(end - 1)->raw), EntityType::Person);
      i = end;
      continue;
    }

    // 2. Every later rule starts from a capitalised word.
    if (!t.starts_upper) {
      ++i;
      continue;
    }

    // 3. A first name takes the next capitalised word as its surname unless that word is a
    // tech term, a company suffix or a place.
    if (t.has_role(kRoleFirstName) && !is_tech_term(t.core)) {
      if (next_continues && !is_tech_term(next->core) &&
          !next->has_role(kRoleOrgSuffix | kRoleSingleWordPlace) &&
          !code.between(t.raw, next->raw)) {
        sink.push(span_view(text, t.raw, next->raw), EntityType::Person);
        i += 2;
      } else {
        sink.push(t.core, EntityType::Person);
        i += 1;
      }
      continue;
    }

    // 4. Two capitalised words forming a listed place.
    if (next_continues && t.has_role(kRoleMultiWordPlaceStart) && !code.between(t.raw, next->raw)) {
      key.assign(t.lowered());
      key += ' ';
      key += next->lowered();
      if (multi_word_places().contains(key)) {
        sink.push(span_view(text, t.raw, next->raw), EntityType::Place);
        i += 2;
        continue;
      }
    }

    // 5. A one-word place; state codes that double as everyday words need confirmation. A
    // comma after the place lets the next word be a place too ("Dallas, TX").
    if (t.has_role(kRoleSingleWordPlace) && !is_tech_term(t.core) && place_shaped(t) &&
        (!t.has_role(kRoleAmbiguousStateCode) ||
         confirms_state_code(i > 0 ? window.at(i - 1) : nullptr, t, next))) {
      sink.push(t.core, EntityType::Place);
      if (t.raw.ends_with(',') && next != nullptr && next->has_role(kRoleSingleWordPlace) &&
          place_shaped(*next)) {
        sink.push(next->core, EntityType::Place);
        i += 2;
      } else {
        i += 1;
      }
      continue;
    }

    // 6. A word followed by a company suffix, capitalised or not.
    if (next != nullptr && !t.is_token() && next->has_role(kRoleOrgSuffix) &&
        !code.between(t.raw, next->raw)) {
      sink.push(span_view(text, t.raw, next->raw), EntityType::Org);
      i += 2;
      continue;
    }

    // 7. Nothing to report.
    ++i;
  }
  return std::move(sink).take();
}

}  // namespace velk
