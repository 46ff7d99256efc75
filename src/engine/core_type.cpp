// The Core type: a kernel graph plus, per node, the references the engine keeps (value,
// function, equality, pending input value, failure), and the pruned walk over them.
//
// A node's record sits at the node's index in the kernel graph: both are in registration
// order, and a removal rebuilds the graph and drops the record at the same place. The walk
// visits only dirty nodes, in a heap keyed by place in the order, and makes dirty only the
// dependents of nodes whose value (or failure) changed. Python code runs only inside users'
// functions and equalities; while it runs the core is busy and refuses every call into it.
//
// Every change of state made by the walk is preceded by the allocations it needs, so that an
// interrupt, an exception that is not an `Exception`, or running out of memory leaves the node
// being visited dirty and unchanged, and everything else consistent.
#include "engine/core_type.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <new>
#include <span>
#include <stdexcept>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/graph.hpp"

namespace tavik::engine {
namespace {

using cpython::PyRef;

constexpr const char* kModule = "tavik._engine";

using Index = std::uint32_t;
using Indices = std::vector<Index>;

enum class Reason : std::uint8_t { None, New, Redefined, Invalidated, Dependencies };
enum class Outcome : std::uint8_t { Pending, Changed, Unchanged, Reused, CutOff, Failed };

constexpr std::array<const char*, 5> kReasonNames = {"", "new", "redefined", "invalidated",
                                                     "dependencies"};
constexpr std::array<const char*, 6> kOutcomeNames = {"pending", "changed", "unchanged",
                                                      "reused",  "cut_off", "failed"};

/// One node's record.
struct Rec {
  PyRef id;              // str
  PyRef fn;              // null for an input
  PyRef equal;           // null: ==
  PyRef value;           // null: none (never evaluated, or failed)
  PyRef pending;         // an input's value set since its last evaluation; null: none
  PyRef failure_origin;  // the id of the node whose function raised; null: no failure
  PyRef failure_error;
  PyRef explained;     // the changed deps of the last call once one of them was removed
  Indices args;        // the record of each dependency as given, one per argument
  Indices dependents;  // each once, in the order they were defined
  Indices changes;     // dependencies that changed since the last call
  Indices last_changes;
  Indices last_deps;             // the deps of the last call, kept once a redefinition changed them
  std::uint64_t changed_at = 0;  // the clock when the value (or failure) last changed
  std::uint32_t cone = 0;        // the read whose cone last held the node
  std::int32_t pos = -1;         // place in the order; -1 until the order is taken
  NodeKind kind = NodeKind::Input;
  Reason reason = Reason::New;        // forces the next computation unless None
  Reason last_reason = Reason::None;  // None: never called
  Outcome outcome = Outcome::Pending;
  bool dirty = true;
  bool in_heap = false;
  bool own_last_deps = false;

