// The edits of an engine: definitions, changes of inputs, invalidations, redefinitions and
// removals. Each either completes or changes nothing: false (or -1) with an exception set, and
// every allocation made before the first change. None calls user code while the engine is
// inconsistent; references an edit drops are dropped once it is consistent again.
#pragma once

#include "engine/state.hpp"

namespace tavik::engine {

/// The node with exactly the id `id` (a str), or kNoNode; false with an exception set if `id` is
/// not a str.
bool lookup(const State& s, PyObject* id, Index& out) noexcept;
/// As lookup, with KeyError(id) for an unknown id.
bool known(const State& s, PyObject* id, Index& out) noexcept;

/// Defines a node: `deps` a tuple of known ids; `fn` a source's read or a derived node's
/// function; `equal` or None; `value` an input's first value.
bool add(State& s, PyObject* id, NodeKind kind, PyObject* deps, PyObject* fn, PyObject* equal,
         PyObject* value) noexcept;
/// Gives `i` new deps (a tuple of known ids, or null: unchanged) and/or a new function (null:
/// unchanged), and makes it recompute. 1 done; 0 refused because the deps would close a cycle,
/// whose ids are then in `cycle`; -1 with an exception set.
int redefine(State& s, Index i, PyObject* deps, PyObject* fn, PyRef& cycle) noexcept;
/// Removes `i`, which nothing may depend on; nothing else is recomputed.
bool remove(State& s, Index i) noexcept;
/// Changes the value of the inputs of `items`, a list of (id, value) pairs: all or none.
bool set_values(State& s, PyObject* items) noexcept;
/// Forces the non-input nodes of the tuple `ids` to recompute: all or none.
bool invalidate(State& s, PyObject* ids) noexcept;

}  // namespace tavik::engine
