// The fast forward substitution.
//
// No pair ever searches text that another pair put in, so every match of every pair is an
// occurrence of its entity text in the original stretch. One indexed scan per map layer over
// the folded stretch finds them all; the pairs are then taken in their order, and each
// keeps, leftmost first, the occurrences that the literal algorithm would match, judging the
// characters around each one in the current text (original characters, or the edge of a token
// put in by an earlier pair). substitution.md gives the argument step by step, with a worked
// example.
#include "velk/fast_substitution.h"

#include <unicode/uchar.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <iterator>
#include <optional>
#include <span>

#include "velk/ascii.h"
#include "velk/second_thread.h"
#include "velk/unicode.h"

namespace velk {

namespace {

constexpr std::uint32_t kNoOwner = 0;

char32_t fold_char(char32_t c) {
  if (c < 0x80) return static_cast<unsigned char>(ascii_lower(static_cast<char>(c)));
  return static_cast<char32_t>(u_foldCase(static_cast<UChar32>(c), U_FOLD_CASE_DEFAULT));
}

struct Occurrence {
  std::uint32_t matcher;
  std::uint32_t pair;
  std::size_t start;
  std::size_t end;
};

struct PairRef {
  std::uint32_t matcher;
  std::uint32_t pair;
};

}  // namespace

std::string fold_text(std::string_view text) {
  std::string folded;
  folded.reserve(text.size());
  if (is_ascii(text)) {
    std::transform(text.begin(), text.end(), std::back_inserter(folded), ascii_lower);
    return folded;
  }
  for (std::size_t p = 0; p < text.size();) {
    const DecodedChar ch = decode_utf8(text, p);
    append_utf8(folded, fold_char(ch.code_point));
    p += ch.length;
  }
  return folded;
}

namespace {

// Bytes read past the end of a text by prefix_hash: texts it hashes carry that much padding.
constexpr std::size_t kPadding = 8;

std::uint64_t mix(std::uint64_t hash, std::uint64_t chunk) {
  hash = (hash ^ chunk) * 0xff51afd7ed558ccdULL;
  return hash ^ (hash >> 32);
}

// The `count` bytes at `p` (1 to 8) as a number; reads eight.
std::uint64_t load_bytes(const char* p, std::uint32_t count) {
  std::uint64_t chunk;
  std::memcpy(&chunk, p, sizeof chunk);
  return chunk & (~std::uint64_t{0} >> (64 - 8 * count));
}

[[gnu::noinline]] std::uint64_t long_prefix_hash(const char* p, std::uint32_t length,
                                                 std::uint64_t hash) {
  std::uint32_t at = 0;
  for (; length - at > 8; at += 8) hash = mix(hash, load_bytes(p + at, 8));
  return mix(hash, load_bytes(p + at, length - at));
}

// A hash of the `length` bytes at `p`, eight at a time. Most prefixes a scan hashes are short,
// so those take the inline path.
[[gnu::always_inline]] inline std::uint64_t prefix_hash(const char* p, std::uint32_t length) {
  const std::uint64_t hash = length * 0x9e3779b97f4a7c15ULL;
  if (length <= 8) return mix(hash, load_bytes(p, length));
  return long_prefix_hash(p, length, hash);
}

std::uint64_t slot_hash(std::uint64_t hash, std::uint32_t level) {
  return (hash ^ (std::uint64_t{level} << 56)) * 0xff51afd7ed558ccdULL;
}

unsigned bits_for(std::size_t count) {
  unsigned bits = 6;
  while ((std::size_t{1} << bits) < count) ++bits;
  return bits;
}

}  // namespace

ForwardMatcher::ForwardMatcher(const TextTable& entries)
    : table_(&entries), entries_(sorted_forward_entries(entries)) {
  build();
}

ForwardMatcher::ForwardMatcher(std::vector<EntityTokenPair> pairs) : pairs_(std::move(pairs)) {
  build();
}

void ForwardMatcher::build() {
  // The folds first: ASCII texts fold to their lowercase, which needs no copy; the others are
  // kept folded.
  const auto count = static_cast<std::uint32_t>(size());
  info_.reserve(count);
  std::array<std::size_t, std::size(kAnchorLengths)> prefixes{};  // texts hashed at each length
  for (std::uint32_t i = 0; i < count; ++i) {
    const EntityTokenPair pair = this->pair(i);
    PairInfo info{0, static_cast<std::uint32_t>(pair.entity.size()),
                  is_short_capitals(pair.entity), needs_closing_boundary(pair.entity),
                  !is_ascii(pair.entity)};
    if (info.folded) {
      const auto at = static_cast<std::uint32_t>(folded_.size());
      folded_ += fold_text(pair.entity);
      folded_at_.emplace(i, at);
      info.folded_length = static_cast<std::uint32_t>(folded_.size() - at);
    }
    for (std::size_t level = 0; level < prefixes.size(); ++level) {
      prefixes[level] += kAnchorLengths[level] <= info.folded_length;
    }
    info_.push_back(info);
  }

  // Every prefix of every text at an anchor length goes into the filter; texts that share an
  // anchor form a group.
  for (std::size_t level = 0; level < prefixes.size(); ++level) {
    const unsigned bits = bits_for(16 * prefixes[level]);
    filters_[level].words.assign((std::size_t{1} << bits) / 64, 0);
    filters_[level].shift = 64 - bits;
  }
  const auto mark = [this](std::uint32_t level, std::uint64_t hash, unsigned bits) {
    Filter& filter = filters_[level];
    const std::uint64_t bit = (hash >> filter.shift) & ~std::uint64_t{1};
    filter.words[bit >> 6] |= std::uint64_t{bits} << (bit & 63);
  };
  // Each text joins the group of its anchor, found through slots_ and made on first sight.
  const unsigned slot_bits = bits_for(2 * std::size_t{count});
  slots_.assign(std::size_t{1} << slot_bits, 0);
  const std::size_t mask = slots_.size() - 1;
  std::vector<std::uint32_t> group_of(count);
  std::vector<std::uint32_t> group_size;
  if (count >= kTwoByteTableFrom) two_bytes_.assign(65536, 0);
  std::string folded;
  std::vector<std::uint32_t> border;
  for (std::uint32_t pair = 0; pair < count; ++pair) {
    const PairInfo& info = info_[pair];
    if (!info.folded) {
      folded.assign(this->pair(pair).entity);
      std::transform(folded.begin(), folded.end(), folded.begin(), ascii_lower);
    } else {
      folded.assign(folded_, folded_at_.at(pair), info.folded_length);
    }
    folded.append(kPadding, '\0');
    std::uint32_t level = 0;
    while (level + 1 < std::size(kAnchorLengths) &&
           kAnchorLengths[level + 1] <= info.folded_length) {
      mark(level, prefix_hash(folded.data(), kAnchorLengths[level]), kLonger);
      ++level;
    }
    const std::uint64_t hash = prefix_hash(folded.data(), kAnchorLengths[level]);
    mark(level, hash, kAnchor);
    info_[pair].head = load_bytes(folded.data(), std::min<std::uint32_t>(8, info.folded_length));
    add_border_shifts(pair, std::string_view(folded).substr(0, info.folded_length), border);
    if (!two_bytes_.empty()) {
      const auto first = static_cast<unsigned char>(folded[0]);
      const auto second = static_cast<unsigned char>(folded[1]);
      if (info.folded_length == 1) {
        for (std::size_t next = 0; next < 256; ++next) two_bytes_[first + 256 * next] |= kOneByte;
      } else {
        two_bytes_[first + 256 * second] |= info.folded_length == 2 ? kTwoBytes : kLongerThanTwo;
      }
    }
    std::size_t slot = slot_hash(hash, level) >> (64 - slot_bits);
    for (; slots_[slot] != 0; slot = (slot + 1) & mask) {
      const std::uint32_t g = slots_[slot] - 1;
      if (group_hash_[g] == hash && group_level_[g] == level) break;
    }
    if (slots_[slot] == 0) {
      group_hash_.push_back(hash);
      group_level_.push_back(static_cast<std::uint8_t>(level));
      group_size.push_back(0);
      slots_[slot] = static_cast<std::uint32_t>(group_hash_.size());
    }
    group_of[pair] = slots_[slot] - 1;
    ++group_size[group_of[pair]];
    anchored_levels_ |= 1u << level;
    levels_ = std::max(levels_, level + 1);
  }
  // A group's pairs stand together in by_anchor_, in pair order.
  group_begin_.assign(group_size.size() + 1, 0);
  for (std::size_t g = 0; g < group_size.size(); ++g) {
    group_begin_[g + 1] = group_begin_[g] + group_size[g];
  }
  std::vector<std::uint32_t> next(group_begin_.begin(), group_begin_.end() - 1);
  by_anchor_.resize(count);
  for (std::uint32_t pair = 0; pair < count; ++pair) by_anchor_[next[group_of[pair]]++] = pair;
}

void ForwardMatcher::add_border_shifts(std::uint32_t pair, std::string_view folded,
                                       std::vector<std::uint32_t>& border) {
  // border[i]: the length of the longest text that both begins and ends folded[0, i], shorter
  // than it; the borders of the whole text follow from the last one.
  const auto length = static_cast<std::uint32_t>(folded.size());
  // A text that overlaps itself begins with a byte that it holds again further on and ends
  // with one that it holds before: most texts fail one of the two at once.
  if (length < 2 || folded.find(folded.front(), 1) == std::string_view::npos ||
      folded.rfind(folded.back(), length - 2) == std::string_view::npos) {
    return;
  }
  border.assign(length, 0);
  for (std::uint32_t i = 1; i < length; ++i) {
    std::uint32_t k = border[i - 1];
    while (k > 0 && folded[i] != folded[k]) k = border[k - 1];
    border[i] = k + (folded[i] == folded[k] ? 1 : 0);
  }
  for (std::uint32_t k = border[length - 1]; k > 0; k = border[k - 1]) {
    border_pairs_.push_back(pair);
    border_shifts_.push_back(length - k);
    info_[pair].overlaps_itself = true;
  }
}

std::span<const std::uint32_t> ForwardMatcher::border_shifts(std::uint32_t pair) const {
  if (!info_[pair].overlaps_itself) return {};
  const auto [first, last] = std::equal_range(border_pairs_.begin(), border_pairs_.end(), pair);
  return std::span(border_shifts_)
      .subspan(static_cast<std::size_t>(first - border_pairs_.begin()),
               static_cast<std::size_t>(last - first));
}

std::span<const std::uint32_t> ForwardMatcher::find_group(std::uint64_t hash,
                                                          std::uint32_t level) const {
  const std::size_t mask = slots_.size() - 1;
  const unsigned shift = 64 - static_cast<unsigned>(std::countr_zero(slots_.size()));
  for (std::size_t slot = slot_hash(hash, level) >> shift; slots_[slot] != 0;
       slot = (slot + 1) & mask) {
    const std::uint32_t g = slots_[slot] - 1;
    // Hashes of prefixes of two lengths may meet.
    if (group_hash_[g] != hash || group_level_[g] != level) continue;
    const std::uint32_t begin = group_begin_[g];
    return std::span(by_anchor_).subspan(begin, group_begin_[g + 1] - begin);
  }
  return {};
}

bool ForwardMatcher::matches_at(std::uint32_t pair, std::string_view folded,
                                std::size_t at) const {
  const PairInfo& info = info_[pair];
  if (folded.size() - at < info.folded_length) return false;
  // The first eight bytes are kept with the pair, and most texts are no longer.
  if (load_bytes(folded.data() + at, std::min<std::uint32_t>(8, info.folded_length)) != info.head) {
    return false;
  }
  if (info.folded_length <= 8) return true;
  const std::string_view there = folded.substr(at, info.folded_length);
  if (info.folded) {
    return there.substr(8) ==
           std::string_view(folded_).substr(folded_at_.at(pair) + 8, info.folded_length - 8);
  }
  const std::string_view entity = this->pair(pair).entity;
  for (std::size_t k = 8; k < entity.size(); ++k) {
    if (ascii_lower(entity[k]) != there[k]) return false;
  }
  return true;
}

struct StretchBuffers::Vectors {
  std::string folded;
  std::vector<std::size_t> origin;
  std::vector<Occurrence> found, pending, more, sorted;
  std::vector<Replacement> replaced;
  std::vector<std::uint32_t> owner;
  std::vector<bool> seen;
};

StretchBuffers::StretchBuffers() : vectors_(std::make_unique<Vectors>()) {}
StretchBuffers::~StretchBuffers() = default;

// The matching of one stretch: its folded form, the occurrences, and which bytes hold which
// replacement so far, in buffers that the stretches of one text share one after another.
class StretchMatch {
 public:
  StretchMatch(std::span<const ForwardMatcher* const> matchers, std::string_view stretch,
               StretchBuffers::Vectors& buffers)
      : matchers_(matchers),
        stretch_(stretch),
        folded_(buffers.folded),
        origin_(buffers.origin),
        found_(buffers.found),
        pending_(buffers.pending),
        more_(buffers.more),
        sorted_(buffers.sorted),
        replaced_(buffers.replaced),
        owner_(buffers.owner),
        seen_(buffers.seen) {
    folded_.clear();
    origin_.clear();
    found_.clear();
    replaced_.clear();
    owner_.clear();
    seen_.clear();
    if (is_ascii(stretch)) {
      folded_.resize(stretch.size());
      std::transform(stretch.begin(), stretch.end(), folded_.begin(), ascii_lower);
    } else {
      folded_.reserve(stretch.size() + kPadding);
      origin_.reserve(stretch.size() + 1);
      for (std::size_t p = 0; p < stretch.size();) {
        const auto byte = static_cast<unsigned char>(stretch[p]);
        if (byte < 0x80) {
          folded_.push_back(ascii_lower(static_cast<char>(byte)));
          origin_.push_back(p++);
          continue;
        }
        const DecodedChar ch = decode_utf8(stretch, p);
        append_utf8(folded_, fold_char(ch.code_point));
        origin_.resize(folded_.size(), p);
        p += ch.length;
      }
      origin_.push_back(stretch.size());
    }
    folded_size_ = folded_.size();
    folded_.append(kPadding, '\0');
  }