  bool failed() const noexcept { return static_cast<bool>(failure_error); }
};

/// The lists of an update as a walk fills them, by record.
struct Recorder {
  Indices schedule, computed, changed, cut_off, reused, failed;
  void clear() noexcept {
    for (Indices* list : {&schedule, &computed, &changed, &cut_off, &reused, &failed}) {
      list->clear();
    }
  }
};

struct State {
  Graph graph;
  std::vector<Rec> recs;
  Indices order;  // record by place
  Indices heap;   // places of dirty nodes (and of some no longer dirty), each once
  Indices due;    // the heap of a read
  Indices stack;  // scratch of a read's cone
  Recorder record;
  std::uint64_t clock = 0;
  std::uint32_t cone_stamp = 0;
  std::size_t failures = 0;  // records holding a failure
  std::size_t dirty = 0;     // records marked dirty
  std::int64_t computing = -1;
  bool stale = false;  // the order must be taken from the kernel again
  bool busy = false;   // a walk (or a clear) is running: refuse every call
};

struct CoreObject {
  PyObject ob_base;
  State* state;
  PyObject* missing;  // what a read gives for a node without a value
};

PyTypeObject* g_core_type = nullptr;

State& state_of(PyObject* self) noexcept {
  return *reinterpret_cast<CoreObject*>(self)->state;
}

/// Room for one more entry, growing geometrically.
void room(Indices& list) {
  if (list.size() == list.capacity()) list.reserve(std::max<std::size_t>(4, 2 * list.capacity()));
}

void heap_push(Indices& heap, Index pos) noexcept {
  heap.push_back(pos);  // capacity is kept at or above the number of records
  std::push_heap(heap.begin(), heap.end(), std::greater<>());
}

void heap_pop(Indices& heap) noexcept {
  std::pop_heap(heap.begin(), heap.end(), std::greater<>());
  heap.pop_back();
}

/// The records of `list` in order, each once.
Indices unique(const Indices& list) {
  Indices out;
  out.reserve(list.size());
  for (const Index r : list) {
    if (std::find(out.begin(), out.end(), r) == out.end()) out.push_back(r);
  }
  return out;
}

bool refuse_busy(const State& s) noexcept {
  if (!s.busy) return false;
  PyErr_SetString(PyExc_RuntimeError, "the engine is computing");
  return true;
}

bool internal(const char* what) noexcept {
  PyErr_Format(PyExc_SystemError, "tavik._engine: %s", what);
  return false;
}

bool utf8(PyObject* o, std::string_view& out) noexcept {
  if (!PyUnicode_Check(o)) {
    PyErr_SetString(PyExc_TypeError, "node ids are str");
    return false;
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(o, &size);
  if (data == nullptr) return false;
  out = std::string_view(data, static_cast<std::size_t>(size));
  return true;
}

bool lookup(const State& s, PyObject* id, Index& out) noexcept {
  std::string_view key;
  if (!utf8(id, key)) return false;
  if (!s.graph.contains(key)) {
    PyErr_SetObject(PyExc_KeyError, id);
    return false;
  }
  out = *s.graph.idx(key);  // allocates only on failure
  return true;
}

/// The records of a tuple of ids, and their UTF-8 views (valid while the tuple lives).
bool resolve(const State& s, PyObject* deps, Indices& args, std::vector<std::string_view>& views) {
  if (!PyTuple_Check(deps)) {
    PyErr_SetString(PyExc_TypeError, "deps must be a tuple");
    return false;
  }
  const Py_ssize_t n = PyTuple_Size(deps);
  args.reserve(static_cast<std::size_t>(n));
  views.reserve(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* dep = PyTuple_GetItem(deps, i);
    Index r = 0;
    std::string_view key;
    if (dep == nullptr || !lookup(s, dep, r) || !utf8(dep, key)) return false;
    args.push_back(r);
    views.push_back(key);
  }
  return true;
}

PyObject* id_list(const State& s, const Indices& list) noexcept {
  PyRef out = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(list.size())));
  if (!out) return nullptr;
  for (std::size_t i = 0; i < list.size(); ++i) {
    PyObject* id = s.recs[list[i]].id.get();
    Py_INCREF(id);
    PyList_SetItem(out.get(), static_cast<Py_ssize_t>(i), id);
  }
  return out.release();
}

std::string_view key_of(const State& s, Index r) noexcept {
  return s.graph.id_of(r);
}

void set_dirty_flag(State& s, Rec& n, bool dirty) noexcept {
  if (n.dirty == dirty) return;
  n.dirty = dirty;
  if (dirty) {
    ++s.dirty;
  } else {
    --s.dirty;
  }
}

/// Keeps the heap able to hold every record once.
void reserve_heap(State& s, std::size_t records) {
  if (s.heap.capacity() < records) s.heap.reserve(std::max<std::size_t>(16, 2 * records));
}

/// Between walks: the node must be visited by the next walk that reaches it.
void mark_dirty(State& s, Index r) noexcept {
  Rec& n = s.recs[r];
  if (n.dirty) return;
  set_dirty_flag(s, n, true);
  (void)s.graph.set_dirty(key_of(s, r));
  if (!s.stale && !n.in_heap) {
    n.in_heap = true;
    heap_push(s.heap, static_cast<Index>(n.pos));
  }
}

/// A kernel graph holding the records but `skip` with their states and memo carried over.
///
/// Epochs cannot be copied, so every node gets a fresh one in topological order, with a
/// signature that keeps the kernel's verdict (valid or not) what it was; inputs keep their
/// content hash, and dirty nodes stay dirty. Nothing is recomputed because of it.
Graph rebuilt(const State& s, std::size_t skip) {
  Graph graph;
  const std::size_t n = s.recs.size();
  const auto old_of = [&](std::size_t i) { return skip <= i ? i + 1 : i; };
  for (std::size_t i = 0; i < n; ++i) {
    if (i == skip) continue;
    const Rec& rec = s.recs[i];
    if (!graph.add_node(key_of(s, static_cast<Index>(i)),
                        kKindNames[static_cast<std::size_t>(rec.kind)])) {
      throw std::logic_error("rebuild: add_node");
    }
  }
  std::vector<std::string_view> views;
  for (std::size_t i = 0; i < n; ++i) {
    const Rec& rec = s.recs[i];
    if (i == skip || rec.args.empty()) continue;
    views.clear();
    for (const Index d : rec.args) views.push_back(key_of(s, d));
    if (!graph.set_deps(key_of(s, static_cast<Index>(i)), views)) {
      throw std::logic_error("rebuild: set_deps");
    }
  }
  if (!graph.build()) throw std::logic_error("rebuild: build");
  const auto order = graph.topo_order();
  for (const NodeIndex j : order.value()) {
    const Rec& rec = s.recs[old_of(j)];
    const std::string_view key = graph.id_of(j);
    if (rec.kind == NodeKind::Input) {
      (void)graph.commit_input(key, rec.changed_at);
    } else {
      const bool valid = rec.outcome != Outcome::Pending && !rec.dirty;
      const std::uint64_t signature = graph.signature_of(j);
      (void)graph.commit_node(key, valid ? signature : signature ^ 1);
    }
    if (rec.dirty) (void)graph.set_dirty(key);
  }
  return graph;
}

/// After an edit that moved a node: the kernel's order again, and the heap keyed by it.
bool take_order(State& s) {
  if (!s.stale) return true;
  if (!s.graph.build()) return internal("the order cannot be built");
  const auto order = s.graph.topo_order();
  Indices fresh(order.value().begin(), order.value().end());
  reserve_heap(s, s.recs.size());
  s.order = std::move(fresh);
  s.heap.clear();
  for (std::size_t pos = 0; pos < s.order.size(); ++pos) {
    Rec& n = s.recs[s.order[pos]];
    n.pos = static_cast<std::int32_t>(pos);
    n.in_heap = n.dirty;
    if (n.dirty) s.heap.push_back(static_cast<Index>(pos));  // ascending: a heap already
  }
  s.stale = false;
  return true;
}

// ---- the walk ------------------------------------------------------------------------------

/// Whether `new_value` is no change from `old`: 1 same, 0 changed, -1 an exception that is not
/// an `Exception` (set). A comparison that raises an `Exception` or answers anything but `True`
/// is a change.
int same_value(PyObject* equal, PyObject* old, PyObject* new_value) noexcept {
  PyRef result =
      PyRef::steal(equal == nullptr ? PyObject_RichCompare(old, new_value, Py_EQ)
                                    : PyObject_CallFunctionObjArgs(equal, old, new_value, nullptr));
  if (!result) {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return -1;
    PyErr_Clear();
    return 0;
  }
  return result.get() == Py_True ? 1 : 0;
}

/// The pending exception, normalised, with its traceback attached.
PyRef take_exception() noexcept {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  if (value != nullptr && traceback != nullptr) PyException_SetTraceback(value, traceback);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  return PyRef::steal(value);
}

/// Room in each dependent's list of changes, for a node about to change.
void room_in_dependents(State& s, const Rec& n) {
  for (const Index d : n.dependents) room(s.recs[d].changes);
}

/// Keeps what an explanation needs of the call that just happened.
void called(State& s, Index r, Reason reason) noexcept {
  Rec& n = s.recs[r];
  s.record.computed.push_back(r);
  n.last_reason = reason == Reason::None ? Reason::Dependencies : reason;
  if (n.own_last_deps) {
    n.own_last_deps = false;
    n.last_deps.clear();
  }
  n.explained = PyRef();
  if (!n.changes.empty()) {
    std::swap(n.last_changes, n.changes);
    n.changes.clear();
  } else {
    n.last_changes.clear();
  }
  n.reason = Reason::None;
}

void fail(State& s, Rec& n, PyObject* origin, PyObject* error) noexcept {
  if (!n.failed()) ++s.failures;
  n.failure_origin = PyRef::borrow(origin);
  n.failure_error = PyRef::borrow(error);
  n.value = PyRef();
}

/// A failure is kept until a dependency changes or the node is redefined or invalidated: it is
/// committed like a value, with a new epoch, so that the nodes depending on it are visited and
/// fail too.
void failed(State& s, Index r, std::uint64_t signature) noexcept {
  Rec& n = s.recs[r];
  (void)s.graph.commit_node(key_of(s, r), signature);
  n.changed_at = ++s.clock;
  set_dirty_flag(s, n, false);
  n.outcome = Outcome::Failed;
  s.record.failed.push_back(r);
}

/// Brings one dirty node, whose dependencies are all up to date, up to date: 1 if its value
/// (or failure) changed, 0 if not, -1 with an exception set and the node left dirty and
/// unchanged.
int visit_input(State& s, Index r) {
  Rec& n = s.recs[r];
  bool changed = false;
  if (n.pending) {
    if (!n.value) {
      changed = true;
    } else {
      const int same = same_value(n.equal.get(), n.value.get(), n.pending.get());
      if (same < 0) return -1;
      changed = same == 0;
    }
  }
  room(s.record.schedule);
  room(s.record.changed);
  if (changed) room_in_dependents(s, n);

  s.record.schedule.push_back(r);
  PyRef previous = std::move(n.value);
  PyRef pending = std::move(n.pending);
  if (changed) {
    n.value = std::move(pending);
  } else {
    n.value = std::move(previous);
  }
  set_dirty_flag(s, n, false);
  if (changed) {
    n.changed_at = ++s.clock;
    n.outcome = Outcome::Changed;
    s.record.changed.push_back(r);
  } else {
    n.outcome = Outcome::Unchanged;
  }
  // The content hash of an input is the clock of its last change: exact, and no value needs to
  // be hashable.
  (void)s.graph.commit_input(key_of(s, r), n.changed_at);
  return changed ? 1 : 0;
}

int visit(State& s, Index r) {
  Rec& n = s.recs[r];
  if (n.kind == NodeKind::Input) return visit_input(s, r);

  const Node& kernel = s.graph.node(r);
  const std::uint64_t signature = s.graph.signature_of(r);
  const bool needs = !(kernel.has_signature && kernel.signature == signature);
  const Reason reason = n.reason;
  if (reason == Reason::None && !needs) {
    room(s.record.schedule);
    room(s.record.reused);
    s.record.schedule.push_back(r);
    (void)s.graph.skip_node(key_of(s, r), signature);
    set_dirty_flag(s, n, false);
    n.outcome = Outcome::Reused;
    s.record.reused.push_back(r);
    return 0;
  }
  if (s.failures != 0) {
    for (const Index d : n.args) {
      const Rec& dep = s.recs[d];
      if (!dep.failed()) continue;
      // Not called: it would see no value.
      room(s.record.schedule);
      room(s.record.failed);
      room_in_dependents(s, n);
      s.record.schedule.push_back(r);
      fail(s, n, dep.failure_origin.get(), dep.failure_error.get());
      failed(s, r, signature);
      return 1;
    }
  }
  if (!n.fn) {
    internal("a node without a function");
    return -1;
  }

  // The call, and the comparison with the old value, run user code: the node is the one being
  // computed until both are done.
  s.computing = static_cast<std::int64_t>(r);
  PyRef result;
  if (n.args.empty()) {
    result = PyRef::steal(PyObject_CallNoArgs(n.fn.get()));
  } else {
    PyRef args = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(n.args.size())));
    if (!args) {
      s.computing = -1;
      return -1;
    }
    for (std::size_t i = 0; i < n.args.size(); ++i) {
      PyObject* value = s.recs[n.args[i]].value.get();
      if (value == nullptr) {
        s.computing = -1;
        internal("a dependency without a value");
        return -1;
      }
      Py_INCREF(value);
      PyTuple_SetItem(args.get(), static_cast<Py_ssize_t>(i), value);
    }
    result = PyRef::steal(PyObject_Call(n.fn.get(), args.get(), nullptr));
  }
  if (!result) {
    s.computing = -1;
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return -1;
    PyRef error = take_exception();
    if (!error) {
      internal("an exception without a value");
      return -1;
    }
    room(s.record.schedule);
    room(s.record.computed);
    room(s.record.failed);
    room_in_dependents(s, n);
    s.record.schedule.push_back(r);
    called(s, r, reason);
    fail(s, n, n.id.get(), error.get());
    failed(s, r, signature);
    return 1;
  }
  bool changed = true;
  if (n.value) {
    const int same = same_value(n.equal.get(), n.value.get(), result.get());
    if (same < 0) {
      s.computing = -1;
      return -1;
    }
    changed = same == 0;
  }
  s.computing = -1;

  room(s.record.schedule);
  room(s.record.computed);
  room(changed ? s.record.changed : s.record.cut_off);
  if (changed) room_in_dependents(s, n);

  s.record.schedule.push_back(r);
  called(s, r, reason);
  if (n.failed()) {
    --s.failures;
    n.failure_origin = PyRef();
    n.failure_error = PyRef();
  }
  set_dirty_flag(s, n, false);
  if (changed) {
    std::swap(n.value, result);  // the old value goes with `result`
    (void)s.graph.commit_node(key_of(s, r), signature);
    n.changed_at = ++s.clock;
    n.outcome = Outcome::Changed;
    s.record.changed.push_back(r);
  } else {
    (void)s.graph.skip_node(key_of(s, r), signature);  // the epoch stays: dependents stay valid
    n.outcome = Outcome::CutOff;
    s.record.cut_off.push_back(r);
  }
  return changed ? 1 : 0;
}

