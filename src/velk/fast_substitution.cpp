// The fast forward substitution.
//
// No pair ever searches text that another pair put in, so every match of every pair is an
// occurrence of its entity text in the original stretch. One Aho-Corasick scan per map layer
// over the folded stretch finds them all; the pairs are then taken in their order, and each
// keeps, leftmost first, the occurrences that the literal algorithm would match, judging the
// characters around each one in the current text (original characters, or the edge of a token
// put in by an earlier pair). substitution.md gives the argument step by step, with a worked
// example.
#include "velk/fast_substitution.h"

#include <unicode/uchar.h>

#include <algorithm>
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

ForwardMatcher::ForwardMatcher(std::vector<EntityTokenPair> pairs) : pairs_(std::move(pairs)) {
  info_.reserve(pairs_.size());
  // What is only needed to build the automaton lives in this block, so that it is freed
  // before the nodes are renumbered (a large map's peak memory is set here).
  {
    std::vector<std::string> folded;
    folded.reserve(pairs_.size());
    for (const EntityTokenPair& pair : pairs_) {
      folded.push_back(fold_text(pair.entity));
      info_.push_back({static_cast<std::uint32_t>(folded.back().size()),
                       is_short_capitals(pair.entity), needs_closing_boundary(pair.entity)});
    }

    // The trie, built from the folded texts in byte order: each text shares with the one before
    // it exactly the nodes of their common prefix, so it only adds nodes below that, and every
    // node's children come out in byte order. Case variants end at one node, in pair order.
    std::vector<std::uint32_t> order(pairs_.size());
    for (std::uint32_t i = 0; i < order.size(); ++i) order[i] = i;
    std::sort(order.begin(), order.end(), [&folded](std::uint32_t a, std::uint32_t b) {
      const int c = folded[a].compare(folded[b]);
      return c != 0 ? c < 0 : a < b;
    });
    struct Link {
      std::uint32_t parent;
      Edge edge;
    };
    std::vector<Link> links;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> ends;  // (node, pair)
    std::vector<std::uint32_t> path = {0};  // the nodes along the previous text
    std::string_view previous;
    std::uint32_t node_count = 1;
    for (const std::uint32_t pair : order) {
      const std::string_view text = folded[pair];
      const std::size_t common =
          static_cast<std::size_t>(std::mismatch(previous.begin(), previous.end(), text.begin(),
                                                 text.end()).first - previous.begin());
      path.resize(common + 1);
      for (std::size_t d = common; d < text.size(); ++d) {
        links.push_back({path.back(), {static_cast<std::uint8_t>(text[d]), node_count}});
        path.push_back(node_count++);
      }
      ends.emplace_back(path[text.size()], pair);
      previous = text;
    }

    // Laid out flat: each node's edges, and its outputs, side by side (a stable counting sort by
    // node keeps their order).
    nodes_.resize(node_count);
    for (const Link& link : links) ++nodes_[link.parent].edges_end;
    for (const auto& [node, pair] : ends) ++nodes_[node].outputs_end;
    std::uint32_t edge_total = 0;
    std::uint32_t output_total = 0;
    for (Node& node : nodes_) {
      node.edges_begin = edge_total;
      edge_total += node.edges_end;
      node.edges_end = node.edges_begin;
      node.outputs_begin = output_total;
      output_total += node.outputs_end;
      node.outputs_end = node.outputs_begin;
    }
    edges_.resize(edge_total);
    outputs_.resize(output_total);
    for (const Link& link : links) edges_[nodes_[link.parent].edges_end++] = link.edge;
    for (const auto& [node, pair] : ends) outputs_[nodes_[node].outputs_end++] = pair;
  }
  renumber_breadth_first();

  // Breadth-first numbering puts the shallowest nodes first; full rows of next nodes make the
  // steps that a scan takes most often one load. A small automaton (a few new entries) keeps
  // only the root's row: its rows would cost more to build than they save on a short text.
  const std::size_t dense_rows =
      nodes_.size() < 256 ? 1 : std::min<std::size_t>(kDenseRows, nodes_.size() / 8);

  // Failure and output links, breadth first so that every shallower node is done.
  for (std::uint32_t node = 0; node < nodes_.size(); ++node) {
    for (std::uint32_t e = nodes_[node].edges_begin; e < nodes_[node].edges_end; ++e) {
      const Edge edge = edges_[e];
      Node& child = nodes_[edge.target];
      child.fail = node == 0 ? 0 : step(nodes_[node].fail, edge.byte);
      const Node& fail = nodes_[child.fail];
      child.output_link = fail.outputs_begin != fail.outputs_end ? child.fail : fail.output_link;
    }
    if (node < dense_rows) {
      dense_.resize(dense_.size() + 256);
      std::uint32_t* row = dense_.data() + dense_.size() - 256;
      for (unsigned byte = 0; byte < 256; ++byte) {
        row[byte] = node == 0 ? 0 : step(nodes_[node].fail, static_cast<std::uint8_t>(byte));
      }
      for (std::uint32_t e = nodes_[node].edges_begin; e < nodes_[node].edges_end; ++e) {
        row[edges_[e].byte] = edges_[e].target;
      }
      dense_rows_ = node + 1;
    }
  }
}

