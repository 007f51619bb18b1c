// The literal prefixes of a peer's shaped subscriptions, as a byte trie: a
// message walks it once and meets every subscription whose literal it starts
// with.  A thousand prefix subscriptions cost one walk as long as the
// longest literal the message starts with, not one lookup per literal.
//
// Built all at once from the subscriptions of a set (build()), read many
// times.  A run of bytes that every literal below a node shares is kept as
// the node's label and compared at once ("topic" of "topic1 ".."topic999 "),
// and nodes are laid out breadth first, so the children of a node are
// neighbours, and their bytes too, sorted: up to sixteen are compared in one
// instruction.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace wex {

class LiteralIndex {
 public:
  // (literal, subscription) pairs, in any order (sorted by the call); the
  // views need to live only during the call.
  void build(std::vector<std::pair<std::string_view, int>> &entries);
  bool empty() const { return subs_.empty(); }

  // Calls found(sub) for each subscription whose literal text starts with,
  // shortest literal first.
  template <class Found>
  void prefixes_of(std::string_view text, Found &&found) const {
    if (subs_.empty()) return;
    uint32_t n = 0;
    for (size_t depth = 0;;) {
      const Node &node = nodes_[n];
      if (node.label_size != 0) {  // most nodes have none: no call then
        if (node.label_size > text.size() - depth ||
            std::memcmp(text.data() + depth, labels_.data() + node.label_begin, node.label_size))
          return;
        depth += node.label_size;
      }
      for (uint32_t s = node.subs_begin; s < node.subs_end; ++s) found(subs_[s]);
      if (depth == text.size()) return;
      n = child(node, static_cast<uint8_t>(text[depth++]));
      if (n == 0) return;
    }
  }

 private:
  struct Node {
    uint32_t children_begin = 0, children_end = 0;  // indexes in nodes_
    uint32_t subs_begin = 0, subs_end = 0;          // indexes in subs_
    uint32_t label_begin = 0, label_size = 0;       // in labels_: the bytes after the edge
  };
  // The child of node along byte, or 0 (the root is nobody's child).
  uint32_t child(const Node &node, uint8_t byte) const;

  std::vector<Node> nodes_;
  std::vector<uint8_t> bytes_;  // bytes_[i]: the byte on the edge into node i
  std::string labels_;
  std::vector<int> subs_;
  struct Pending {
    uint32_t node;
    size_t begin, end, depth;  // entries[begin, end) share their first depth bytes
  };
  std::vector<Pending> queue_;  // of build(), kept for the next
};

}  // namespace wex