/// Brings the dirty nodes at the places in the heap `due` up to date, in order; `due` is the
/// core's heap itself, or a read's heap when `in_cone` is set.
///
/// Dependents of a node that changed become dirty; in a read, those in the cone join `due` and
/// the kernel is told of the others. The kernel is told of a dirty node only if it is left
/// dirty at the end: inside the walk nothing else can look at its state.
bool walk(State& s, Indices& due, bool in_cone) noexcept {
  s.busy = true;
  int outcome = 0;
  try {
    while (!due.empty()) {
      const Index r = s.order[due.front()];
      if (s.recs[r].dirty) {
        outcome = visit(s, r);
        if (outcome < 0) break;
        if (outcome > 0) {
          for (const Index d : s.recs[r].dependents) {
            Rec& dependent = s.recs[d];
            dependent.changes.push_back(r);  // room was made before the node changed
            if (dependent.dirty) continue;
            set_dirty_flag(s, dependent, true);
            const auto pos = static_cast<Index>(dependent.pos);
            if (!dependent.in_heap) {
              dependent.in_heap = true;
              heap_push(s.heap, pos);
            }
            if (in_cone) {
              if (dependent.cone == s.cone_stamp) {
                heap_push(due, pos);
              } else {
                (void)s.graph.set_dirty(key_of(s, d));
              }
            }
          }
        }
      }
      heap_pop(due);  // only now: an interrupted node stays due
      if (!in_cone) s.recs[r].in_heap = false;
    }
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    outcome = -1;
  }
  if (outcome < 0) {
    for (const Index pos : s.heap) {  // tell the kernel of every node left dirty
      if (s.recs[s.order[pos]].dirty) (void)s.graph.set_dirty(key_of(s, s.order[pos]));
    }
  }
  s.computing = -1;
  s.busy = false;
  return outcome >= 0;
}

