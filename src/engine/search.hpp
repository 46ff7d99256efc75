// Which nodes a read must visit: the dirty nodes of the read node's upstream cone, found in about
// the smaller of what the pending changes reach and that cone.
#pragma once

#include <vector>

#include "engine/state.hpp"

namespace tavik::engine {

/// Stamps a new search and marks (Mark::kBackward under s.search) a set of nodes that holds every
/// node of `i`'s upstream cone that a pending change can reach, and only nodes of that cone; the
/// dirty ones go to `due`, in no order. Changes nothing else. May throw std::bad_alloc.
void cone_to_visit(State& s, Index i, std::vector<Index>& due);

}  // namespace tavik::engine
