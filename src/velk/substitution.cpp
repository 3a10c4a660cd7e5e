// The entry points: what each derives from the map once and keeps with it, how code regions cut
// the text, and how replacements become the output.
#include "velk/substitution.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <span>

#include "velk/code_regions.h"
#include "velk/second_thread.h"
#include "velk/substitution_rules.h"

namespace velk {

namespace {

// The search index of each layer of the forward table, oldest first, each built once per layer.
std::vector<std::shared_ptr<const ForwardMatcher>> forward_matchers(const TokenMap& map) {
  std::vector<std::shared_ptr<const ForwardMatcher>> matchers;
  for (const TableLayer* layer : map.forward.layers()) {
    matchers.push_back(std::static_pointer_cast<const ForwardMatcher>(
        layer->derived.get(DerivedSlot::kMatcher, layer->entries.size(), [layer] {
          return std::make_shared<const ForwardMatcher>(layer->entries);
        })));
  }
  return matchers;
}

// Whether every token of the reverse table that would be restored is one whole token: then
// occurrences of two of them never overlap, and one scan for token shapes finds them all.
bool restores_only_whole_tokens(const TokenMap& map) {
  for (const TableLayer* layer : map.reverse.layers()) {
    const auto whole = layer->derived.get(DerivedSlot::kTokensOnly, layer->entries.size(), [layer] {
      const bool all = std::all_of(
          layer->entries.begin(), layer->entries.end(), [](const auto& entry) {
            return entry.first.empty() || find_token(entry.second) || is_whole_token(entry.first);
          });
      return std::make_shared<const bool>(all);
    });
    if (!*std::static_pointer_cast<const bool>(whole)) return false;
  }
  return true;
}

// The map substitution's replacements, in text order, and the code regions.
std::vector<Replacement> forward_replacements(std::string_view text, const TokenMap& map,
                                              const std::vector<CodeRegion>& regions) {
  std::vector<Replacement> out;
  const std::vector<std::shared_ptr<const ForwardMatcher>> owned = forward_matchers(map);
  std::vector<const ForwardMatcher*> matchers;
  for (const auto& matcher : owned) {
    if (!matcher->empty()) matchers.push_back(matcher.get());
  }
  if (matchers.empty()) return out;
  std::vector<CodeRegion> stretches;  // the text between code regions
  std::size_t cursor = 0;
  for (const CodeRegion& region : regions) {
    if (cursor < region.start) stretches.push_back({cursor, region.start});
    cursor = region.end;
  }
  if (cursor < text.size()) stretches.push_back({cursor, text.size()});
  const auto run = [&](std::span<const CodeRegion> part, std::vector<Replacement>& found) {
    for (const CodeRegion& s : part) {
      find_replacements(matchers, text.substr(s.start, s.end - s.start), s.start, found);
    }
  };
  // A long text of many stretches goes to two threads, half of its bytes each; one stretch
  // that holds most of the text is split by the scan itself.
  std::size_t total = 0;
  std::size_t longest = 0;
  for (const CodeRegion& s : stretches) {
    total += s.end - s.start;
    longest = std::max(longest, s.end - s.start);
  }
  if (total < kSecondThreadBytes || 2 * longest >= total) {
    run(stretches, out);
    return out;
  }
  std::size_t first_part = 0;
  for (std::size_t bytes = 0; 2 * bytes < total; ++first_part) {
    bytes += stretches[first_part].end - stretches[first_part].start;
  }
  std::vector<Replacement> second_found;
  SecondThread second([&] { run(std::span(stretches).subspan(first_part), second_found); });
  run(std::span(stretches).first(first_part), out);
  second.wait();
  out.insert(out.end(), second_found.begin(), second_found.end());
  return out;
}

// The reverse substitution for keys of any shape (a hand-made session that maps pseudonyms):
// each key in turn takes its occurrences, leftmost first, among the bytes no earlier key
// replaced. Restored text is never searched, so the original text is all there is to search.
std::string restore_any_keys(std::string_view text, const TokenMap& map) {
  std::vector<bool> replaced(text.size(), false);
  std::vector<Replacement> replacements;
  for (const EntityTokenPair& pair : sorted_reverse_pairs(map)) {
    const std::string_view key = pair.entity;  // reverse pairs hold the token first
    for (std::size_t at = text.find(key); at != std::string_view::npos;) {
      const auto first = replaced.begin() + static_cast<std::ptrdiff_t>(at);
      const auto last = first + static_cast<std::ptrdiff_t>(key.size());
      if (std::any_of(first, last, [](bool b) { return b; })) {
        at = text.find(key, at + 1);
        continue;
      }
      std::fill(first, last, true);
      replacements.push_back({at, at + key.size(), pair.token});
      at = text.find(key, at + key.size());
    }
  }
  std::sort(replacements.begin(), replacements.end(),
            [](const Replacement& a, const Replacement& b) { return a.start < b.start; });
  return splice(text, replacements);
}

}  // namespace

std::string apply_token_map(std::string_view text, const TokenMap& map) {
  if (map.forward.empty()) return std::string(text);
  return splice(text, forward_replacements(text, map, find_code_regions(text)));
}

std::string apply_token_map_at_places(std::string_view text, const TokenMap& map,
                                      std::vector<ForcedPlace> places,
                                      const std::vector<CodeRegion>& regions) {
  std::vector<Replacement> replacements = forward_replacements(text, map, regions);
  if (places.empty()) return splice(text, replacements);

  // Bytes a place may not touch: code, and what the map substitution replaced. A byte per byte
  // of text, so that marking and testing a stretch are a memset and a memchr.
  std::vector<char> taken(text.size(), 0);
  const auto mark = [&taken](std::size_t start, std::size_t end) {
    std::memset(taken.data() + start, 1, end - start);
  };
  const auto is_free = [&taken](const ForcedPlace& place) {
    return std::memchr(taken.data() + place.start, 1, place.end - place.start) == nullptr;
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
  // The places chosen so far are marked in `taken` too: nothing else is marked any more.
  const std::size_t mapped = replacements.size();
  for (const ForcedPlace& place : places) {
    if (!is_free(place)) continue;
    mark(place.start, place.end);
    replacements.push_back({place.start, place.end, place.token});
  }
  // The map's replacements come in text order already, and no two replacements overlap.
  const auto by_start = [](const Replacement& a, const Replacement& b) { return a.start < b.start; };
  const auto placed = replacements.begin() + static_cast<std::ptrdiff_t>(mapped);
  std::sort(placed, replacements.end(), by_start);
  std::inplace_merge(replacements.begin(), placed, replacements.end(), by_start);
  return splice(text, replacements);
}

std::string deanonymize(std::string_view text, const TokenMap& map) {
  if (map.reverse.empty()) return std::string(text);
  if (!restores_only_whole_tokens(map)) return restore_any_keys(text, map);
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