  void run(std::size_t offset, std::vector<Replacement>& out) {
    if (scan()) {
      group_by_pair();
      for (std::size_t i = 0; i < found_.size();) {
        std::size_t j = i;
        while (j < found_.size() && found_[j].matcher == found_[i].matcher &&
               found_[j].pair == found_[i].pair) {
          ++j;
        }
        resolve(ref(found_[i]), std::span(found_).subspan(i, j - i));
        i = j;
      }
    } else {
      std::vector<PairRef> order;
      for (std::uint32_t m = 0; m < matchers_.size(); ++m) {
        for (std::uint32_t p = 0; p < matchers_[m]->size(); ++p) order.push_back({m, p});
      }
      std::sort(order.begin(), order.end(),
                [this](const PairRef& a, const PairRef& b) { return comes_first(a, b); });
      for (const PairRef& pair : order) {
        search_one(pair);
        resolve(pair, found_);
      }
    }
    std::sort(replaced_.begin(), replaced_.end(),
              [](const Replacement& a, const Replacement& b) { return a.start < b.start; });
    for (const Replacement& r : replaced_) {
      out.push_back({r.start + offset, r.end + offset, r.text});
    }
  }

 private:
  static PairRef ref(const Occurrence& o) { return {o.matcher, o.pair}; }

