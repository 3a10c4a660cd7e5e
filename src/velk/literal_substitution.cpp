// The literal algorithms keep the current text as a string plus the spans that hold inserted
// text, in current-text offsets; a span may be empty (an empty token) and still cuts the text
// in two.
#include "velk/literal_substitution.h"

#include <functional>

#include "velk/code_regions.h"
#include "velk/regex.h"
#include "velk/unicode.h"

namespace velk {

namespace {

struct Span {
  std::size_t start;
  std::size_t end;
};

struct Found {
  std::size_t start;
  std::size_t end;
  bool replace;
};

class CurrentText {
 public:
  explicit CurrentText(std::string_view text) : text_(text) {}

  const std::string& text() const { return text_; }

  // Whether [start, end) touches inserted text, or has a cut strictly inside it (an empty span
  // strictly inside meets the same test).
  bool crosses_inserted(std::size_t start, std::size_t end) const {
    for (const Span& span : inserted_) {
      if (span.start < end && start < span.end) return true;
    }
    return false;
  }

  // Puts `insert` in place of each found stretch whose `replace` is set; `found` is in text
  // order and does not overlap.
  void replace(const std::vector<Found>& found, std::string_view insert) {
    std::string out;
    std::vector<Span> spans;
    std::size_t copied = 0;
    std::size_t next_span = 0;
    std::ptrdiff_t shift = 0;
    const auto keep_spans_before = [&](std::size_t limit) {
      for (; next_span < inserted_.size() && inserted_[next_span].start < limit; ++next_span) {
        spans.push_back({inserted_[next_span].start + shift, inserted_[next_span].end + shift});
      }
    };
    for (const Found& f : found) {
      if (!f.replace) continue;
      keep_spans_before(f.end);  // spans before a match end before its start
      out.append(text_, copied, f.start - copied);
      spans.push_back({out.size(), out.size() + insert.size()});
      out.append(insert);
      copied = f.end;
      shift += static_cast<std::ptrdiff_t>(insert.size()) -
               static_cast<std::ptrdiff_t>(f.end - f.start);
    }
    keep_spans_before(std::string::npos);
    out.append(text_, copied, std::string::npos);
    text_ = std::move(out);
    inserted_ = std::move(spans);
  }

 private:
  std::string text_;
  std::vector<Span> inserted_;  // in text order
};

// Finds the matches of one pair in the current text: `search(from)` gives the leftmost
// candidate [start, end) at or after `from`, or nothing. A candidate that crosses inserted
// text is no match and the search goes on one character further; a match ends the previous
// one whether or not it is replaced.
std::vector<Found> find_in_pieces(
    const CurrentText& current,
    const std::function<bool(std::size_t from, std::size_t& start, std::size_t& end)>& search,
    const std::function<bool(std::size_t start)>& replace_at) {
  std::vector<Found> found;
  const std::string& text = current.text();
  std::size_t from = 0;
  std::size_t start = 0;
  std::size_t end = 0;
  while (from <= text.size() && search(from, start, end)) {
    if (current.crosses_inserted(start, end)) {
      from = start < text.size() ? start + utf8_sequence_length(static_cast<unsigned char>(text[start]))
                                 : text.size() + 1;
      continue;
    }
    found.push_back({start, end, replace_at(start)});
    from = end;
  }
  return found;
}

}  // namespace

std::string substitute_segment(std::string_view segment,
                               const std::vector<EntityTokenPair>& pairs) {
  CurrentText current(segment);
  for (const EntityTokenPair& pair : pairs) {
    if (pair.entity.empty()) continue;
    const Regex regex = Regex::compile(entity_pattern(pair.entity), /*jit=*/false);
    if (!regex.ok()) continue;  // too large for the engine
    MatchResult match(regex);
    const std::string& text = current.text();
    const auto search = [&](std::size_t from, std::size_t& start, std::size_t& end) {
      if (regex.search(text, from, match) != SearchStatus::kMatch) return false;
      start = match.start();
      end = match.end();
      return true;
    };
    const auto replace_at = [&](std::size_t start) {
      return start == 0 || !blocks_match(char_before(text, start));
    };
    const std::vector<Found> found = find_in_pieces(current, search, replace_at);
    current.replace(found, pair.token);
  }
  return current.text();
}

std::string apply_token_map_literal(std::string_view text, const TokenMap& map) {
  const std::vector<EntityTokenPair> pairs = sorted_forward_pairs(map);
  std::string out;
  out.reserve(text.size() + 64);
  std::size_t cursor = 0;
  for (const CodeRegion& region : find_code_regions(text)) {
    if (cursor < region.start) {
      out.append(substitute_segment(text.substr(cursor, region.start - cursor), pairs));
    }
    out.append(text.substr(region.start, region.end - region.start));
    cursor = region.end;
  }
  if (cursor < text.size()) out.append(substitute_segment(text.substr(cursor), pairs));
  return out;
}

std::string deanonymize_literal(std::string_view text, const TokenMap& map) {
  CurrentText current(text);
  for (const EntityTokenPair& pair : sorted_reverse_pairs(map)) {
    // Reverse pairs hold the token first.
    const std::string_view token = pair.entity;
    const std::string_view entity = pair.token;
    const std::string& subject = current.text();
    const auto search = [&](std::size_t from, std::size_t& start, std::size_t& end) {
      start = subject.find(token, from);
      end = start + token.size();
      return start != std::string::npos;
    };
    const std::vector<Found> found =
        find_in_pieces(current, search, [](std::size_t) { return true; });
    current.replace(found, entity);
  }
  return current.text();
}

}  // namespace velk
