// Finds Markdown code (fenced blocks and inline spans), which the forward substitution leaves
// untouched.
#ifndef VELK_CODE_REGIONS_H_
#define VELK_CODE_REGIONS_H_

#include <cstddef>
#include <string_view>
#include <vector>

namespace velk {

// Half-open byte range [start, end) of the text; both ends fall on character boundaries.
struct CodeRegion {
  std::size_t start;
  std::size_t end;
  friend bool operator==(const CodeRegion&, const CodeRegion&) = default;
};

// The code regions of `text` in increasing order; they never overlap and may touch.
std::vector<CodeRegion> find_code_regions(std::string_view text);

}  // namespace velk

#endif  // VELK_CODE_REGIONS_H_
