// Kernel errors as Python exceptions.
#pragma once

#include "core/error.hpp"
#include "cpython/python.hpp"

namespace tavik::binding {

/// Raises the Python exception of a kernel error (KeyError, ValueError or RuntimeError with the
/// error's message) and returns null, ready to be returned from a C entry point.
PyObject* to_py_err(GraphError&& error) noexcept;

}  // namespace tavik::binding
