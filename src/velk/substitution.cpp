// The entry points: what each derives from the map once and keeps with it, how code regions cut
// the text, and how replacements become the output.
#include "velk/substitution.h"

#include <algorithm>
#include <memory>

#include "velk/code_regions.h"
#include "velk/literal_substitution.h"
#include "velk/substitution_rules.h"

namespace velk {

namespace {

std::array<std::size_t, 2> sizes(const TokenMap& map) {
  return {map.forward.size(), map.reverse.size()};
}

std::shared_ptr<const ForwardMatcher> forward_matcher(const TokenMap& map) {
  return std::static_pointer_cast<const ForwardMatcher>(
      map.derived.get(DerivedSlot::kForward, sizes(map), [&map] {
        return std::make_shared<const ForwardMatcher>(sorted_forward_pairs(map));
      }));
}

struct ReverseIndex {
  bool empty;
  // Every token to restore is one whole token: occurrences of two of them never overlap, so
  // one scan for token shapes finds them all.
  bool tokens_only;
};

std::shared_ptr<const ReverseIndex> reverse_index(const TokenMap& map) {
  return std::static_pointer_cast<const ReverseIndex>(
      map.derived.get(DerivedSlot::kReverse, sizes(map), [&map] {
        const std::vector<EntityTokenPair> pairs = sorted_reverse_pairs(map);
        const bool tokens_only = std::all_of(pairs.begin(), pairs.end(), [](const auto& pair) {
          return is_whole_token(pair.entity);  // the token, in reverse pairs
        });
        return std::make_shared<const ReverseIndex>(ReverseIndex{pairs.empty(), tokens_only});
      }));
}

// The map substitution's replacements, in text order, and the code regions.
std::vector<Replacement> forward_replacements(std::string_view text, const TokenMap& map,
                                              const std::vector<CodeRegion>& regions) {
  std::vector<Replacement> out;
  const std::shared_ptr<const ForwardMatcher> matcher = forward_matcher(map);
  if (matcher->empty()) return out;
  std::size_t cursor = 0;
  for (const CodeRegion& region : regions) {
    if (cursor < region.start) {
      matcher->find_replacements(text.substr(cursor, region.start - cursor), cursor, out);
    }
    cursor = region.end;
  }
  if (cursor < text.size()) matcher->find_replacements(text.substr(cursor), cursor, out);
  return out;
}

std::string splice(std::string_view text, const std::vector<Replacement>& replacements) {
  std::string out;
  out.reserve(text.size() + 64);
  std::size_t copied = 0;
  for (const Replacement& r : replacements) {
    out.append(text.substr(copied, r.start - copied)).append(r.text);
    copied = r.end;
  }
  out.append(text.substr(copied));
  return out;
}

}  // namespace

std::string apply_token_map(std::string_view text, const TokenMap& map) {
  if (map.forward.empty()) return std::string(text);
  return splice(text, forward_replacements(text, map, find_code_regions(text)));
}

std::string apply_token_map_at_places(std::string_view text, const TokenMap& map,
                                      std::vector<ForcedPlace> places) {
  const std::vector<CodeRegion> regions = find_code_regions(text);
  std::vector<Replacement> replacements = forward_replacements(text, map, regions);
  if (places.empty()) return splice(text, replacements);

  // Bytes a place may not touch: code, and what the map substitution replaced.
  std::vector<bool> taken(text.size(), false);
  const auto mark = [&taken](std::size_t start, std::size_t end) {
    std::fill(taken.begin() + static_cast<std::ptrdiff_t>(start),
              taken.begin() + static_cast<std::ptrdiff_t>(end), true);
  };
  const auto is_free = [&taken](const ForcedPlace& place) {
    return std::none_of(taken.begin() + static_cast<std::ptrdiff_t>(place.start),
                        taken.begin() + static_cast<std::ptrdiff_t>(place.end),
                        [](bool b) { return b; });
  };
  for (const CodeRegion& region : regions) mark(region.start, region.end);
  for (const Replacement& r : replacements) mark(r.start, r.end);
  // Eligibility first, against code and the map's replacements only; then overlaps among the
  // eligible places, longer first, then earlier.
  std::erase_if(places, [&](const ForcedPlace& place) {
    return place.start >= place.end || place.end > text.size() || !is_free(place);
  });
  std::sort(places.begin(), places.end(), [](const ForcedPlace& a, const ForcedPlace& b) {
    const std::size_t la = a.end - a.start;
    const std::size_t lb = b.end - b.start;
    return la != lb ? la > lb : a.start < b.start;
  });
  std::vector<bool> chosen(text.size(), false);
  for (const ForcedPlace& place : places) {
    const auto first = chosen.begin() + static_cast<std::ptrdiff_t>(place.start);
    const auto last = chosen.begin() + static_cast<std::ptrdiff_t>(place.end);
    if (std::any_of(first, last, [](bool b) { return b; })) continue;
    std::fill(first, last, true);
    replacements.push_back({place.start, place.end, place.token});
  }
  std::sort(replacements.begin(), replacements.end(),
            [](const Replacement& a, const Replacement& b) { return a.start < b.start; });
  return splice(text, replacements);
}

std::string deanonymize(std::string_view text, const TokenMap& map) {
  const std::shared_ptr<const ReverseIndex> index = reverse_index(map);
  if (index->empty) return std::string(text);
  if (!index->tokens_only) return deanonymize_literal(text, map);
  std::vector<Replacement> replacements;
  for (auto token = find_token(text); token; token = find_token(text, token->end)) {
    const std::string_view key = text.substr(token->start, token->end - token->start);
    const auto entry = map.reverse.find(key);
    if (entry == map.reverse.end() || find_token(entry->second)) continue;
    replacements.push_back({token->start, token->end, entry->second});
  }
  return splice(text, replacements);
}

}  // namespace velk
