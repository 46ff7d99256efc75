#include "engine/search.hpp"

namespace tavik::engine {
namespace {

/// A new stamp for the marks of one read; on wrap-around every mark is cleared first.
std::uint32_t next_stamp(State& s) noexcept {
  if (++s.search == Mark::kStamps) {
    for (Slot& slot : s.nodes.all()) slot.mark.clear();
    s.search = 1;
  }
  return s.search;
}

}  // namespace

void cone_to_visit(State& s, Index i, std::vector<Index>& due) {
  const std::uint32_t stamp = next_stamp(s);
  std::vector<Index>& forward = s.forward;
  std::vector<Index>& backward = s.backward;
  forward.clear();
  backward.clear();
  due.clear();

  // Forward from every dirty node, backward from `i`, a node at a
  // time each; the first search to end bounds the work.
  s.dirty_at.for_each([&](std::uint32_t p) {
    const Index n = s.graph.at(p);
    s.nodes[n].mark.set(stamp, Mark::kForward);
    forward.push_back(n);
  });
  const auto reach_back = [&](Index n) {
    Slot& slot = s.nodes[n];
    slot.mark.set(stamp, Mark::kBackward);
    if (s.is_dirty(n)) due.push_back(n);
    backward.push_back(n);
  };
  reach_back(i);
  while (!forward.empty() && !backward.empty()) {
    const Index f = forward.back();
    forward.pop_back();
    for (const Index d : s.graph.dependents(f)) {
      Slot& slot = s.nodes[d];
      if (!slot.mark.has(stamp, Mark::kForward)) {
        slot.mark.set(stamp, Mark::kForward);
        forward.push_back(d);
      }
    }
    const Index b = backward.back();
    backward.pop_back();
    for (const Index d : s.graph.deps(b)) {
      if (!s.nodes[d].mark.has(stamp, Mark::kBackward)) reach_back(d);
    }
  }
  if (!backward.empty()) {
    // Everything pending changes can reach is known. If that misses `i`, nothing is to be done;
    // otherwise what remains of the cone is searched within it only: a node of the cone that
    // no pending change reaches depends on none that one reaches.
    if (!s.nodes[i].mark.has(stamp, Mark::kForward)) {
      due.clear();
      return;
    }
    while (!backward.empty()) {
      const Index b = backward.back();
      backward.pop_back();
      if (!s.nodes[b].mark.has(stamp, Mark::kForward)) continue;
      for (const Index d : s.graph.deps(b)) {
        const Slot& slot = s.nodes[d];
        if (!slot.mark.has(stamp, Mark::kBackward) && slot.mark.has(stamp, Mark::kForward)) {
          reach_back(d);
        }
      }
    }
  }
}

}  // namespace tavik::engine