  static constexpr std::size_t kSortedByInsertionMost = 48;

  // Puts found_ in pair order, each pair's occurrences by start. The scan leaves them in start
  // order, so with one matcher a stable sort by pair does it: an insertion sort for a few, else
  // a radix sort, a byte of the pair number at a time, without the mispredicted branches of a
  // comparison sort.
  void group_by_pair() {
    if (matchers_.size() != 1) {
      std::sort(found_.begin(), found_.end(), [this](const Occurrence& a, const Occurrence& b) {
        if (a.matcher != b.matcher || a.pair != b.pair) return comes_first(ref(a), ref(b));
        return a.start < b.start;
      });
      return;
    }
    if (found_.size() <= kSortedByInsertionMost) {
      // A short stretch holds a few dozen at most, too few to pay for the count tables.
      for (std::size_t i = 1; i < found_.size(); ++i) {
        const Occurrence o = found_[i];
        std::size_t j = i;
        for (; j > 0 && found_[j - 1].pair > o.pair; --j) found_[j] = found_[j - 1];
        found_[j] = o;
      }
      return;
    }
    std::uint32_t highest = 0;
    for (const Occurrence& o : found_) highest = std::max(highest, o.pair);
    std::vector<Occurrence>& sorted = sorted_;
    sorted.resize(found_.size());
    for (unsigned shift = 0; shift < 32 && (highest >> shift) != 0; shift += 8) {
      std::array<std::uint32_t, 257> next{};
      for (const Occurrence& o : found_) ++next[((o.pair >> shift) & 255) + 1];
      for (std::size_t d = 0; d < 256; ++d) next[d + 1] += next[d];
      for (const Occurrence& o : found_) sorted[next[(o.pair >> shift) & 255]++] = o;
      found_.swap(sorted);
    }
  }

