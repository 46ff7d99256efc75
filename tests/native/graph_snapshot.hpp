// A comparable copy of everything a kernel graph shows: used to prove that a failed operation
// (an error value, or std::bad_alloc) leaves the graph exactly as it was.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "core/graph.hpp"

namespace tavik_test {

struct NodeSnapshot {
  std::string id;
  tavik::NodeKind kind;
  tavik::NodeState state;
  std::vector<tavik::NodeIndex> deps;
  bool has_signature;
  std::uint64_t signature;
  bool has_content_hash;
  std::uint64_t content_hash;
  std::uint64_t epoch;
  std::vector<tavik::NodeIndex> dependents;  ///< only recorded while the graph is built
  bool alive;                                ///< not removed
  bool found;                                ///< its id looks it up

  bool operator==(const NodeSnapshot&) const = default;
};

struct GraphSnapshot {
  std::vector<NodeSnapshot> nodes;
  std::uint64_t clock;
  bool built;
  std::vector<tavik::NodeIndex> order;  ///< only recorded while the graph is built (holes too)
  std::size_t dead;

  bool operator==(const GraphSnapshot&) const = default;
};

/// Everything observable about `g`. The order and the reverse edges are recorded only while the
/// graph is built, since nothing reads them otherwise.
inline GraphSnapshot snapshot(const tavik::Graph& g) {
  GraphSnapshot s;
  s.clock = g.clock();
  s.built = g.built();
  s.dead = g.dead();
  for (std::size_t i = 0; i < g.size(); ++i) {
    const auto idx = static_cast<tavik::NodeIndex>(i);
    const tavik::Node n = g.node(idx);
    const auto deps = n.dep_span();
    NodeSnapshot ns{std::string(n.id),
                    n.kind,
                    n.state,
                    {deps.begin(), deps.end()},
                    n.has_signature,
                    n.has_signature ? n.signature : 0,
                    n.has_content_hash,
                    n.has_content_hash ? n.content_hash : 0,
                    n.epoch,
                    {},
                    g.alive(idx),
                    g.contains(n.id) && g.idx(n.id).value() == idx};
    if (s.built) {
      const auto rs = g.dependents(idx);
      ns.dependents.assign(rs.begin(), rs.end());
    }
    s.nodes.push_back(std::move(ns));
  }
  if (s.built) {
    auto order = g.topo_order();
    if (order.ok()) s.order.assign(order->begin(), order->end());
  }
  return s;
}

}  // namespace tavik_test
