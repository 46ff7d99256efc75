// The walk: brings pending nodes up to date in the kernel's order, calling users' functions.
//
// Both entry points have one contract: true when done; false with an exception set, the node
// being visited left dirty and unchanged, and everything visited before it committed. Every
// allocation a node's visit needs is made before the node changes, and the engine is busy (it
// refuses every call) while users' code runs.
#pragma once

#include "engine/state.hpp"

namespace tavik::engine {

/// Brings every pending node up to date, recording what happened in `s.record`.
bool stabilize(State& s) noexcept;
/// Brings node `i` up to date and only what it depends on: about the smaller of what the pending
/// changes reach and `i`'s upstream cone is searched, and nothing outside that cone is computed.
/// Dependents outside the cone that become dirty are left pending.
bool read(State& s, Index i) noexcept;

}  // namespace tavik::engine
