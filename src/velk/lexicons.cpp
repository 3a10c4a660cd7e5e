// Builds the recognizer's word sets from the embedded word lists and the fixed literal lists, and
// the table of roles that answers for all of them at once.
#include "velk/lexicons.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <optional>
#include <unordered_map>
#include <vector>

#include "velk/ascii.h"
#include "velk/string_hash.h"
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

namespace {

// An open-addressing table from word to roles. Probes hash with FNV-1a, cheap on the short
// words of running text, and may lower-case ASCII on the fly, so that a word need not be
// copied to be looked up.
class RoleTable {
 public:
  RoleTable() {
    std::unordered_map<std::string_view, std::uint8_t> roles;
    const auto add = [&roles](std::string_view word, std::uint8_t role) { roles[word] |= role; };
    const auto add_all = [&add](const ViewSet& set, std::uint8_t role) {
      for (std::string_view word : set) add(word, role);
    };
    add_all(first_names(), kRoleFirstName);
    add_all(single_word_places(), kRoleSingleWordPlace);
    for (std::string_view place : multi_word_places()) {
      add(place.substr(0, place.find(' ')), kRoleMultiWordPlaceStart);
    }
    add_all(honorifics(), kRoleHonorific);
    add_all(org_suffixes(), kRoleOrgSuffix);
    add_all(place_prepositions(), kRolePlacePreposition);
    add_all(ambiguous_state_codes(), kRoleAmbiguousStateCode);
    add_all(place_verbs(), kRolePlaceVerb);

    std::size_t size = 16;
    while (size < 4 * roles.size()) size *= 2;  // at most a quarter full: short probe chains
    slots_.resize(size);
    for (const auto& [word, role] : roles) {
      longest_ = std::max(longest_, word.size());
      unsigned all_bytes = 0;
      std::size_t index = hash<false>(word, all_bytes) & (size - 1);
      while (slots_[index].roles != 0) index = (index + 1) & (size - 1);
      slots_[index] = {word, role};
    }
  }

  // The roles of `probe`. With `kLowerAscii`, the roles of its lower-case form, found without
  // building it, or nothing when `probe` holds a non-ASCII byte (ICU must lower-case it then).
  template <bool kLowerAscii>
  std::optional<std::uint8_t> find(std::string_view probe) const {
    unsigned all_bytes = 0;
    const std::uint64_t probe_hash = hash<kLowerAscii>(probe, all_bytes);
    if (kLowerAscii && all_bytes >= 0x80) return std::nullopt;
    if (probe.size() > longest_) return 0;
    for (std::size_t index = probe_hash & (slots_.size() - 1);;
         index = (index + 1) & (slots_.size() - 1)) {
      const Slot& slot = slots_[index];
      if (slot.roles == 0) return 0;
      if (slot.word.size() == probe.size() &&
          std::equal(probe.begin(), probe.end(), slot.word.begin(), [](char a, char b) {
            return (kLowerAscii ? ascii_lower(a) : a) == b;
          })) {
        return slot.roles;
      }
    }
  }

 private:
  struct Slot {
    std::string_view word;
    std::uint8_t roles = 0;  // 0 marks an empty slot: every stored word has a role
  };

  // FNV-1a over the (folded) bytes; `all_bytes` collects the bytes or-ed together.
  template <bool kLowerAscii>
  static std::uint64_t hash(std::string_view word, unsigned& all_bytes) {
    return fnv1a(word, [&all_bytes](char c) {
      all_bytes |= static_cast<unsigned char>(c);
      return kLowerAscii ? ascii_lower(c) : c;
    });
  }

  std::vector<Slot> slots_;
  std::size_t longest_ = 0;
};

const RoleTable& role_table() {
  static const RoleTable table;
  return table;
}

}  // namespace

std::uint8_t lexicon_roles(std::string_view word) { return *role_table().find<false>(word); }

std::optional<std::uint8_t> ascii_lexicon_roles(std::string_view word) {
  return role_table().find<true>(word);
}

}  // namespace velk