  EntityTokenPair pair_of(PairRef ref) const {
    return matchers_[ref.matcher]->pair(ref.pair);
  }
  const ForwardMatcher::PairInfo& info_of(PairRef ref) const {
    return matchers_[ref.matcher]->info_[ref.pair];
  }

  // The order of sorted_forward_pairs: longer entity texts first, then byte order. Within one
  // matcher the pairs already stand in that order.
  bool comes_first(PairRef a, PairRef b) const {
    if (a.matcher == b.matcher) return a.pair < b.pair;
    const std::string_view x = pair_of(a).entity;
    const std::string_view y = pair_of(b).entity;
    return x.size() != y.size() ? x.size() > y.size() : x < y;
  }

  std::size_t origin(std::size_t folded_offset) const {
    return origin_.empty() ? folded_offset : origin_[folded_offset];
  }

  // Collects every occurrence that can change what is replaced; false when there are too many
  // to keep. A long stretch is scanned in two halves side by side, split by where occurrences
  // start.
  bool scan() {
    const std::size_t limit = 4 * stretch_.size() + 4096;
    if (folded_size_ < kSecondThreadBytes) {
      return scan_part(0, folded_size_, limit, found_) && add_passed_over(limit);
    }
    const std::size_t middle = folded_size_ / 2;
    std::vector<Occurrence> second_found;
    bool second_ok = true;
    {
      SecondThread second([&] {
        second_ok = scan_part(middle, folded_size_, limit / 2, second_found);
      });
      const bool first_ok = scan_part(0, middle, limit / 2, found_);
      second.wait();
      if (!first_ok || !second_ok) {
        found_.clear();
        return false;
      }
    }
    found_.insert(found_.end(), second_found.begin(), second_found.end());
    return add_passed_over(limit);
  }

