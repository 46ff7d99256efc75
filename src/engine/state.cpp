#include "engine/state.hpp"

#include <algorithm>

namespace tavik::engine {

void Nodes::reserve_one_more() {
  if (slots_.size() == slots_.capacity()) {
    slots_.reserve(std::max<std::size_t>(16, slots_.capacity() + slots_.capacity() / 2));
  }
}

void Nodes::adopt(std::span<const NodeIndex> map, std::vector<Slot>& fresh) noexcept {
  for (std::size_t i = 0; i < slots_.size(); ++i) {
    if (map[i] != kNoNode) fresh.push_back(std::move(slots_[i]));
  }
  slots_.swap(fresh);
  fresh.clear();
}

void State::replace_span(std::uint32_t from, std::uint32_t to) noexcept {
  for (std::uint32_t p = from; p <= to; ++p) {
    const Index n = graph.at(p);
    if (n != kNoNode && is_dirty(n)) {
      dirty_at.insert(p);
    } else {
      dirty_at.erase(p);
    }
  }
}

}  // namespace tavik::engine
