// The Core type: its slots and methods. Each method binds its arguments, refuses a call made
// while the engine computes, and hands the work to the walk, the edits or the report builders.
#include "engine/core_type.hpp"

#include <chrono>
#include <cstddef>
#include <memory>
#include <new>
#include <string_view>

#include "engine/edits.hpp"
#include "engine/report.hpp"
#include "engine/state.hpp"
#include "engine/walk.hpp"

namespace tavik::engine {
namespace {

constexpr const char* kModule = "tavik._engine";

struct CoreObject {
  PyObject ob_base;
  State* state;
  PyObject* missing;  // what a read gives for a node without a value
  ReportMaker* report;
};

PyTypeObject* g_core_type = nullptr;

CoreObject& core_of(PyObject* self) noexcept {
  return *reinterpret_cast<CoreObject*>(self);
}

/// Runs a method's body on the engine's state: refused while a walk runs, and no C++ exception
/// gets out.
template <class F>
PyObject* method(PyObject* self, F&& body) noexcept {
  return cpython::guarded_call(kModule, static_cast<PyObject*>(nullptr), [&]() -> PyObject* {
    State& s = *core_of(self).state;
    if (s.busy) {
      PyErr_SetString(PyExc_RuntimeError, "the engine is computing");
      return nullptr;
    }
    return body(s);
  });
}

bool nargs_is(Py_ssize_t nargs, Py_ssize_t expected, const char* name) noexcept {
  if (nargs == expected) return true;
  PyErr_Format(PyExc_TypeError, "Core.%s() takes %zd arguments (%zd given)", name, expected, nargs);
  return false;
}

PyObject* or_null(PyObject* o) noexcept {
  return o == Py_None ? nullptr : o;
}

PyObject* done(bool ok) noexcept {
  if (!ok) return nullptr;
  Py_RETURN_NONE;
}

PyObject* str_of(std::string_view text) noexcept {
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

// ---- methods -------------------------------------------------------------------------------

PyObject* core_kind(PyObject* self, PyObject* id) noexcept {
  return method(self, [&](State& s) -> PyObject* {
    Index i = kNoNode;
    if (!lookup(s, id, i)) return nullptr;
    if (i == kNoNode) Py_RETURN_NONE;
    return str_of(kKindNames[static_cast<std::size_t>(s.graph.kind(i))]);
  });
}

PyObject* core_unknown(PyObject* self, PyObject* ids) noexcept {
  return method(self, [&](State& s) -> PyObject* {
    if (!PyTuple_Check(ids)) return PyErr_Format(PyExc_TypeError, "ids must be a tuple");
    const Py_ssize_t n = PyTuple_Size(ids);
    for (Py_ssize_t k = 0; k < n; ++k) {
      PyObject* id = PyTuple_GetItem(ids, k);
      Index i = kNoNode;
      if (!PyUnicode_CheckExact(id)) return PyLong_FromSsize_t(k);
      if (!lookup(s, id, i)) return nullptr;
      if (i == kNoNode) return PyLong_FromSsize_t(k);
    }
    return PyLong_FromLong(-1);
  });
}

// add(id, kind, deps, fn, equal, value)
PyObject* core_add(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept {
  return method(self, [&](State& s) -> PyObject* {
    if (!nargs_is(nargs, 6, "add")) return nullptr;
    Py_ssize_t size = 0;
    const char* name = PyUnicode_Check(args[1]) ? PyUnicode_AsUTF8AndSize(args[1], &size) : nullptr;
    const auto kind = name != nullptr
                          ? parse_kind(std::string_view(name, static_cast<std::size_t>(size)))
                          : std::nullopt;
    if (!kind) return PyErr_Format(PyExc_ValueError, "invalid kind %R", args[1]);
    return done(add(s, args[0], *kind, args[2], or_null(args[3]), or_null(args[4]), args[5]));
  });
}

// redefine(id, deps or None, fn or None): the cycle the deps would close, or None
PyObject* core_redefine(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept {
  return method(self, [&](State& s) -> PyObject* {
    Index i = kNoNode;
    if (!nargs_is(nargs, 3, "redefine") || !known(s, args[0], i)) return nullptr;
    if (s.graph.kind(i) == NodeKind::Input) {
      return PyErr_Format(PyExc_ValueError, "%R is an input", args[0]);
    }
    PyRef cycle;
    const int outcome = redefine(s, i, or_null(args[1]), or_null(args[2]), cycle);
    if (outcome < 0) return nullptr;
    if (outcome == 0) return cycle.release();
    Py_RETURN_NONE;
  });
}

PyObject* core_remove(PyObject* self, PyObject* id) noexcept {
  return method(self, [&](State& s) -> PyObject* {
    Index i = kNoNode;
    return known(s, id, i) ? done(remove(s, i)) : nullptr;
  });
}

PyObject* core_dependents(PyObject* self, PyObject* id) noexcept {
  return method(self, [&](State& s) -> PyObject* {
    Index i = kNoNode;
    if (!known(s, id, i)) return nullptr;
    const auto span = s.graph.dependents(i);
    Indices sorted(span.begin(), span.end());  // by index: in the order of definition
    std::sort(sorted.begin(), sorted.end());
    return id_list(s, sorted);
  });
}

// set(id, value)
PyObject* core_set(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept {
  return method(self, [&](State& s) -> PyObject* {
    Index i = kNoNode;
    if (!nargs_is(nargs, 2, "set") || !known(s, args[0], i)) return nullptr;
    if (s.graph.kind(i) != NodeKind::Input) {
      return PyErr_Format(PyExc_ValueError, "%R is not an input", args[0]);
    }
    PyRef old = std::move(s.nodes[i].fn_or_pending);  // dropped last
    s.nodes[i].fn_or_pending = PyRef::borrow(args[1]);
    s.mark_dirty(i);
    Py_RETURN_NONE;
  });
}

PyObject* core_set_many(PyObject* self, PyObject* items) noexcept {
  return method(self, [&](State& s) { return done(set_values(s, items)); });
}

PyObject* core_invalidate(PyObject* self, PyObject* ids) noexcept {
  return method(self, [&](State& s) { return done(invalidate(s, ids)); });
}

PyObject* core_stabilize(PyObject* self, PyObject*) noexcept {
  return method(self, [&](State& s) -> PyObject* {
    const auto start = std::chrono::steady_clock::now();
    if (!stabilize(s)) return nullptr;
    const std::chrono::duration<double> seconds = std::chrono::steady_clock::now() - start;
    PyObject* report = core_of(self).report->make(s, seconds.count());
    s.record.clear();
    return report;
  });
}

PyObject* core_read(PyObject* self, PyObject* id) noexcept {
  return method(self, [&](State& s) -> PyObject* {
    Index i = kNoNode;
    if (!known(s, id, i) || !read(s, i)) return nullptr;
    PyObject* value = s.nodes[i].value.get();
    if (value == nullptr) value = core_of(self).missing;
    Py_INCREF(value);
    return value;
  });
}

PyObject* core_failure(PyObject* self, PyObject* id) noexcept {
  return method(self, [&](State& s) -> PyObject* {
    Index i = kNoNode;
    if (!known(s, id, i)) return nullptr;
    const Slot& slot = s.nodes[i];
    if (!slot.failed()) Py_RETURN_NONE;
    return PyTuple_Pack(2, slot.extra->failure_origin.get(), slot.extra->failure_error.get());
  });
}

PyObject* core_explain(PyObject* self, PyObject* id) noexcept {
  return method(self, [&](State& s) -> PyObject* {
    Index i = kNoNode;
    return known(s, id, i) ? explanation(s, i) : nullptr;
  });
}

PyObject* core_state(PyObject* self, PyObject* id) noexcept {
  return method(self, [&](State& s) -> PyObject* {
    Index i = kNoNode;
    if (!known(s, id, i)) return nullptr;
    return str_of(kStateNames[static_cast<std::size_t>(s.graph.state(i))]);
  });
}

// nodes(): (id, kind, outcome, deps as given) of every node, in the order of definition.
PyObject* core_nodes(PyObject* self, PyObject*) noexcept {
  return method(self, [&](State& s) -> PyObject* {
    PyRef out = PyRef::steal(PyList_New(0));
    if (!out) return nullptr;
    for (Index i = 0; i < s.nodes.size(); ++i) {
      if (!s.graph.alive(i)) continue;
      const Slot& slot = s.nodes[i];
      PyRef deps = PyRef::steal(deps_as_given(s, i));
      if (!deps) return nullptr;
      PyRef row = PyRef::steal(Py_BuildValue(
          "(OssO)", slot.id.get(), kKindNames[static_cast<std::size_t>(s.graph.kind(i))].data(),
          kOutcomeNames[static_cast<std::size_t>(slot.outcome)], deps.get()));
      if (!row || PyList_Append(out.get(), row.get()) < 0) return nullptr;
    }
    return out.release();
  });
}

Py_ssize_t core_length(PyObject* self) noexcept {
  const State& s = *core_of(self).state;
  return static_cast<Py_ssize_t>(s.graph.size() - s.graph.dead());
}

PyObject* core_get_busy(PyObject* self, void*) noexcept {
  return PyBool_FromLong(core_of(self).state->busy ? 1 : 0);
}

PyObject* core_get_computing(PyObject* self, void*) noexcept {
  const State& s = *core_of(self).state;
  if (s.computing == kNoNode) Py_RETURN_NONE;
  return PyRef::borrow(s.nodes[s.computing].id.get()).release();
}

// ---- life cycle and garbage collection -----------------------------------------------------

PyObject* core_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  return cpython::guarded_call(kModule, static_cast<PyObject*>(nullptr), [&]() -> PyObject* {
    PyObject* missing = nullptr;
    PyObject* report_type = nullptr;
    if ((kwargs != nullptr && PyDict_Size(kwargs) != 0) ||
        !PyArg_UnpackTuple(args, "Core", 2, 2, &missing, &report_type)) {
      if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "Core() takes no keywords");
      return nullptr;
    }
    auto report = std::make_unique<ReportMaker>();
    if (!report->init(report_type)) return nullptr;
    auto state = std::make_unique<State>();  // its graph is keyed from the OS's random source
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* self = alloc(type, 0);
    if (self == nullptr) return nullptr;
    CoreObject& core = core_of(self);
    core.state = state.release();
    core.report = report.release();
    core.missing = PyRef::borrow(missing).release();
    return self;
  });
}

int core_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
  Py_VISIT(Py_TYPE(self));
  const CoreObject& core = core_of(self);
  Py_VISIT(core.missing);
  if (core.report != nullptr) Py_VISIT(core.report->type());
  if (core.state == nullptr) return 0;
  for (const Slot& slot : core.state->nodes.all()) {
    Py_VISIT(slot.id.get());
    Py_VISIT(slot.value.get());
    Py_VISIT(slot.fn_or_pending.get());
    if (const Extra* extra = slot.extra.get()) {
      for (const PyRef* ref :
           {&extra->equal, &extra->failure_origin, &extra->failure_error, &extra->explained}) {
        Py_VISIT(ref->get());
      }
    }
  }
  return 0;
}

// Drops the references that can take part in a cycle. The slots stay, without functions or
// values; while the references go, calls back into the core are refused.
int core_clear(PyObject* self) noexcept {
  CoreObject& core = core_of(self);
  if (core.state == nullptr) return 0;
  State& s = *core.state;
  const bool busy = s.busy;
  s.busy = true;
  for (Slot& slot : s.nodes.all()) {
    PyRef value = std::move(slot.value);
    PyRef fn = std::move(slot.fn_or_pending);
    if (Extra* extra = slot.extra.get()) {
      PyRef equal = std::move(extra->equal);
      PyRef origin = std::move(extra->failure_origin);
      PyRef error = std::move(extra->failure_error);
      PyRef explained = std::move(extra->explained);
    }
  }
  s.busy = busy;
  return 0;
}

void core_dealloc(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  CoreObject& core = core_of(self);
  core_clear(self);
  if (core.state != nullptr) {
    core.state->busy = true;
    delete core.state;
    core.state = nullptr;
  }
  Py_CLEAR(core.missing);
  delete core.report;
  core.report = nullptr;
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(type);
}

// ---- the type ------------------------------------------------------------------------------

template <class F>
PyCFunction as_cfunction(F* f) noexcept {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

PyMethodDef g_methods[] = {
    {"kind", as_cfunction(core_kind), METH_O,
     "kind($self, id, /)\n--\n\nThe node's kind, or None for an unknown id."},
    {"unknown", as_cfunction(core_unknown), METH_O,
     "unknown($self, ids, /)\n--\n\n"
     "The place of the first entry of `ids` that is not the exact str id of a node, or -1."},
    {"add", as_cfunction(core_add), METH_FASTCALL,
     "add($self, id, kind, deps, fn, equal, value, /)\n--\n\n"
     "Define a node; `value` is an input's first value."},
    {"redefine", as_cfunction(core_redefine), METH_FASTCALL,
     "redefine($self, id, deps, fn, /)\n--\n\n"
     "Change a node's deps and/or function (None: unchanged) and make it recompute; the\n"
     "cycle the deps would close (nothing changed), or None."},
    {"remove", as_cfunction(core_remove), METH_O,
     "remove($self, id, /)\n--\n\nRemove a node that nothing depends on."},
    {"dependents", as_cfunction(core_dependents), METH_O,
     "dependents($self, id, /)\n--\n\nThe nodes that depend on the node, in definition order."},
    {"set", as_cfunction(core_set), METH_FASTCALL,
     "set($self, id, value, /)\n--\n\nChange an input's value."},
    {"set_many", as_cfunction(core_set_many), METH_O,
     "set_many($self, items, /)\n--\n\nChange the inputs of a list of (id, value) pairs: all or "
     "none."},
    {"invalidate", as_cfunction(core_invalidate), METH_O,
     "invalidate($self, ids, /)\n--\n\n"
     "Force the nodes of a tuple of ids to recompute at their next evaluation: all or none."},
    {"stabilize", as_cfunction(core_stabilize), METH_NOARGS,
     "stabilize($self, /)\n--\n\n"
     "Bring every node up to date; a `report` of the lists schedule, computed,\n"
     "changed, cut_off, reused and failed, and the seconds it took."},
    {"read", as_cfunction(core_read), METH_O,
     "read($self, id, /)\n--\n\n"
     "The node's value after bringing what it depends on up to date; the core's\n"
     "`missing` object for a node that failed."},
    {"failure", as_cfunction(core_failure), METH_O,
     "failure($self, id, /)\n--\n\nThe node's failure as (origin, error), or None."},
    {"explain", as_cfunction(core_explain), METH_O,
     "explain($self, id, /)\n--\n\n"
     "(reason, changed dependencies) of the node's last call, or None if never called."},
    {"state", as_cfunction(core_state), METH_O,
     "state($self, id, /)\n--\n\nThe node's state: clean, or dirty when the next evaluation\n"
     "reaching it will visit it."},
    {"nodes", as_cfunction(core_nodes), METH_NOARGS,
     "nodes($self, /)\n--\n\n(id, kind, outcome, deps) of every node, in definition order."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef g_getset[] = {
    {"busy", core_get_busy, nullptr, "Whether a walk is running.", nullptr},
    {"computing", core_get_computing, nullptr, "The node whose function runs, or None.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr char kCoreDoc[] =
    "Core(missing, report, /)\n--\n\n"
    "The native part of an engine: per-node values, functions and equalities over a\n"
    "kernel graph, and the walk that brings them up to date.";

PyType_Slot g_slots[] = {
    {Py_tp_doc, const_cast<char*>(kCoreDoc)},
    {Py_tp_new, reinterpret_cast<void*>(core_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(core_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(core_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(core_clear)},
    {Py_tp_methods, g_methods},
    {Py_tp_getset, g_getset},
    {Py_sq_length, reinterpret_cast<void*>(core_length)},
    {0, nullptr},
};

PyType_Spec g_spec = {
    "tavik._engine.Core", sizeof(CoreObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, g_slots,
};

}  // namespace

PyObject* core_type() noexcept {
  if (g_core_type == nullptr) {
    PyObject* type = PyType_FromSpec(&g_spec);
    if (type == nullptr) return nullptr;
    g_core_type = reinterpret_cast<PyTypeObject*>(type);  // this reference is never dropped
  }
  return PyRef::borrow(reinterpret_cast<PyObject*>(g_core_type)).release();
}

}  // namespace tavik::engine
