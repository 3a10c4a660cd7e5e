// The entry points: what each derives from the map once and keeps with it, how code regions cut
// the text, and how replacements become the output.
#include "velk/substitution.h"

#include <algorithm>
#include <array>
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

// The map substitution's replacements: runs[0], then runs[1], each in text order. A long text
// of many stretches has the second run made by a second thread; keeping the runs apart spares
// copying them into one.
using Runs = std::array<std::vector<Replacement>, 2>;

Runs forward_replacements(std::string_view text, const TokenMap& map,
                          const std::vector<CodeRegion>& regions) {
  Runs out;
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
    StretchBuffers buffers;
    for (const CodeRegion& s : part) {
      find_replacements(matchers, text.substr(s.start, s.end - s.start), s.start, found, buffers);
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
    run(stretches, out[0]);
    return out;
  }
  std::size_t first_part = 0;
  for (std::size_t bytes = 0; 2 * bytes < total; ++first_part) {
    bytes += stretches[first_part].end - stretches[first_part].start;
  }
  SecondThread second([&] { run(std::span(stretches).subspan(first_part), out[1]); });
  run(std::span(stretches).first(first_part), out[0]);
  second.wait();
  return out;
}

// `text` with the replacements of `runs` and those of `placed` (in text order) put in; no two
// of them overlap. The output is sized once.
std::string splice_runs(std::string_view text, const Runs& runs,
                        std::span<const Replacement> placed = {}) {
  std::size_t size = text.size();
  const auto grow = [&size](const Replacement& r) { size += r.text.size() - (r.end - r.start); };
  for (const auto& run : runs) std::for_each(run.begin(), run.end(), grow);
  std::for_each(placed.begin(), placed.end(), grow);
  std::string out;
  out.reserve(size);
  std::size_t copied = 0;
  const auto put = [&](const Replacement& r) {
    out.append(text.substr(copied, r.start - copied)).append(r.text);
    copied = r.end;
  };
  auto next_placed = placed.begin();
  for (const auto& run : runs) {
    for (const Replacement& r : run) {
      for (; next_placed != placed.end() && next_placed->start < r.start; ++next_placed) {
        put(*next_placed);
      }
      put(r);
    }
  }
  std::for_each(next_placed, placed.end(), put);
  out.append(text.substr(copied));
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
  return splice_runs(text, forward_replacements(text, map, find_code_regions(text)));
}

std::string apply_token_map_at_places(std::string_view text, const TokenMap& map,
                                      std::vector<ForcedPlace> places,
                                      const std::vector<CodeRegion>& regions) {
  const Runs mapped = forward_replacements(text, map, regions);
  if (places.empty()) return splice_runs(text, mapped);

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
  for (const auto& run : mapped) {
    for (const Replacement& r : run) mark(r.start, r.end);
  }
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
  // Eligible places touch no code and no replacement of the map, so from here on `taken` marks
  // the places chosen.
  std::vector<Replacement> placed;
  placed.reserve(places.size());
  for (const ForcedPlace& place : places) {
    if (!is_free(place)) continue;
    mark(place.start, place.end);
    placed.push_back({place.start, place.end, place.token});
  }
  std::sort(placed.begin(), placed.end(),
            [](const Replacement& a, const Replacement& b) { return a.start < b.start; });
  return splice_runs(text, mapped, placed);
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