// Renumbers the nodes in breadth-first order (each node's children, in byte order, after all
// shallower nodes); edges and outputs follow their nodes.
void ForwardMatcher::renumber_breadth_first() {
  std::vector<Node> nodes(nodes_.size());
  std::vector<Edge> edges;
  edges.reserve(edges_.size());
  std::vector<std::uint32_t> outputs;
  outputs.reserve(outputs_.size());
  std::vector<std::uint32_t> queue = {0};  // old numbers, in new order
  queue.reserve(nodes_.size());
  for (std::uint32_t next = 0; next < queue.size(); ++next) {
    const Node& old = nodes_[queue[next]];
    Node& node = nodes[next];
    node.edges_begin = static_cast<std::uint32_t>(edges.size());
    for (std::uint32_t e = old.edges_begin; e < old.edges_end; ++e) {
      edges.push_back({edges_[e].byte, static_cast<std::uint32_t>(queue.size())});
      queue.push_back(edges_[e].target);
    }
    node.edges_end = static_cast<std::uint32_t>(edges.size());
    node.outputs_begin = static_cast<std::uint32_t>(outputs.size());
    outputs.insert(outputs.end(), outputs_.begin() + old.outputs_begin,
                   outputs_.begin() + old.outputs_end);
    node.outputs_end = static_cast<std::uint32_t>(outputs.size());
  }
  nodes_ = std::move(nodes);
  edges_ = std::move(edges);
  outputs_ = std::move(outputs);
}

std::uint32_t ForwardMatcher::step(std::uint32_t node, std::uint8_t byte) const {
  while (true) {
    if (node < dense_rows_) return dense_[node * 256 + byte];
    const Node& n = nodes_[node];
    const auto first = edges_.begin() + n.edges_begin;
    const auto last = edges_.begin() + n.edges_end;
    const auto it = std::lower_bound(
        first, last, byte, [](const Edge& edge, std::uint8_t b) { return edge.byte < b; });
    if (it != last && it->byte == byte) return it->target;
    node = n.fail;
  }
}

// The matching of one stretch: its folded form, the occurrences, and which bytes hold which
// replacement so far.
class StretchMatch {
 public:
  StretchMatch(std::span<const ForwardMatcher* const> matchers, std::string_view stretch)
      : matchers_(matchers), stretch_(stretch) {
    if (is_ascii(stretch)) {
      folded_.resize(stretch.size());
      std::transform(stretch.begin(), stretch.end(), folded_.begin(), ascii_lower);
      return;
    }
    folded_.reserve(stretch.size());
    origin_.reserve(stretch.size() + 1);
    for (std::size_t p = 0; p < stretch.size();) {
      const DecodedChar ch = decode_utf8(stretch, p);
      append_utf8(folded_, fold_char(ch.code_point));
      origin_.resize(folded_.size(), p);
      p += ch.length;
    }
    origin_.push_back(stretch.size());
  }

