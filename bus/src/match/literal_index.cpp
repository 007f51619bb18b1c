#include "match/literal_index.h"

#include <algorithm>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace wex {

namespace {
// Room after the last edge byte, so that sixteen can always be loaded.
constexpr size_t kPadding = 16;
}  // namespace

void LiteralIndex::build(std::vector<std::pair<std::string_view, int>> &entries) {
  nodes_.clear();
  bytes_.clear();
  labels_.clear();
  subs_.clear();
  if (entries.empty()) return;
  // Sorted, the entries under any node are a range, and a literal that ends
  // at the node is a prefix of the others there, so it comes first.
  std::sort(entries.begin(), entries.end());
  std::vector<Pending> &queue = queue_;
  queue.assign(1, Pending{0, 0, entries.size(), 0});
  nodes_.emplace_back();
  bytes_.push_back(0);
  for (size_t q = 0; q < queue.size(); ++q) {
    Pending p = queue[q];
    // The label: what the first and the last literal share (so all between
    // do), up to the end of the shortest, which is the first.
    std::string_view first = entries[p.begin].first, last = entries[p.end - 1].first;
    size_t shared = p.depth;
    while (shared < first.size() && first[shared] == last[shared]) ++shared;
    Node &node = nodes_[p.node];
    node.label_begin = uint32_t(labels_.size());
    node.label_size = uint32_t(shared - p.depth);
    labels_.append(first.substr(p.depth, shared - p.depth));
    size_t i = p.begin;
    node.subs_begin = uint32_t(subs_.size());
    for (; i < p.end && entries[i].first.size() == shared; ++i) subs_.push_back(entries[i].second);
    node.subs_end = uint32_t(subs_.size());
    node.children_begin = uint32_t(nodes_.size());
    while (i < p.end) {
      char byte = entries[i].first[shared];
      size_t j = i;
      while (j < p.end && entries[j].first[shared] == byte) ++j;
      queue.push_back({uint32_t(nodes_.size()), i, j, shared + 1});
      nodes_.emplace_back();
      bytes_.push_back(static_cast<uint8_t>(byte));
      i = j;
    }
    nodes_[p.node].children_end = uint32_t(nodes_.size());  // node moved as nodes_ grew
  }
  bytes_.resize(bytes_.size() + kPadding);
}

uint32_t LiteralIndex::child(const Node &node, uint8_t byte) const {
  uint32_t count = node.children_end - node.children_begin;
  const uint8_t *begin = bytes_.data() + node.children_begin;
#if defined(__SSE2__)
  if (count <= 16) {
    __m128i edges = _mm_loadu_si128(reinterpret_cast<const __m128i *>(begin));
    unsigned hits = unsigned(_mm_movemask_epi8(_mm_cmpeq_epi8(edges, _mm_set1_epi8(char(byte)))));
    hits &= (1u << count) - 1;
    return hits ? node.children_begin + uint32_t(__builtin_ctz(hits)) : 0;
  }
#endif
  const uint8_t *end = begin + count;
  const uint8_t *at = std::lower_bound(begin, end, byte);
  return at != end && *at == byte ? uint32_t(at - bytes_.data()) : 0;
}

}  // namespace wex
