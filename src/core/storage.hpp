// Small helpers of the kernel's own storage, shared by its source files.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/graph.hpp"

namespace tavik::detail {

/// The bit of node `i` in its 64-bit word of a per-node bitset.
constexpr std::uint64_t bit(NodeIndex i) noexcept {
  return std::uint64_t{1} << (i & 63);
}

/// Makes room for one more element (at least doubling), so that the push_back that follows
/// cannot throw.
template <class T>
void reserve_one_more(std::vector<T>& v) {
  if (v.size() == v.capacity()) v.reserve(std::max<std::size_t>(16, v.size() * 2));
}

}  // namespace tavik::detail
