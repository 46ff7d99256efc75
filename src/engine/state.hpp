// The state of one engine: the kernel graph, the slots beside it, the heap of pending nodes,
// and the few operations that keep them in step.
//
// Invariants between calls: a node is Dirty in the kernel exactly when the next evaluation that
// reaches it will visit it, and then it has an entry in `pending` (its slot's in_heap is set);
// `counters` count what they say; every slot of a live node holds its id.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/graph.hpp"
#include "engine/heap.hpp"
#include "engine/nodes.hpp"
#include "engine/report.hpp"

namespace tavik::engine {

struct State {
  Graph graph;
  Nodes nodes;
  Heap pending;              ///< the nodes the next stabilize visits (and stale entries)
  Recorder record;           ///< the lists of the stabilize running
  std::size_t failures = 0;  ///< slots holding a failure
  std::size_t dirty = 0;     ///< live nodes that are Dirty
  std::size_t stale = 0;     ///< entries of `pending` known to be stale
  std::uint32_t search = 0;  ///< the stamp of the latest read's searches
  std::vector<Index> forward, backward, due;  ///< scratch of a read, kept for its capacity
  Index computing = kNoNode;                  ///< the node whose function or equality runs
  bool busy = false;                          ///< a walk is running: every call is refused

  bool is_dirty(Index i) const noexcept { return graph.state(i) == NodeState::Dirty; }

  /// Whether `e` still names a pending node at the place it was pushed with.
  bool current(Heap::Entry e) const noexcept {
    return graph.alive(e.node) && graph.position(e.node) == e.position && nodes[e.node].in_heap;
  }

  /// Makes `i` Dirty and pending (room in `pending` must have been made).
  void mark_dirty(Index i) noexcept {
    if (!is_dirty(i)) {
      graph.set_state(i, NodeState::Dirty);
      ++dirty;
    }
    push_pending(i);
  }
  /// Gives the Dirty node `i` an entry in `pending` if it has none (room must have been made).
  void push_pending(Index i) noexcept {
    Slot& slot = nodes[i];
    if (slot.in_heap) return;
    slot.in_heap = true;
    pending.push(graph.position(i), i);
  }
  /// Gives every pending node placed in [from, to] a fresh entry after the order there changed
  /// (room for to - from + 1 entries must have been made); the old entries go stale.
  void repush_span(std::uint32_t from, std::uint32_t to) noexcept;
  /// Drops stale entries once they outnumber the others: O(entries), paid for by the calls
  /// that made them stale.
  void trim_pending() noexcept;
};

}  // namespace tavik::engine
