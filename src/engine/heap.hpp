// The nodes waiting for a visit, smallest place in the order first. An entry is a hint, not a
// fact: it names a node and the place it had when pushed, and the walk skips an entry whose
// node has moved, been visited or been removed since.
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
  std::size_t size() const noexcept { return entries_.size(); }
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
  /// Keeps only the entries for which `keep(entry)` holds, in O(size).
  template <class Keep>
  void filter(const Keep& keep) noexcept {
    std::erase_if(entries_, [&](std::uint64_t e) { return !keep(unpack(e)); });
    std::make_heap(entries_.begin(), entries_.end(), std::greater<>());
  }
  template <class F>
  void for_each(const F& f) const {
    for (const std::uint64_t e : entries_) f(unpack(e));
  }
  std::size_t capacity() const noexcept { return entries_.capacity(); }

 private:
  static Entry unpack(std::uint64_t e) noexcept {
    return {static_cast<std::uint32_t>(e >> 32), static_cast<NodeIndex>(e & 0xFFFFFFFFu)};
  }
  std::vector<std::uint64_t> entries_;
};

}  // namespace tavik::engine
