// Private access to a kernel graph for the native tests: state no public call can set up, and
// the steps behind the schedules.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "core/graph.hpp"

namespace tavik {

struct GraphTestAccess {
  static void set_clock(Graph& g, std::uint64_t value) { g.clock_ = value; }
  static auto resolve_seeds(const Graph& g, std::span<const std::string_view> ids) {
    return g.resolve_seeds(ids);
  }
};

}  // namespace tavik