  // Whether the scan looks at position j. In an ASCII stretch it passes over the positions
  // whose byte before blocks a match there (the inside of words, paths and addresses, most of
  // the text) and add_passed_over finds the few of those that matter. In other stretches a
  // folded byte may stand for a longer character, so every position is looked at.
  bool scanned(std::size_t j) const {
    return !origin_.empty() || j == 0 ||
           !blocks_match(static_cast<unsigned char>(folded_[j - 1]));
  }

  // Bit k set when the scan looks at position `block + k`.
  std::uint64_t scanned_positions(std::size_t block, std::size_t count) const {
    if (!origin_.empty()) return count == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << count) - 1;
    if (block > 0 && count == 64) return ~blocking_mask(folded_.data() + block - 1);
    std::uint64_t open = 0;
    for (std::size_t k = 0; k < count; ++k) open |= std::uint64_t{scanned(block + k)} << k;
    return open;
  }

  // The occurrences that start in folded_[from, to) at the positions the scan looks at.
  bool scan_part(std::size_t from, std::size_t to, std::size_t limit,
                 std::vector<Occurrence>& found) const {
    for (std::uint32_t m = 0; m < matchers_.size(); ++m) {
      const ForwardMatcher& matcher = *matchers_[m];
      // Most positions are ruled out by their first probes, but which ones is as good as
      // random, so a branch per position would be mispredicted often. The probes of 64
      // positions are taken without branches into a mask first; only the positions it keeps
      // are followed, in order.
      for (std::size_t block = from; block < to; block += 64) {
        const std::size_t count = std::min<std::size_t>(64, to - block);
        const std::uint64_t kept = first_probes(matcher, block, scanned_positions(block, count));
        for (std::uint64_t rest = kept; rest != 0; rest &= rest - 1) {
          probe(m, block + static_cast<std::size_t>(std::countr_zero(rest)), found);
        }
        if (found.size() > limit) return false;
      }
    }
    return true;
  }