  void run(std::size_t offset, std::vector<Replacement>& out) {
    if (scan()) {
      std::sort(found_.begin(), found_.end(), [this](const Occurrence& a, const Occurrence& b) {
        if (a.matcher != b.matcher || a.pair != b.pair) return comes_first(ref(a), ref(b));
        return a.start < b.start;
      });
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
        for (std::uint32_t p = 0; p < matchers_[m]->pairs_.size(); ++p) order.push_back({m, p});
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

  const EntityTokenPair& pair_of(PairRef ref) const {
    return matchers_[ref.matcher]->pairs_[ref.pair];
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

  // Collects every occurrence of every pair; false when there are too many to keep. A long
  // stretch is scanned in two halves side by side: the second half's scan starts early enough
  // to see every occurrence that ends in it, and keeps only those.
  bool scan() {
    const std::size_t limit = 4 * stretch_.size() + 4096;
    if (folded_.size() < kSecondThreadBytes) return scan_part(0, 0, folded_.size(), limit, found_);
    std::size_t longest = 0;
    for (const ForwardMatcher* matcher : matchers_) {
      for (const auto& info : matcher->info_) {
        longest = std::max<std::size_t>(longest, info.folded_length);
      }
    }
    const std::size_t middle = folded_.size() / 2;
    const std::size_t second_from = middle > longest ? middle - longest : 0;
    std::vector<Occurrence> second_found;
    bool second_ok = true;
    {
      SecondThread second([&] {
        second_ok = scan_part(second_from, middle, folded_.size(), limit / 2, second_found);
      });
      const bool first_ok = scan_part(0, 0, middle, limit / 2, found_);
      second.wait();
      if (!first_ok || !second_ok) {
        found_.clear();
        return false;
      }
    }
    found_.insert(found_.end(), second_found.begin(), second_found.end());
    return true;
  }

  // Scans folded_[from, to) and keeps the occurrences that end after `keep_after`.
  bool scan_part(std::size_t from, std::size_t keep_after, std::size_t to, std::size_t limit,
                 std::vector<Occurrence>& found) const {
    for (std::uint32_t m = 0; m < matchers_.size(); ++m) {
      const ForwardMatcher& matcher = *matchers_[m];
      std::uint32_t node = 0;
      for (std::size_t j = from; j < to; ++j) {
        const auto byte = static_cast<std::uint8_t>(folded_[j]);
        node = node < matcher.dense_rows_ ? matcher.dense_[node * 256 + byte]
                                          : matcher.step(node, byte);
        const ForwardMatcher::Node& n = matcher.nodes_[node];
        std::uint32_t at = n.outputs_begin != n.outputs_end ? node : n.output_link;
        if (at == 0 || j + 1 <= keep_after) continue;
        for (; at != 0; at = matcher.nodes_[at].output_link) {
          const ForwardMatcher::Node& o = matcher.nodes_[at];
          for (std::uint32_t k = o.outputs_begin; k < o.outputs_end; ++k) {
            const std::uint32_t pair = matcher.outputs_[k];
            const std::size_t end = j + 1;
            found.push_back(
                {m, pair, origin(end - matcher.info_[pair].folded_length), origin(end)});
          }
        }
        if (found.size() > limit) return false;
      }
    }
    return true;
  }

  // The occurrences of one pair, overlapping ones included, into found_.
  void search_one(PairRef pair) {
    found_.clear();
    const std::string folded_entity = fold_text(pair_of(pair).entity);
    const std::string_view folded = folded_entity;
    const std::string_view text = folded_;
    for (std::size_t at = text.find(folded); at != std::string_view::npos;
         at = text.find(folded, at + utf8_sequence_length(static_cast<unsigned char>(text[at])))) {
      found_.push_back({pair.matcher, pair.pair, origin(at), origin(at + folded.size())});
    }
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
    const EntityTokenPair& entity_token = pair_of(pair);
    pending_.clear();
    std::size_t resume = 0;
    for (const Occurrence& o : occurrences) {
      if (o.start < resume || overlaps_replaced(o.start, o.end)) continue;
      if (info.case_sensitive && stretch_.substr(o.start, o.end - o.start) != entity_token.entity) {
        continue;
      }
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
  std::string folded_;
  std::vector<std::size_t> origin_;  // folded offset to original offset; empty when equal
  std::vector<Occurrence> found_;
  std::vector<Occurrence> pending_;
  std::vector<Replacement> replaced_;   // in the order the pairs made them
  std::vector<std::uint32_t> owner_;    // per byte: 1 + index into replaced_, or kNoOwner
};

void find_replacements(std::span<const ForwardMatcher* const> matchers, std::string_view stretch,
                       std::size_t offset, std::vector<Replacement>& out) {
  if (stretch.empty()) return;
  if (std::all_of(matchers.begin(), matchers.end(), [](const auto* m) { return m->empty(); })) {
    return;
  }
  StretchMatch(matchers, stretch).run(offset, out);
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
