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

bool ReportMaker::init(PyObject* type) noexcept {
  static constexpr const char* kNames[kFields] = {"schedule", "computed", "changed", "cut_off",
                                                  "reused",   "failed",   "seconds"};
  if (!PyType_Check(type)) {
    PyErr_SetString(PyExc_TypeError, "the report must be a class");
    return false;
  }
  for (std::size_t k = 0; k < kFields; ++k) {
    PyRef slot = PyRef::steal(PyObject_GetAttrString(type, kNames[k]));
    if (!slot) return false;
    auto set = reinterpret_cast<descrsetfunc>(PyType_GetSlot(Py_TYPE(slot.get()), Py_tp_descr_set));
    if (set == nullptr) {
      PyErr_Format(PyExc_TypeError, "the report class has no slot %s", kNames[k]);
      return false;
    }
    slots_[k] = std::move(slot);
    set_[k] = set;
  }
  type_ = PyRef::borrow(type);
  return true;
}

PyObject* ReportMaker::make(const State& s, double seconds) const noexcept {
  auto* type = reinterpret_cast<PyTypeObject*>(type_.get());
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyRef report = PyRef::steal(alloc(type, 0));
  if (!report) return nullptr;
  for (std::size_t k = 0; k < kFields; ++k) {
    PyRef value =
        PyRef::steal(k + 1 < kFields ? id_list(s, s.record.list(static_cast<Recorder::List>(k)))
                                     : PyFloat_FromDouble(seconds));
    if (!value || set_[k](slots_[k].get(), report.get(), value.get()) < 0) return nullptr;
  }
  return report.release();
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
