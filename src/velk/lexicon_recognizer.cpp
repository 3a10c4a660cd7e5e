// The lexicon recognizer: tokenisation, the ordered rules applied over a sliding window of
// words, and the single exit through which every entity is de-duplicated and checked against
// the tech allowlist.
#include "velk/lexicon_recognizer.h"

#include <algorithm>
#include <array>
#include <utility>

#include "velk/lexicons.h"
#include "velk/string_hash.h"
#include "velk/tech_allowlist.h"
#include "velk/unicode.h"

namespace velk {

namespace {

// Only basic-Latin letters count: an accented or non-Latin capital never opens a name.
constexpr bool is_capital(char c) { return c >= 'A' && c <= 'Z'; }
constexpr bool is_small_letter(char c) { return c >= 'a' && c <= 'z'; }

// The 32 basic-Latin punctuation characters. Every byte of a multi-byte UTF-8 sequence is at
// least 0x80, so trimming byte by byte can never split a character.
constexpr bool is_punctuation(char c) {
  return (c >= 0x21 && c <= 0x2F) || (c >= 0x3A && c <= 0x40) || (c >= 0x5B && c <= 0x60) ||
         (c >= 0x7B && c <= 0x7E);
}

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
    std::size_t i = open + 1;
    while (i < raw.size() && is_capital(raw[i])) ++i;
    if (i > open + 1 && i < raw.size() && raw[i] == '_') return true;
  }
  return false;
}

// Trims `raw` to its core, or returns an empty view when nothing is left. Trailing
// punctuation goes first, stopping at an apostrophe so that possessives and elisions
// ("O'Brien's", "goin'") stay whole.
std::string_view word_core(std::string_view raw) {
  while (!raw.empty() && raw.back() != '\'' && is_punctuation(raw.back())) raw.remove_suffix(1);
  while (!raw.empty() && is_leading_wrapper(raw.front())) raw.remove_prefix(1);
  return raw;
}

// Whether the character at `pos` is White_Space; its length in bytes goes to `length`.
bool white_space_at(std::string_view text, std::size_t pos, std::size_t& length) {
  const auto byte = static_cast<unsigned char>(text[pos]);
  if (byte < 0x80) {
    length = 1;
    return byte == ' ' || (byte >= 0x09 && byte <= 0x0D);
  }
  const DecodedChar ch = decode_utf8(text, pos);
  length = ch.length;
  return is_white_space(ch.code_point);
}

// Reads the words of a text one at a time, left to right.
class WordReader {
 public:
  explicit WordReader(std::string_view text) : text_(text) {}

  // Fills `token` with the next word, reusing its `lower` buffer; false after the last word.
  bool next(WordToken& token) {
    std::size_t length = 0;
    while (pos_ < text_.size()) {
      while (pos_ < text_.size() && white_space_at(text_, pos_, length)) pos_ += length;
      const std::size_t start = pos_;
      while (pos_ < text_.size() && !white_space_at(text_, pos_, length)) pos_ += length;
      const std::string_view raw = text_.substr(start, pos_ - start);
      const std::string_view core = word_core(raw);
      if (core.empty()) continue;
      token.raw = raw;
      token.core = core;
      token.lower.clear();
      append_lower(token.lower, core);
      token.starts_upper = is_capital(core.front());
      token.is_token = holds_placeholder(raw);
      return true;
    }
    return false;
  }

 private:
  std::string_view text_;
  std::size_t pos_ = 0;
};

// The few tokens the rules can see at once: one behind the current word and up to three
// ahead. Words are read on demand into a small ring, so memory stays constant however long
// the text is, and each slot's `lower` buffer is reused.
class TokenWindow {
 public:
  explicit TokenWindow(std::string_view text) : reader_(text) {}

  // The token with index `k`, or nullptr past the last word. Only the last kSize tokens read
  // are held; the rules never look further back than one word behind the current one.
  const WordToken* at(std::size_t k) {
    while (read_ <= k) {
      if (exhausted_ || !reader_.next(ring_[read_ % kSize])) {
        exhausted_ = true;
        return nullptr;
      }
      ++read_;
    }
    return &ring_[k % kSize];
  }

 private:
  static constexpr std::size_t kSize = 8;  // one behind, the current word, three ahead
  WordReader reader_;
  std::array<WordToken, kSize> ring_{};
  std::size_t read_ = 0;
  bool exhausted_ = false;
};

// Collects the entities of one call. The first occurrence of a text (compared lower-cased)
// wins whatever its kind; tech terms are dropped without being remembered, so they do not
// shadow a later, differently cased occurrence.
class EntitySink {
 public:
  void push(std::string text, EntityType type) {
    if (text.size() <= 1) return;
    lower_.clear();
    append_lower(lower_, text);
    if (seen_lower_.contains(lower_)) return;
    if (is_tech_term(text)) return;
    seen_lower_.insert(lower_);
    entities_.push_back(Entity{std::move(text), type});
  }