  // The occurrences of matcher m's texts that start at folded position j.
  void probe(std::uint32_t m, std::size_t j, std::vector<Occurrence>& found) const {
    const ForwardMatcher& matcher = *matchers_[m];
    const std::string_view text = std::string_view(folded_).substr(0, folded_size_);
    // The texts anchored on the `level` prefix at `j`, whose hash is `hash`, that stand there.
    const auto take = [&](std::uint32_t level, std::uint64_t hash) {
      for (const std::uint32_t pair : matcher.find_group(hash, level)) {
        if (!matcher.matches_at(pair, text, j)) continue;
        const std::size_t start = origin(j);
        const std::size_t end = origin(j + matcher.info_[pair].folded_length);
        if (!case_fits({m, pair}, start, end)) continue;
        found.push_back({m, pair, start, end});
      }
    };
    std::uint32_t level = 0;
    if (!matcher.two_bytes_.empty()) {
      // The padding gives a second byte at the end of the text; a text of two bytes or more
      // is never found there, since the comparison stops at the end.
      const std::uint8_t allows =
          matcher.two_bytes_[static_cast<unsigned char>(text[j]) +
                             256 * static_cast<unsigned char>(folded_[j + 1])];
      if (allows & ForwardMatcher::kOneByte) take(0, prefix_hash(text.data() + j, 1));
      if (allows & ForwardMatcher::kTwoBytes && text.size() - j >= 2) {
        take(1, prefix_hash(text.data() + j, 2));
      }
      if ((allows & ForwardMatcher::kLongerThanTwo) == 0) return;
      level = 2;
    }
    for (; level < matcher.levels_; ++level) {
      const std::uint32_t length = ForwardMatcher::kAnchorLengths[level];
      if (text.size() - j < length) break;
      const std::uint64_t hash = prefix_hash(text.data() + j, length);
      const unsigned bits = matcher.filter_bits(level, hash);
      if (bits & ForwardMatcher::kAnchor) take(level, hash);
      if ((bits & ForwardMatcher::kLonger) == 0) break;
    }
  }

  // Adds, in start order, the occurrences at positions the scan passed over that can still
  // change what is replaced:
  // - one right after an occurrence: if that occurrence is replaced, its token's last
  //   character stands before this one, which no longer blocks it;
  // - one that an occurrence of the same text overlaps, starting before it: never replaced
  //   itself, it still ends the previous match, and so can keep the later one from being a
  //   match.
  // Every other occurrence at such a position is blocked whatever happens around it and
  // touches no other occurrence of its text, so leaving it out changes nothing. What is
  // added leads to more of the same, so this runs until nothing new is found.
  bool add_passed_over(std::size_t limit) {
    if (!origin_.empty()) return true;
    std::vector<Occurrence>& more = more_;
    std::vector<bool>& seen = seen_;  // positions passed over and looked at here
    more.clear();
    const auto look = [&](std::size_t j) {
      if (j >= folded_size_ || scanned(j)) return;
      if (seen.empty()) seen.assign(folded_size_, false);
      if (seen[j]) return;
      seen[j] = true;
      for (std::uint32_t m = 0; m < matchers_.size(); ++m) probe(m, j, more);
    };
    const auto follow = [&](const Occurrence o) {
      look(o.end);
      for (const std::uint32_t shift : matchers_[o.matcher]->border_shifts(o.pair)) {
        if (shift <= o.start) look(o.start - shift);
      }
    };
    for (const Occurrence& o : found_) follow(o);
    for (std::size_t i = 0; i < more.size(); ++i) {
      follow(more[i]);
      if (found_.size() + more.size() > limit) {
        found_.clear();
        return false;
      }
    }
    if (more.empty()) return true;
    if (matchers_.size() != 1) {  // group_by_pair sorts them all
      found_.insert(found_.end(), more.begin(), more.end());
      return true;
    }
    // The scan left found_ in start order, which group_by_pair keeps within each pair.
    const auto by_start = [](const Occurrence& a, const Occurrence& b) {
      return a.start < b.start;
    };
    std::sort(more.begin(), more.end(), by_start);
    std::vector<Occurrence>& merged = sorted_;
    merged.resize(found_.size() + more.size());
    std::merge(found_.begin(), found_.end(), more.begin(), more.end(), merged.begin(), by_start);
    found_.swap(merged);
    return true;
  }

