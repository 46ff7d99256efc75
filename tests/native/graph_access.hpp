// Private access to a kernel graph for the native tests: state no public call can set up, and
// the steps behind the schedules.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "core/graph.hpp"

namespace tavik {

struct GraphTestAccess {
  static void set_clock(Graph& g, std::uint64_t value) { g.clock_ = value; }
  /// Slots in the block of dependency lists, live or left behind by replaced lists.
  static std::size_t dep_slots(const Graph& g) { return g.dep_pool_.size(); }
  /// Slots in the block of dependents lists: lists, their room and headers, and garbage.
  static std::size_t rev_slots(const Graph& g) { return g.rev_pool_.size(); }
  static auto resolve_seeds(const Graph& g, std::span<const std::string_view> ids) {
    return g.resolve_seeds(ids);
  }
};

}  // namespace tavik