// ---- methods -------------------------------------------------------------------------------

bool nargs_is(Py_ssize_t nargs, Py_ssize_t expected, const char* name) noexcept {
  if (nargs == expected) return true;
  PyErr_Format(PyExc_TypeError, "Core.%s() takes %zd arguments (%zd given)", name, expected, nargs);
  return false;
}

PyObject* or_none(PyObject* o) noexcept {
  return o == Py_None ? nullptr : o;
}

/// The dependencies of the node's last call, in order, that changed since the call before.
Indices changed_deps(const Rec& n) {
  Indices changed;
  if (n.last_reason != Reason::Dependencies) return changed;
  for (const Index d : unique(n.own_last_deps ? n.last_deps : n.args)) {
    const auto& list = n.last_changes;
    if (std::find(list.begin(), list.end(), d) != list.end()) changed.push_back(d);
  }
  return changed;
}

// add(id, kind, deps, fn, equal, value)
PyObject* core_add(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept {
  return cpython::guarded_call(kModule, static_cast<PyObject*>(nullptr), [&]() -> PyObject* {
    State& s = state_of(self);
    if (refuse_busy(s) || !nargs_is(nargs, 6, "add")) return nullptr;
    std::string_view key, kind_name;
    if (!utf8(args[0], key) || !utf8(args[1], kind_name)) return nullptr;
    const auto kind = parse_kind(kind_name);
    if (!kind) return PyErr_Format(PyExc_ValueError, "invalid kind %R", args[1]);
    if (s.graph.contains(key)) return PyErr_Format(PyExc_ValueError, "duplicate %R", args[0]);
    Indices deps;
    std::vector<std::string_view> views;
    if (!resolve(s, args[2], deps, views)) return nullptr;
    const Indices once = unique(deps);

    // Everything that can allocate happens before the first change.
    const std::size_t r = s.recs.size();
    if (s.recs.size() == s.recs.capacity()) s.recs.reserve(std::max<std::size_t>(16, 2 * r));
    if (!s.stale && s.order.size() == s.order.capacity()) {
      s.order.reserve(std::max<std::size_t>(16, 2 * r));
    }
    reserve_heap(s, r + 1);
    for (const Index d : once) room(s.recs[d].dependents);
    Rec rec;
    rec.id = PyRef::borrow(args[0]);
    rec.fn = PyRef::borrow(or_none(args[3]));
    rec.equal = PyRef::borrow(or_none(args[4]));
    if (*kind == NodeKind::Input) rec.pending = PyRef::borrow(args[5]);
    rec.args = std::move(deps);
    rec.kind = *kind;

    if (!s.graph.add_node(key, kind_name)) {
      internal("add_node");
      return nullptr;
    }
    if (!views.empty()) {
      try {
        if (!s.graph.set_deps(key, views)) throw std::logic_error("set_deps");
      } catch (...) {
        s.graph = rebuilt(s, s.recs.size());  // forget the half-added node
        throw;
      }
    }
    s.recs.push_back(std::move(rec));  // cannot reallocate: room was made
    for (const Index d : once) s.recs[d].dependents.push_back(static_cast<Index>(r));
    Rec& n = s.recs[r];
    ++s.dirty;
    // Its deps are all defined and nothing depends on it: its place is last, which is where
    // the kernel's order puts it too.
    if (!s.stale) {
      n.pos = static_cast<std::int32_t>(s.order.size());
      s.order.push_back(static_cast<Index>(r));
      n.in_heap = true;
      heap_push(s.heap, static_cast<Index>(n.pos));
    }
    Py_RETURN_NONE;
  });
}

// redefine(id, deps or None, fn or None)
PyObject* core_redefine(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept {
  return cpython::guarded_call(kModule, static_cast<PyObject*>(nullptr), [&]() -> PyObject* {
    State& s = state_of(self);
    Index r = 0;
    if (refuse_busy(s) || !nargs_is(nargs, 3, "redefine") || !lookup(s, args[0], r)) {
      return nullptr;
    }
    PyRef old_fn;  // dropped last, when the core is consistent again
    PyObject* deps = or_none(args[1]);
    Indices fresh;
    std::vector<std::string_view> views;
    if (deps != nullptr && !resolve(s, deps, fresh, views)) return nullptr;
    if (deps != nullptr) {
      if (fresh != s.recs[r].args) {
        const Indices old_once = unique(s.recs[r].args);
        const Indices new_once = unique(fresh);
        for (const Index d : new_once) room(s.recs[d].dependents);
        Indices snapshot;
        if (!s.recs[r].own_last_deps) snapshot = old_once;
        if (!s.graph.set_deps(key_of(s, r), views)) {
          internal("set_deps");
          return nullptr;
        }

        Rec& n = s.recs[r];
        for (const Index d : old_once) {
          Indices& list = s.recs[d].dependents;
          list.erase(std::find(list.begin(), list.end(), r));
        }
        for (const Index d : new_once) s.recs[d].dependents.push_back(r);
        if (!n.own_last_deps) {
          n.last_deps = std::move(snapshot);
          n.own_last_deps = true;
        }
        n.args = std::move(fresh);
        // The order stands while every dependency still comes first; otherwise the kernel
        // orders the graph again.
        for (const Index d : n.args) {
          if (s.recs[d].pos > n.pos) s.stale = true;
        }
      }
    }
    Rec& n = s.recs[r];
    if (PyObject* fn = or_none(args[2])) {
      old_fn = std::move(n.fn);
      n.fn = PyRef::borrow(fn);
    }
    if (n.reason != Reason::New) n.reason = Reason::Redefined;
    mark_dirty(s, r);
    Py_RETURN_NONE;
  });
}

PyObject* core_remove(PyObject* self, PyObject* id) noexcept {
  return cpython::guarded_call(kModule, static_cast<PyObject*>(nullptr), [&]() -> PyObject* {
    State& s = state_of(self);
    Index r = 0;
    if (refuse_busy(s) || !lookup(s, id, r)) return nullptr;
    if (!s.recs[r].dependents.empty()) {
      return PyErr_Format(PyExc_ValueError, "%R has dependents", id);
    }
    Graph graph = rebuilt(s, r);
    // An explanation naming the node keeps naming it: the changed deps of such a last call
    // are taken now, as ids.
    std::vector<std::pair<Index, PyRef>> explained;
    for (std::size_t i = 0; i < s.recs.size(); ++i) {
      const Rec& n = s.recs[i];
      if (!n.own_last_deps || n.explained ||
          std::find(n.last_deps.begin(), n.last_deps.end(), r) == n.last_deps.end()) {
        continue;
      }
      PyRef ids = PyRef::steal(id_list(s, changed_deps(n)));
      if (!ids) return nullptr;
      explained.emplace_back(static_cast<Index>(i), std::move(ids));
    }
    for (auto& [i, ids] : explained) s.recs[i].explained = std::move(ids);

    for (const Index d : unique(s.recs[r].args)) {
      Indices& list = s.recs[d].dependents;
      list.erase(std::find(list.begin(), list.end(), r));
    }
    const auto remap = [r](Indices& list) {
      std::erase(list, r);
      for (Index& i : list) {
        if (i > r) --i;
      }
    };
    for (Rec& rec : s.recs) {
      for (Indices* list :
           {&rec.args, &rec.dependents, &rec.changes, &rec.last_changes, &rec.last_deps}) {
        remap(*list);
      }
    }
    Rec removed = std::move(s.recs[r]);  // dropped last, when the core is consistent again
    s.recs.erase(s.recs.begin() + r);
    if (removed.failed()) --s.failures;
    if (removed.dirty) --s.dirty;
    s.graph = std::move(graph);
    s.stale = true;
    Py_RETURN_NONE;
  });
}

// set(id, value)
PyObject* core_set(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept {
  return cpython::guarded_call(kModule, static_cast<PyObject*>(nullptr), [&]() -> PyObject* {
    State& s = state_of(self);
    Index r = 0;
    if (refuse_busy(s) || !nargs_is(nargs, 2, "set") || !lookup(s, args[0], r)) return nullptr;
    if (s.recs[r].kind != NodeKind::Input) {
      return PyErr_Format(PyExc_ValueError, "%R is not an input", args[0]);
    }
    PyRef old = std::move(s.recs[r].pending);  // dropped last
    s.recs[r].pending = PyRef::borrow(args[1]);
    mark_dirty(s, r);
    Py_RETURN_NONE;
  });
}

PyObject* core_invalidate(PyObject* self, PyObject* id) noexcept {
  State& s = state_of(self);
  Index r = 0;
  if (refuse_busy(s) || !lookup(s, id, r)) return nullptr;
  Rec& n = s.recs[r];
  if (n.kind == NodeKind::Input) return PyErr_Format(PyExc_ValueError, "%R is an input", id);
  if (n.reason == Reason::None) n.reason = Reason::Invalidated;
  mark_dirty(s, r);
  Py_RETURN_NONE;
}

PyObject* core_stabilize(PyObject* self, PyObject*) noexcept {
  return cpython::guarded_call(kModule, static_cast<PyObject*>(nullptr), [&]() -> PyObject* {
    State& s = state_of(self);
    if (refuse_busy(s) || !take_order(s)) return nullptr;
    s.record.clear();
    if (!walk(s, s.heap, false)) return nullptr;
    const Recorder& rec = s.record;
    PyRef lists[6];
    const Indices* sources[6] = {&rec.schedule, &rec.computed, &rec.changed,
                                 &rec.cut_off,  &rec.reused,   &rec.failed};
    for (std::size_t i = 0; i < 6; ++i) {
      lists[i] = PyRef::steal(id_list(s, *sources[i]));
      if (!lists[i]) return nullptr;
    }
    return PyTuple_Pack(6, lists[0].get(), lists[1].get(), lists[2].get(), lists[3].get(),
                        lists[4].get(), lists[5].get());
  });
}

PyObject* core_read(PyObject* self, PyObject* id) noexcept {
  return cpython::guarded_call(kModule, static_cast<PyObject*>(nullptr), [&]() -> PyObject* {
    State& s = state_of(self);
    Index r = 0;
    if (refuse_busy(s) || !lookup(s, id, r)) return nullptr;
    if (s.dirty != 0) {
      if (!take_order(s)) return nullptr;
      // The node and every node it depends on; the places of the dirty ones are due.
      if (++s.cone_stamp == 0) {  // wrapped: no record may look as if in the new cone
        for (Rec& n : s.recs) n.cone = 0;
        s.cone_stamp = 1;
      }
      const std::uint32_t stamp = s.cone_stamp;
      s.due.clear();
      s.stack.clear();
      std::size_t size = 1;
      s.recs[r].cone = stamp;
      s.stack.push_back(r);
      while (!s.stack.empty()) {
        const Index i = s.stack.back();
        s.stack.pop_back();
        const Rec& n = s.recs[i];
        if (n.dirty) s.due.push_back(static_cast<Index>(n.pos));
        for (const Index d : n.args) {
          if (s.recs[d].cone != stamp) {
            s.recs[d].cone = stamp;
            ++size;
            s.stack.push_back(d);
          }
        }
      }
      if (!s.due.empty()) {
        s.due.reserve(size);  // each node of the cone joins it at most once
        std::make_heap(s.due.begin(), s.due.end(), std::greater<>());
        s.record.clear();
        if (!walk(s, s.due, true)) return nullptr;
      }
    }
    PyObject* value = s.recs[r].value.get();
    if (value == nullptr) value = reinterpret_cast<CoreObject*>(self)->missing;
    Py_INCREF(value);
    return value;
  });
}

PyObject* core_failure(PyObject* self, PyObject* id) noexcept {
  State& s = state_of(self);
  Index r = 0;
  if (refuse_busy(s) || !lookup(s, id, r)) return nullptr;
  const Rec& n = s.recs[r];
  if (!n.failed()) Py_RETURN_NONE;
  return PyTuple_Pack(2, n.failure_origin.get(), n.failure_error.get());
}

PyObject* core_explain(PyObject* self, PyObject* id) noexcept {
  return cpython::guarded_call(kModule, static_cast<PyObject*>(nullptr), [&]() -> PyObject* {
    State& s = state_of(self);
    Index r = 0;
    if (refuse_busy(s) || !lookup(s, id, r)) return nullptr;
    const Rec& n = s.recs[r];
    if (n.last_reason == Reason::None) Py_RETURN_NONE;
    PyRef ids = n.explained ? PyRef::steal(PyList_GetSlice(n.explained.get(), 0, PY_SSIZE_T_MAX))
                            : PyRef::steal(id_list(s, changed_deps(n)));
    if (!ids) return nullptr;
    return Py_BuildValue("(sO)", kReasonNames[static_cast<std::size_t>(n.last_reason)], ids.get());
  });
}

// find_cycle(id, deps): the cycle that depending on `deps` would close through the node, or
// None. Only nodes after the node in the order can depend on it, so the search stays between
// the node and its new dependencies.
PyObject* core_find_cycle(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept {
  return cpython::guarded_call(kModule, static_cast<PyObject*>(nullptr), [&]() -> PyObject* {
    State& s = state_of(self);
    Index r = 0;
    if (refuse_busy(s) || !nargs_is(nargs, 2, "find_cycle") || !lookup(s, args[0], r)) {
      return nullptr;
    }
    Indices deps;
    std::vector<std::string_view> views;
    if (!resolve(s, args[1], deps, views) || !take_order(s)) return nullptr;
    const std::int32_t floor = s.recs[r].pos;
    std::unordered_map<Index, Index> parent;
    Indices stack;
    for (auto it = deps.rbegin(); it != deps.rend(); ++it) {
      if (s.recs[*it].pos > floor && parent.emplace(*it, r).second) stack.push_back(*it);
    }
    while (!stack.empty()) {
      Index current = stack.back();
      stack.pop_back();
      for (const Index d : s.recs[current].args) {
        if (d == r) {
          Indices path = {r};
          for (; current != r; current = parent.at(current)) path.push_back(current);
          path.push_back(r);
          std::reverse(path.begin() + 1, path.end() - 1);
          return id_list(s, path);
        }
        if (s.recs[d].pos > floor && parent.emplace(d, current).second) stack.push_back(d);
      }
    }
    Py_RETURN_NONE;
  });
}

PyObject* core_state(PyObject* self, PyObject* id) noexcept {
  State& s = state_of(self);
  Index r = 0;
  if (refuse_busy(s) || !lookup(s, id, r)) return nullptr;
  const std::string_view name = kStateNames[static_cast<std::size_t>(s.graph.node(r).state)];
  return PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
}

PyObject* core_dependents(PyObject* self, PyObject* id) noexcept {
  State& s = state_of(self);
  Index r = 0;
  if (refuse_busy(s) || !lookup(s, id, r)) return nullptr;
  return id_list(s, s.recs[r].dependents);
}

// nodes(): (id, kind, outcome, deps) per node, in the order of definition.
PyObject* core_nodes(PyObject* self, PyObject*) noexcept {
  State& s = state_of(self);
  if (refuse_busy(s)) return nullptr;
  PyRef out = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(s.recs.size())));
  if (!out) return nullptr;
  for (std::size_t i = 0; i < s.recs.size(); ++i) {
    const Rec& n = s.recs[i];
    PyRef deps = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(n.args.size())));
    if (!deps) return nullptr;
    for (std::size_t k = 0; k < n.args.size(); ++k) {
      PyObject* dep = s.recs[n.args[k]].id.get();
      Py_INCREF(dep);
      PyTuple_SetItem(deps.get(), static_cast<Py_ssize_t>(k), dep);
    }
    PyObject* row =
        Py_BuildValue("(OssO)", n.id.get(), kKindNames[static_cast<std::size_t>(n.kind)].data(),
                      kOutcomeNames[static_cast<std::size_t>(n.outcome)], deps.get());
    if (row == nullptr) return nullptr;
    PyList_SetItem(out.get(), static_cast<Py_ssize_t>(i), row);
  }
  return out.release();
}