  // Bit k set when position `block + k` is among `positions` and may begin an occurrence, by
  // the probes the scan takes first there: the two-byte table and the three-byte filter, or,
  // without the table, the one- and two-byte filters. A cleared bit is a position where the
  // scan would stop at once. The probes read up to eight bytes from each position, within the
  // padding. Where the scan looks at every position, the probes go without branches.
  std::uint64_t first_probes(const ForwardMatcher& matcher, std::size_t block,
                             std::uint64_t positions) const {
    const char* text = folded_.data() + block;
    const auto by_table = [&matcher](const char* p) -> bool {
      const unsigned allows = matcher.two_bytes_[static_cast<unsigned char>(p[0]) +
                                                 256 * static_cast<unsigned char>(p[1])];
      const unsigned deeper = matcher.filter_bits(2, prefix_hash(p, 3));
      return (allows & (ForwardMatcher::kOneByte | ForwardMatcher::kTwoBytes)) |
             ((allows & ForwardMatcher::kLongerThanTwo) && deeper);
    };
    const auto by_filters = [&matcher](const char* p) -> bool {
      const unsigned first = matcher.filter_bits(0, prefix_hash(p, 1));
      const unsigned second = matcher.filter_bits(1, prefix_hash(p, 2));
      return (first & ForwardMatcher::kAnchor) | ((first & ForwardMatcher::kLonger) && second);
    };
    const auto probe_all = [&](auto passes) {
      std::uint64_t kept = 0;
      if (!origin_.empty()) {
        const auto count = static_cast<std::size_t>(std::popcount(positions));
        for (std::size_t k = 0; k < count; ++k) kept |= std::uint64_t{passes(text + k)} << k;
        return kept;
      }
      for (std::uint64_t rest = positions; rest != 0; rest &= rest - 1) {
        const int k = std::countr_zero(rest);
        kept |= std::uint64_t{passes(text + k)} << k;
      }
      return kept;
    };
    return matcher.two_bytes_.empty() ? probe_all(by_filters) : probe_all(by_table);
  }

  // The occurrences of one pair, overlapping ones included, into found_.
  void search_one(PairRef pair) {
    found_.clear();
    const std::string folded_entity = fold_text(pair_of(pair).entity);
    const std::string_view folded = folded_entity;
    const std::string_view text = std::string_view(folded_).substr(0, folded_size_);
    for (std::size_t at = text.find(folded); at != std::string_view::npos;
         at = text.find(folded, at + utf8_sequence_length(static_cast<unsigned char>(text[at])))) {
      const std::size_t start = origin(at);
      const std::size_t end = origin(at + folded.size());
      if (case_fits(pair, start, end)) found_.push_back({pair.matcher, pair.pair, start, end});
    }
  }

  // Whether the original text of an occurrence is what its pair needs. Short capitals match
  // only as written; an occurrence in other letters is no match at all (it neither replaces
  // nor holds off a later one), so it is dropped as soon as it is found. Short texts such as
  // state codes fold onto very common letter pairs ("IN", "DE"), whose occurrences would
  // otherwise outnumber all the others.
  // Such a text is one to three ASCII capitals, so it is its fold, kept in the pair's head,
  // in capitals.
  bool case_fits(PairRef pair, std::size_t start, std::size_t end) const {
    const ForwardMatcher::PairInfo& info = info_of(pair);
    if (!info.case_sensitive) return true;
    if (end - start != info.folded_length) return false;
    for (std::size_t k = 0; k < info.folded_length; ++k) {
      if (stretch_[start + k] != static_cast<char>((info.head >> (8 * k)) & 0xDF)) return false;
    }
    return true;
  }
  bool overlaps_replaced(std::size_t start, std::size_t end) const {
    if (owner_.empty()) return false;
    return std::any_of(owner_.begin() + static_cast<std::ptrdiff_t>(start),
                       owner_.begin() + static_cast<std::ptrdiff_t>(end),
                       [](std::uint32_t owner) { return owner != kNoOwner; });
  }

