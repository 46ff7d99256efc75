// The nodes a read will visit, smallest place in the order first: a node and its place, which
// cannot change while the read runs.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "core/graph.hpp"

namespace tavik::engine {

class Heap {
 public:
  struct Entry {
    std::uint32_t position;
    NodeIndex node;
  };

  bool empty() const noexcept { return entries_.empty(); }
  Entry top() const noexcept { return unpack(entries_.front()); }
  /// Room for `more` pushes that cannot throw.
  void reserve_more(std::size_t more) {
    const std::size_t need = entries_.size() + more;
    if (need > entries_.capacity()) entries_.reserve(std::max(need, 2 * entries_.capacity()));
  }
  /// Adds an entry; room must have been made.
  void push(std::uint32_t position, NodeIndex node) noexcept {
    entries_.push_back((std::uint64_t{position} << 32) | node);
    std::push_heap(entries_.begin(), entries_.end(), std::greater<>());
  }
  void pop() noexcept {
    std::pop_heap(entries_.begin(), entries_.end(), std::greater<>());
    entries_.pop_back();
  }
  void clear() noexcept { entries_.clear(); }

 private:
  static Entry unpack(std::uint64_t e) noexcept {
    return {static_cast<std::uint32_t>(e >> 32), static_cast<NodeIndex>(e & 0xFFFFFFFFu)};
  }
  std::vector<std::uint64_t> entries_;
};

}  // namespace tavik::engine
