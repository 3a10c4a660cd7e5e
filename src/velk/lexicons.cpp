// Builds the recognizer's word sets from the embedded word lists and the fixed literal lists.
#include "velk/lexicons.h"

#include <array>
#include <cstddef>

#include "velk/unicode.h"

namespace velk {

namespace embedded {
// Generated at build time from src/velk/first_names and src/velk/place_names.
extern const std::string_view first_names;
extern const std::string_view place_names;
}  // namespace embedded

namespace {

template <std::size_t N>
ViewSet make_set(const std::array<std::string_view, N>& entries) {
  ViewSet set;
  set.reserve(N);
  for (std::string_view entry : entries) set.insert(entry);
  return set;
}

// Splits the place list by the presence of a space; `multi` selects which half to keep.
ViewSet split_places(bool multi) {
  ViewSet set;
  for (std::string_view entry : place_names()) {
    if ((entry.find(' ') != std::string_view::npos) == multi) set.insert(entry);
  }
  return set;
}

constexpr std::array<std::string_view, 15> kHonorifics = {
    "mr",    "mrs",   "ms",   "miss", "dr", "prof", "professor", "sir",
    "madam", "ma'am", "lord", "lady", "fr", "rev",  "rabbi"};

constexpr std::array<std::string_view, 12> kOrgSuffixes = {
    "inc", "corp", "llc", "co", "ltd", "ag", "gmbh", "sa", "plc", "lp", "llp", "kk"};

constexpr std::array<std::string_view, 10> kPlacePrepositions = {
    "to", "from", "toward", "towards", "into", "via", "through", "near", "outside", "past"};

constexpr std::array<std::string_view, 12> kAmbiguousStateCodes = {
    "or", "in", "ok", "oh", "hi", "me", "id", "la", "ma", "pa", "co", "dc"};

constexpr std::array<std::string_view, 19> kPlaceVerbs = {
    "is",     "was",  "are",   "were", "has",     "had",    "will",  "would",    "can",   "could",
    "should", "must", "might", "may",  "becomes", "became", "seems", "remained", "stayed"};

}  // namespace

ViewSet parse_lexicon(std::string_view text) {
  ViewSet set;
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t end = text.find('\n', pos);
    const std::size_t next = end == std::string_view::npos ? text.size() : end + 1;
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(pos, end - pos);
    if (end < text.size() && !line.empty() && line.back() == '\r') line.remove_suffix(1);
    line = trim_white_space(line);
    if (!line.empty() && line.front() != '#') set.insert(line);
    pos = next;
  }
  return set;
}

const ViewSet& first_names() {
  static const ViewSet set = parse_lexicon(embedded::first_names);
  return set;
}

const ViewSet& place_names() {
  static const ViewSet set = parse_lexicon(embedded::place_names);
  return set;
}

const ViewSet& multi_word_places() {
  static const ViewSet set = split_places(true);
  return set;
}

const ViewSet& single_word_places() {
  static const ViewSet set = split_places(false);
  return set;
}

const ViewSet& honorifics() {
  static const ViewSet set = make_set(kHonorifics);
  return set;
}

const ViewSet& org_suffixes() {
  static const ViewSet set = make_set(kOrgSuffixes);
  return set;
}

const ViewSet& place_prepositions() {
  static const ViewSet set = make_set(kPlacePrepositions);
  return set;
}

const ViewSet& ambiguous_state_codes() {
  static const ViewSet set = make_set(kAmbiguousStateCodes);
  return set;
}

const ViewSet& place_verbs() {
  static const ViewSet set = make_set(kPlaceVerbs);
  return set;
}

}  // namespace velk