  // The character of the current text right after original offset `end`, if any.
  std::optional<char32_t> next_char(std::size_t end) const {
    while (end < stretch_.size()) {
      if (owner_.empty() || owner_[end] == kNoOwner) return decode_utf8(stretch_, end).code_point;
      const Replacement& r = replaced_[owner_[end] - 1];
      if (!r.text.empty()) return decode_utf8(r.text, 0).code_point;
      end = r.end;
    }
    return std::nullopt;
  }

  // Whether the character of the current text right before original offset `start` leaves a
  // match there unreplaced.
  bool blocked(std::size_t start) const {
    while (start > 0) {
      if (owner_.empty() || owner_[start - 1] == kNoOwner) {
        return blocks_match(static_cast<unsigned char>(stretch_[start - 1]));
      }
      const Replacement& r = replaced_[owner_[start - 1] - 1];
      if (!r.text.empty()) return blocks_match(static_cast<unsigned char>(r.text.back()));
      start = r.start;
    }
    return false;
  }

  void resolve(PairRef pair, std::span<const Occurrence> occurrences) {
    const ForwardMatcher::PairInfo& info = info_of(pair);
    const EntityTokenPair entity_token = pair_of(pair);
    pending_.clear();
    std::size_t resume = 0;
    for (const Occurrence& o : occurrences) {
      if (o.start < resume || overlaps_replaced(o.start, o.end)) continue;
      if (info.closing_boundary) {
        const std::optional<char32_t> next = next_char(o.end);
        if (next && is_boundary_word_char(*next)) continue;
      }
      resume = o.end;
      if (!blocked(o.start)) pending_.push_back(o);
    }
    if (pending_.empty()) return;
    if (owner_.empty()) owner_.assign(stretch_.size(), kNoOwner);
    for (const Occurrence& o : pending_) {
      replaced_.push_back({o.start, o.end, entity_token.token});
      std::fill(owner_.begin() + static_cast<std::ptrdiff_t>(o.start),
                owner_.begin() + static_cast<std::ptrdiff_t>(o.end),
                static_cast<std::uint32_t>(replaced_.size()));
    }
  }

  std::span<const ForwardMatcher* const> matchers_;
  std::string_view stretch_;
  std::string& folded_;  // followed by kPadding bytes that prefix_hash may read
  std::size_t folded_size_ = 0;
  std::vector<std::size_t>& origin_;  // folded offset to original offset; empty when equal
  std::vector<Occurrence>& found_;
  std::vector<Occurrence>& pending_;
  std::vector<Occurrence>& more_;    // found by add_passed_over
  std::vector<Occurrence>& sorted_;  // room for reordering found_
  std::vector<Replacement>& replaced_;  // in the order the pairs made them
  std::vector<std::uint32_t>& owner_;   // per byte: 1 + index into replaced_, or kNoOwner
  std::vector<bool>& seen_;             // per byte, for add_passed_over
};

void find_replacements(std::span<const ForwardMatcher* const> matchers, std::string_view stretch,
                       std::size_t offset, std::vector<Replacement>& out,
                       StretchBuffers& buffers) {
  if (stretch.empty()) return;
  if (std::all_of(matchers.begin(), matchers.end(), [](const auto* m) { return m->empty(); })) {
    return;
  }
  StretchMatch(matchers, stretch, *buffers.vectors_).run(offset, out);
}

void find_replacements(std::span<const ForwardMatcher* const> matchers, std::string_view stretch,
                       std::size_t offset, std::vector<Replacement>& out) {
  StretchBuffers buffers;
  find_replacements(matchers, stretch, offset, out, buffers);
}

std::string fast_substitute_segment(std::string_view segment,
                                    const std::vector<EntityTokenPair>& pairs) {
  std::vector<EntityTokenPair> used;
  std::copy_if(pairs.begin(), pairs.end(), std::back_inserter(used),
               [](const EntityTokenPair& pair) { return !pair.entity.empty(); });
  std::vector<Replacement> replacements;
  const ForwardMatcher matcher(std::move(used));
  const ForwardMatcher* const matchers[] = {&matcher};
  find_replacements(matchers, segment, 0, replacements);
  return splice(segment, replacements);
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

}  // namespace velk
