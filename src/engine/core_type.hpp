// The engine's native core: `tavik._engine.Core`, the per-node state and walk under
// `tavik.Engine`.
#pragma once

#include "cpython/python.hpp"

namespace tavik::engine {

/// A new reference to the Core type, created on first use; null with an exception set.
PyObject* core_type() noexcept;

}  // namespace tavik::engine
