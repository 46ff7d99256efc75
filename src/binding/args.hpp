// Binding call arguments to parameters, and converting them to native values.
//
// Every function returns false (or null) with a Python exception set when it fails.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "cpython/python.hpp"

namespace tavik::binding {

using cpython::PyRef;

/// What binding needs to know about a callable: its display name and its parameters, all of
/// them positional-or-keyword and required.
struct FunctionDescription {
  const char* class_name;  ///< shown as "Class.function()"
  const char* func_name;
  const char* const* params;
  Py_ssize_t nparams;
};

/// Binds a vector call's arguments to `out[0 .. desc.nparams)` as borrowed references.
/// Raises the TypeError of a surplus positional, a repeated or unknown keyword, or a missing
/// argument.
bool bind_args(const FunctionDescription& desc, PyObject* const* args, Py_ssize_t nargs,
               PyObject* kwnames, PyObject** out) noexcept;

/// Refuses any argument to a callable without parameters, as a type call passes them.
bool bind_no_args(const FunctionDescription& desc, PyObject* args, PyObject* kwargs) noexcept;

/// A `str` (or subclass) as its UTF-8 bytes, borrowed from the object. Raises TypeError for
/// other types and UnicodeEncodeError for strings without a UTF-8 form (lone surrogates).
bool convert(PyObject* o, std::string_view& out) noexcept;

/// An `int` (or any object with `__index__`) in 0 .. 2**64 - 1. Raises the interpreter's
/// TypeError or OverflowError, or whatever `__index__` raises.
bool convert(PyObject* o, std::uint64_t& out) noexcept;

/// The ids of a sequence of `str`, in iteration order, repeats kept. The views stay valid as
/// long as the list holds its references.
struct IdList {
  std::vector<PyRef> refs;
  std::vector<std::string_view> views;
};

/// Fills `out` from a sequence that is not itself a `str`. May throw std::bad_alloc.
bool convert(PyObject* o, IdList& out);

/// Rewrites the pending exception of a failed conversion of parameter `name`: a plain
/// TypeError becomes "argument '<name>': <message>", keeping its cause; any other exception,
/// a TypeError subclass included, is left as it is.
void argument_extraction_error(const char* name) noexcept;

/// Converts the argument of parameter `name` into `out`; on failure the exception names the
/// parameter (see argument_extraction_error).
template <class T>
bool convert_arg(PyObject* o, const char* name, T& out) noexcept(noexcept(convert(o, out))) {
  if (convert(o, out)) return true;
  argument_extraction_error(name);
  return false;
}

/// Raises "'<type>' object cannot be converted to '<target>'" for `o`.
void raise_cannot_convert(PyObject* o, const char* target) noexcept;

}  // namespace tavik::binding
