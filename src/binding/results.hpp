// Building the Python results of the Graph methods from the kernel's answers.
//
// Every function returns a new reference, or null with an exception set (the kernel's error
// mapped by to_py_err, or the failure of building the result).
#pragma once

#include <span>
#include <string_view>
#include <utility>

#include "binding/errors.hpp"
#include "core/graph.hpp"
#include "cpython/python.hpp"

namespace tavik::binding {

/// A new string on every call, never a shared one: also the kind and state names.
PyObject* new_str(std::string_view s) noexcept;
PyObject* kind_str(NodeKind kind) noexcept;
PyObject* state_str(NodeState state) noexcept;
/// The tuple `(kind, needs_recompute, signature)`.
PyObject* check_tuple(const CheckResult& check) noexcept;
/// A new list of new strings: the ids of `nodes`, in order.
PyObject* id_list(const Graph& graph, std::span<const NodeIndex> nodes) noexcept;
/// A new list of new strings: every id, in registration order.
PyObject* all_ids(const Graph& graph) noexcept;

PyObject* none_or_raise(Status&& status) noexcept;

/// `build(value)` for the value of a kernel call, or its error raised.
template <class T, class Build>
PyObject* or_raise(Result<T>&& result, Build&& build) noexcept {
  if (!result) return to_py_err(std::move(result).error());
  return build(*result);
}

/// The ids of the nodes a kernel call answered with (a vector or a span of indices).
template <class Nodes>
PyObject* ids_or_raise(const Graph& graph, Result<Nodes>&& result) noexcept {
  return or_raise(std::move(result),
                  [&graph](const Nodes& nodes) { return id_list(graph, nodes); });
}

}  // namespace tavik::binding