PyObject* core_get_busy(PyObject* self, void*) noexcept {
  return PyBool_FromLong(state_of(self).busy ? 1 : 0);
}

PyObject* core_get_computing(PyObject* self, void*) noexcept {
  const State& s = state_of(self);
  if (s.computing < 0) Py_RETURN_NONE;
  PyObject* id = s.recs[static_cast<std::size_t>(s.computing)].id.get();
  Py_INCREF(id);
  return id;
}

// ---- life cycle and garbage collection -----------------------------------------------------

PyObject* core_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  return cpython::guarded_call(kModule, static_cast<PyObject*>(nullptr), [&]() -> PyObject* {
    PyObject* missing = nullptr;
    if ((kwargs != nullptr && PyDict_Size(kwargs) != 0) ||
        !PyArg_UnpackTuple(args, "Core", 1, 1, &missing)) {
      if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "Core() takes no keywords");
      return nullptr;
    }
    auto* state = new State();  // its graph is keyed from the operating system's random source
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* self = alloc(type, 0);
    if (self == nullptr) {
      delete state;
      return nullptr;
    }
    auto* obj = reinterpret_cast<CoreObject*>(self);
    obj->state = state;
    Py_INCREF(missing);
    obj->missing = missing;
    return self;
  });
}

int core_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
  Py_VISIT(Py_TYPE(self));
  auto* obj = reinterpret_cast<CoreObject*>(self);
  Py_VISIT(obj->missing);
  if (obj->state == nullptr) return 0;
  for (const Rec& n : obj->state->recs) {
    for (const PyRef* ref : {&n.id, &n.fn, &n.equal, &n.value, &n.pending, &n.failure_origin,
                             &n.failure_error, &n.explained}) {
      Py_VISIT(ref->get());
    }
  }
  return 0;
}

