// One left-to-right scan for fenced blocks (at line starts) and inline backtick spans.
#include "velk/code_regions.h"

#include "velk/byte_lanes.h"
#include "velk/unicode.h"

namespace velk {

namespace {

// Offset after at most three spaces starting at `p`.
std::size_t skip_indentation(std::string_view text, std::size_t p) {
  std::size_t limit = p + 3;
  while (p < text.size() && p < limit && text[p] == ' ') ++p;
  return p;
}

std::size_t run_length(std::string_view text, std::size_t p, char c) {
  std::size_t q = p;
  while (q < text.size() && text[q] == c) ++q;
  return q - p;
}

// Offset just after the line feed that ends the line holding `p`, or the end of the text.
std::size_t next_line_start(std::string_view text, std::size_t p) {
  const std::size_t lf = text.find('\n', p);
  return lf == std::string_view::npos ? text.size() : lf + 1;
}

// End of the fenced block opened at line start `line` by a run of `n` times `c` at `fence`.
std::size_t fenced_block_end(std::string_view text, std::size_t fence, char c, std::size_t n) {
  std::size_t line = next_line_start(text, fence + n);
  while (line < text.size()) {
    const std::size_t f = skip_indentation(text, line);
    if (run_length(text, f, c) >= n) return next_line_start(text, f);
    line = next_line_start(text, f);
  }
  return text.size();
}

struct CloseSearch {
  bool found;
  std::size_t at;  // the closing backtick, or the line feed / end where the search stopped
};

// Looks for the backtick that closes the span opened at `open`.
CloseSearch closing_backtick(std::string_view text, std::size_t open) {
  for (std::size_t q = open + 1; q < text.size(); ++q) {
    const char ch = text[q];
    if (ch == '\n') return {false, q};
    if (ch != '`') continue;
    std::size_t backslashes = 0;
    for (std::size_t k = q; k > open + 1 && text[k - 1] == '\\'; --k) ++backslashes;
    if (backslashes % 2 == 0) return {true, q};
  }
  return {false, text.size()};
}

// The first offset from `p` that holds a backtick or a line feed, or the end of the text; a
// word of eight bytes at a time, since most of a chat message is neither.
std::size_t next_tick_or_line_feed(std::string_view text, std::size_t p) {
  using namespace byte_lanes;
  for (; p + kWidth <= text.size(); p += kWidth) {
    const std::uint64_t word = load_word(text, p);
    const std::uint64_t hits =
        ascii_range_lanes(word, '`', '`') | ascii_range_lanes(word, '\n', '\n');
    if (hits != 0) return p + first_lane(hits);
  }
  while (p < text.size() && text[p] != '`' && text[p] != '\n') ++p;
  return p;
}

}  // namespace

std::vector<CodeRegion> find_code_regions(std::string_view text) {
  std::vector<CodeRegion> regions;
  std::size_t p = 0;
  // When a span finds no partner before `no_partner_before`, no later backtick up to there
  // can find one either: a run of backslashes before a backtick stops at the previous backtick
  // whichever one opened the span, so each candidate is escaped alike. Remembering this keeps
  // the scan linear on long lines full of escaped backticks.
  std::size_t no_partner_before = 0;
  while (p < text.size()) {
    if (p == 0 || text[p - 1] == '\n') {
      const std::size_t f = skip_indentation(text, p);
      if (f < text.size() && (text[f] == '`' || text[f] == '~')) {
        const char c = text[f];
        const std::size_t n = run_length(text, f, c);
        if (n >= 3) {
          const std::size_t end = fenced_block_end(text, f, c, n);
          regions.push_back({p, end});
          p = end;
          continue;
        }
      }
    }
    if (text[p] == '`' && p >= no_partner_before) {
      const CloseSearch close = closing_backtick(text, p);
      if (close.found) {
        regions.push_back({p, close.at + 1});
        p = close.at + 1;
        continue;
      }
      no_partner_before = close.at;
    }
    // Nothing starts before the next backtick or line start; neither byte occurs inside a
    // multi-byte character.
    ++p;
    if (p < text.size() && text[p - 1] != '\n') {
      const std::size_t q = next_tick_or_line_feed(text, p);
      p = q < text.size() && text[q] == '\n' ? q + 1 : q;
    }
  }
  return regions;
}

}  // namespace velk
