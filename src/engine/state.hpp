// The state of one engine: the kernel graph, the slots beside it, the places of the dirty nodes,
// and the few operations that keep them in step.
//
// Invariants between calls: a node is Dirty in the kernel exactly when the next evaluation that
// reaches it will visit it; `dirty_at` holds exactly the places of the Dirty nodes (it is their
// index by place, so that a walk finds them in order); every slot of a live node holds its id.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/graph.hpp"
#include "engine/nodes.hpp"
#include "engine/places.hpp"
#include "engine/report.hpp"

namespace tavik::engine {

struct State {
  Graph graph;
  Nodes nodes;
  Places dirty_at;                            ///< the places of the Dirty nodes
  Recorder record;                            ///< the lists of the stabilize running
  std::size_t failures = 0;                   ///< slots holding a failure
  std::uint32_t search = 0;                   ///< the stamp of the latest read's searches
  std::vector<Index> forward, backward, due;  ///< scratch of a read, kept for its capacity
  Index computing = kNoNode;                  ///< the node whose function or equality runs
  bool busy = false;                          ///< a walk is running: every call is refused

  bool is_dirty(Index i) const noexcept { return graph.state(i) == NodeState::Dirty; }

  /// Room in `dirty_at` for every place of the order, and `more` places after them.
  void reserve_places(std::size_t more = 0) { dirty_at.reserve(graph.order_size() + more); }
  /// Makes `i` Dirty (room for its place must have been made).
  void mark_dirty(Index i) noexcept {
    graph.set_state(i, NodeState::Dirty);
    dirty_at.insert(graph.position(i));
  }
  /// Makes the visited node `i` leave the dirty set (the kernel made it Clean).
  void visited(Index i) noexcept { dirty_at.erase(graph.position(i)); }
  /// Takes the places of the Dirty nodes placed in [from, to] again, after the order there
  /// changed.
  void replace_span(std::uint32_t from, std::uint32_t to) noexcept;
};

}  // namespace tavik::engine
