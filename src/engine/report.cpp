#include "engine/report.hpp"

#include "engine/state.hpp"

namespace tavik::engine {

PyObject* id_list(const State& s, const Indices& nodes) noexcept {
  PyRef out = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(nodes.size())));
  if (!out) return nullptr;
  for (std::size_t k = 0; k < nodes.size(); ++k) {
    PyObject* id = s.nodes[nodes[k]].id.get();
    Py_INCREF(id);
    PyList_SetItem(out.get(), static_cast<Py_ssize_t>(k), id);
  }
  return out.release();
}

PyObject* update_lists(const State& s) noexcept {
  PyRef out = PyRef::steal(PyTuple_New(Recorder::kLists));
  if (!out) return nullptr;
  for (std::size_t k = 0; k < Recorder::kLists; ++k) {
    PyObject* list = id_list(s, s.record.list(static_cast<Recorder::List>(k)));
    if (list == nullptr) return nullptr;
    PyTuple_SetItem(out.get(), static_cast<Py_ssize_t>(k), list);
  }
  return out.release();
}

PyObject* changed_deps(const State& s, NodeIndex i) noexcept {
  const Slot& slot = s.nodes[i];
  if (slot.extra && slot.extra->explained) {
    return PyList_GetSlice(slot.extra->explained.get(), 0, PY_SSIZE_T_MAX);
  }
  PyRef out = PyRef::steal(PyList_New(0));
  if (!out || slot.last_reason != Reason::Dependencies) return out.release();
  const auto deps = s.graph.deps(i);
  for (std::size_t k = 0; k < deps.size(); ++k) {
    const bool changed =
        k < 64 ? (slot.changed >> k) & 1 : (slot.extra->wide[(k - 64) >> 6] >> ((k - 64) & 63)) & 1;
    if (changed && PyList_Append(out.get(), s.nodes[deps[k]].id.get()) < 0) return nullptr;
  }
  return out.release();
}

PyObject* explanation(const State& s, NodeIndex i) noexcept {
  const Slot& slot = s.nodes[i];
  if (slot.last_reason == Reason::None) Py_RETURN_NONE;
  PyRef changed = PyRef::steal(changed_deps(s, i));
  if (!changed) return nullptr;
  return Py_BuildValue("(sO)", kReasonNames[static_cast<std::size_t>(slot.last_reason)],
                       changed.get());
}

PyObject* deps_as_given(const State& s, NodeIndex i) noexcept {
  const auto deps = s.graph.deps(i);
  const Slot& slot = s.nodes[i];
  const bool mapped = slot.extra && !slot.extra->args.empty();
  const std::size_t n = mapped ? slot.extra->args.size() : deps.size();
  PyRef out = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(n)));
  if (!out) return nullptr;
  for (std::size_t k = 0; k < n; ++k) {
    PyObject* id = s.nodes[deps[mapped ? slot.extra->args[k] : k]].id.get();
    Py_INCREF(id);
    PyTuple_SetItem(out.get(), static_cast<Py_ssize_t>(k), id);
  }
  return out.release();
}

}  // namespace tavik::engine