// Drops the references that can take part in a cycle. The records stay, without functions or
// values; while the references go, calls back into the core are refused.
int core_clear(PyObject* self) noexcept {
  auto* obj = reinterpret_cast<CoreObject*>(self);
  if (obj->state == nullptr) return 0;
  State& s = *obj->state;
  const bool busy = s.busy;
  s.busy = true;
  for (Rec& n : s.recs) {
    for (PyRef* ref :
         {&n.fn, &n.equal, &n.value, &n.pending, &n.failure_origin, &n.failure_error}) {
      PyRef dropped = std::move(*ref);
    }
  }
  s.busy = busy;
  return 0;
}

void core_dealloc(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  auto* obj = reinterpret_cast<CoreObject*>(self);
  core_clear(self);
  if (obj->state != nullptr) {
    obj->state->busy = true;
    delete obj->state;
    obj->state = nullptr;
  }
  Py_CLEAR(obj->missing);
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
    {"add", as_cfunction(core_add), METH_FASTCALL,
     "add($self, id, kind, deps, fn, equal, value, /)\n--\n\n"
     "Define a node; `value` is an input's first value."},
    {"redefine", as_cfunction(core_redefine), METH_FASTCALL,
     "redefine($self, id, deps, fn, /)\n--\n\n"
     "Change a node's deps and/or function (None: unchanged) and make it recompute."},
    {"remove", as_cfunction(core_remove), METH_O,
     "remove($self, id, /)\n--\n\nRemove a node that nothing depends on."},
    {"set", as_cfunction(core_set), METH_FASTCALL,
     "set($self, id, value, /)\n--\n\nChange an input's value."},
    {"invalidate", as_cfunction(core_invalidate), METH_O,
     "invalidate($self, id, /)\n--\n\nForce a node to recompute at its next evaluation."},
    {"stabilize", as_cfunction(core_stabilize), METH_NOARGS,
     "stabilize($self, /)\n--\n\n"
     "Bring every node up to date; the lists schedule, computed, changed, cut_off,\n"
     "reused and failed."},
    {"read", as_cfunction(core_read), METH_O,
     "read($self, id, /)\n--\n\n"
     "The node's value after bringing what it depends on up to date; the core's\n"
     "`missing` object for a node that failed."},
    {"failure", as_cfunction(core_failure), METH_O,
     "failure($self, id, /)\n--\n\nThe node's failure as (origin, error), or None."},
    {"explain", as_cfunction(core_explain), METH_O,
     "explain($self, id, /)\n--\n\n"
     "(reason, changed dependencies) of the node's last call, or None if never called."},
    {"find_cycle", as_cfunction(core_find_cycle), METH_FASTCALL,
     "find_cycle($self, id, deps, /)\n--\n\n"
     "The cycle that depending on `deps` would close through the node, or None."},
    {"state", as_cfunction(core_state), METH_O,
     "state($self, id, /)\n--\n\nThe node's state in the kernel graph: clean, dirty or computing."},
    {"dependents", as_cfunction(core_dependents), METH_O,
     "dependents($self, id, /)\n--\n\nThe nodes that depend on the node."},
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
    "Core(missing, /)\n--\n\n"
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
