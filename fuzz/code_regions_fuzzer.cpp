// Fuzzes the code-region scanner: its regions must be ordered, non-empty, non-overlapping and
// on character boundaries, and equal those of a plain rule-by-rule scan that has none of the
// scanner's shortcuts (such as remembering where no closing backtick can be found).
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_input.h"
#include "velk/code_regions.h"

namespace velk::fuzz {
namespace {

std::size_t after_indentation(std::string_view text, std::size_t p) {
  std::size_t f = p;
  while (f < text.size() && f - p < 3 && text[f] == ' ') ++f;
  return f;
}

std::size_t run_of(std::string_view text, std::size_t p, char c) {
  std::size_t q = p;
  while (q < text.size() && text[q] == c) ++q;
  return q - p;
}

// One line after another until a run of `c` at least `n` long follows the indentation.
std::size_t fence_end(std::string_view text, std::size_t opening_run_end, char c, std::size_t n) {
  std::size_t lf = text.find('\n', opening_run_end);
  while (lf != std::string_view::npos) {
    const std::size_t f = after_indentation(text, lf + 1);
    lf = text.find('\n', f);
    if (run_of(text, f, c) >= n) return lf == std::string_view::npos ? text.size() : lf + 1;
  }
  return text.size();
}

std::vector<CodeRegion> reference_regions(std::string_view text) {
  std::vector<CodeRegion> regions;
  std::size_t p = 0;
  while (p < text.size()) {
    if (p == 0 || text[p - 1] == '\n') {
      const std::size_t f = after_indentation(text, p);
      if (f < text.size() && (text[f] == '`' || text[f] == '~')) {
        const std::size_t n = run_of(text, f, text[f]);
        if (n >= 3) {
          const std::size_t end = fence_end(text, f + n, text[f], n);
          regions.push_back({p, end});
          p = end;
          continue;
        }
      }
    }
    if (text[p] == '`') {
      std::size_t close = 0;
      for (std::size_t q = p + 1; q < text.size() && text[q] != '\n'; ++q) {
        if (text[q] != '`') continue;
        std::size_t backslashes = 0;
        while (q - backslashes - 1 > p && text[q - backslashes - 1] == '\\') ++backslashes;
        if (backslashes % 2 == 0) {
          close = q;
          break;
        }
      }
      if (close != 0) {
        regions.push_back({p, close + 1});
        p = close + 1;
        continue;
      }
    }
    p += utf8_sequence_length(static_cast<unsigned char>(text[p]));
  }
  return regions;
}

std::string describe(const std::vector<CodeRegion>& regions) {
  std::string out;
  for (const CodeRegion& region : regions) {
    out.append("[").append(std::to_string(region.start)).append(", ");
    out.append(std::to_string(region.end)).append(") ");
  }
  return out;
}

bool on_boundary(std::string_view text, std::size_t offset) {
  return offset == text.size() || (static_cast<unsigned char>(text[offset]) & 0xC0) != 0x80;
}

}  // namespace
}  // namespace velk::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace velk::fuzz;
  const std::string text =
      text_from_bytes(std::string_view(reinterpret_cast<const char*>(data), size));
  const std::vector<velk::CodeRegion> regions = velk::find_code_regions(text);

  std::size_t previous_end = 0;
  for (const velk::CodeRegion& region : regions) {
    check(region.start >= previous_end, "regions are ordered and do not overlap");
    check(region.start < region.end, "regions are not empty");
    check(region.end <= text.size(), "regions lie inside the text");
    check(on_boundary(text, region.start) && on_boundary(text, region.end),
          "regions start and end on character boundaries");
    const char first = text[region.start];
    check(first == '`' || first == '~' || first == ' ', "a region starts with its fence or span");
    previous_end = region.end;
  }
  check_equal(describe(reference_regions(text)), describe(regions),
              "regions equal those of the rule-by-rule scan");
  return 0;
}