  std::vector<Entity> take() && { return std::move(entities_); }

 private:
  std::vector<Entity> entities_;
  StringSet seen_lower_;
  std::string lower_;  // reused for every entity
};

// Whether the ambiguous state code `t` is used as a place: after a place preposition or a
// comma, or (not itself followed by a comma) before a lower-case verb such as "is".
bool confirms_state_code(const WordToken* previous, const WordToken& t, const WordToken* next) {
  if (previous != nullptr &&
      (place_prepositions().contains(previous->lower) || previous->raw.ends_with(','))) {
    return true;
  }
  return !t.raw.ends_with(',') && next != nullptr && !next->starts_upper &&
         place_verbs().contains(next->lower);
}

}  // namespace

std::vector<WordToken> tokenize_words(std::string_view text) {
  std::vector<WordToken> tokens;
  WordReader reader(text);
  WordToken token{};
  while (reader.next(token)) tokens.push_back(token);
  return tokens;
}

std::string span_text(std::string_view text, const WordToken& first, const WordToken& last) {
  std::size_t begin = static_cast<std::size_t>(first.raw.data() - text.data());
  std::size_t end = static_cast<std::size_t>(last.raw.data() - text.data()) + last.raw.size();
  // Quotes stay at either end: a quoted name is reported with its quotes.
  const auto trimmable = [](char c) { return is_punctuation(c) && c != '"' && c != '\''; };
  while (begin < end && trimmable(text[begin])) ++begin;
  while (end > begin && trimmable(text[end - 1])) --end;
  return std::string(text.substr(begin, end - begin));
}

bool is_place_shaped(const WordToken& token) {
  return token.lower.size() > 3 ||
         std::none_of(token.core.begin(), token.core.end(), is_small_letter);
}

std::vector<Entity> extract_lexicon_entities(std::string_view text) {
  TokenWindow window(text);
  EntitySink sink;
  std::string key;  // two-word place key, reused
  std::size_t i = 0;
  while (const WordToken* current = window.at(i)) {
    const WordToken& t = *current;
    const WordToken* next = window.at(i + 1);
    // A capitalised word that is not a placeholder can continue a name or a place.
    const bool next_continues = next != nullptr && next->starts_upper && !next->is_token;

    // 1. An honorific (in any case) introduces up to three capitalised words of a name.
    if (next_continues && honorifics().contains(t.lower)) {
      std::size_t end = i + 2;
      for (const WordToken* w; end < i + 4 && (w = window.at(end)) != nullptr; ++end) {
        if (!w->starts_upper || w->is_token) break;
      }
      sink.push(span_text(text, *next, *window.at(end - 1)), EntityType::Person);
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
    if (first_names().contains(t.lower) && !is_tech_term(t.core)) {
      if (next_continues && !is_tech_term(next->core) && !org_suffixes().contains(next->lower) &&
          !single_word_places().contains(next->lower)) {
        sink.push(span_text(text, t, *next), EntityType::Person);
        i += 2;
      } else {
        sink.push(std::string(t.core), EntityType::Person);
        i += 1;
      }
      continue;
    }

    // 4. Two capitalised words forming a listed place.
    if (next_continues) {
      key.assign(t.lower);
      key += ' ';
      key += next->lower;
      if (multi_word_places().contains(key)) {
        sink.push(span_text(text, t, *next), EntityType::Place);
        i += 2;
        continue;
      }
    }

    // 5. A one-word place; state codes that double as everyday words need confirmation. A
    // comma after the place lets the next word be a place too ("Dallas, TX").
    if (single_word_places().contains(t.lower) && !is_tech_term(t.core) && is_place_shaped(t) &&
        (!ambiguous_state_codes().contains(t.lower) ||
         confirms_state_code(i > 0 ? window.at(i - 1) : nullptr, t, next))) {
      sink.push(std::string(t.core), EntityType::Place);
      if (t.raw.ends_with(',') && next != nullptr && single_word_places().contains(next->lower) &&
          is_place_shaped(*next)) {
        sink.push(std::string(next->core), EntityType::Place);
        i += 2;
      } else {
        i += 1;
      }
      continue;
    }

    // 6. A word followed by a company suffix, capitalised or not.
    if (next != nullptr && !t.is_token && org_suffixes().contains(next->lower)) {
      sink.push(span_text(text, t, *next), EntityType::Org);
      i += 2;
      continue;
    }

    // 7. Nothing to report.
    ++i;
  }
  return std::move(sink).take();
}

}  // namespace velk
