// The Python type `tavik._tavik.Graph`.
#pragma once

#include "cpython/python.hpp"

namespace tavik::binding {

/// The Graph type, created on first use and kept for the life of the process. New reference,
/// or null with an exception set.
PyObject* graph_type() noexcept;

}  // namespace tavik::binding
