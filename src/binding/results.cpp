#include "binding/results.hpp"

#include <cstddef>

namespace tavik::binding {

using cpython::PyRef;
namespace {

// A new list of new strings: the ids of the nodes `node_at(0) .. node_at(count - 1)`.
template <class NodeAt>
PyObject* ids_of(const Graph& graph, std::size_t count, NodeAt node_at) noexcept {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(count)));
  if (!list) return nullptr;
  for (std::size_t k = 0; k < count; ++k) {
    PyObject* item = new_str(graph.id_of(node_at(k)));
    if (item == nullptr) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(k), item);  // steals item
  }
  return list.release();
}

}  // namespace

PyObject* new_str(std::string_view s) noexcept {
  return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}

PyObject* id_list(const Graph& graph, std::span<const NodeIndex> nodes) noexcept {
  return ids_of(graph, nodes.size(), [nodes](std::size_t k) { return nodes[k]; });
}

PyObject* all_ids(const Graph& graph) noexcept {
  return ids_of(graph, graph.size(), [](std::size_t k) { return static_cast<NodeIndex>(k); });
}

PyObject* none_or_raise(Status&& status) noexcept {
  if (!status) return to_py_err(std::move(status).error());
  Py_RETURN_NONE;
}

PyObject* kind_str(NodeKind kind) noexcept {
  return new_str(kKindNames[static_cast<std::size_t>(kind)]);
}

PyObject* state_str(NodeState state) noexcept {
  return new_str(kStateNames[static_cast<std::size_t>(state)]);
}

PyObject* check_tuple(const CheckResult& check) noexcept {
  PyRef kind = PyRef::steal(kind_str(check.kind));
  if (!kind) return nullptr;
  PyRef signature = PyRef::steal(PyLong_FromUnsignedLongLong(check.signature));
  if (!signature) return nullptr;
  PyObject* decision = PyBool_FromLong(check.needs_recompute);
  PyRef tuple = PyRef::steal(PyTuple_New(3));
  if (!tuple) {
    Py_DECREF(decision);
    return nullptr;
  }
  PyTuple_SetItem(tuple.get(), 0, kind.release());  // each call steals its item
  PyTuple_SetItem(tuple.get(), 1, decision);
  PyTuple_SetItem(tuple.get(), 2, signature.release());
  return tuple.release();
}

}  // namespace tavik::binding
