// The Graph type: one kernel graph per instance, guarded by a shared/exclusive access word.
//
// Every method is a short noexcept wrapper in a fixed order: bind the arguments, take access,
// convert the arguments (id first), call the kernel, build the result, release access.
#include "binding/graph_type.hpp"

#include <atomic>
#include <cstdint>
#include <new>
#include <span>
#include <string_view>
#include <utility>

#include "binding/args.hpp"
#include "binding/errors.hpp"
#include "core/graph.hpp"

namespace tavik::binding {
namespace {

struct GraphObject {
  PyObject ob_base;  // the object header
  Graph graph;
  /// 0: free; n > 0: n calls hold shared access; -1: one call holds exclusive access.
  std::atomic<std::int64_t> borrow_flag;
};

PyTypeObject* g_graph_type = nullptr;  // created once, lives until the process ends

// The kind and state names as Python strings, created with the type and kept as long: the
// answers of the per-node calls hand out new references to them instead of building a string
// on every call. Strings are immutable, so sharing them is invisible but for identity.
PyObject* g_kind_names[4] = {};
PyObject* g_state_names[3] = {};

PyObject* kind_str(NodeKind kind) noexcept {
  return PyRef::borrow(g_kind_names[static_cast<std::size_t>(kind)]).release();
}

PyObject* state_str(NodeState state) noexcept {
  return PyRef::borrow(g_state_names[static_cast<std::size_t>(state)]).release();
}

bool create_names() noexcept {
  for (std::size_t i = 0; i < 4; ++i) {
    if (g_kind_names[i] != nullptr) continue;
    const std::string_view name = kind_name(static_cast<NodeKind>(i));
    g_kind_names[i] =
        PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
    if (g_kind_names[i] == nullptr) return false;
  }
  for (std::size_t i = 0; i < 3; ++i) {
    if (g_state_names[i] != nullptr) continue;
    const std::string_view name = state_name(static_cast<NodeState>(i));
    g_state_names[i] =
        PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
    if (g_state_names[i] == nullptr) return false;
  }
  return true;
}

// ---- access ------------------------------------------------------------------------------------

GraphObject* as_graph(PyObject* self) noexcept {
  if (g_graph_type == nullptr || !PyObject_TypeCheck(self, g_graph_type)) {
    PyRef qualname = type_qualname(self);
    PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", qualname.get(),
                 "Graph");
    return nullptr;
  }
  return reinterpret_cast<GraphObject*>(self);
}

/// Holds shared or exclusive access to one instance's graph, and a reference to the instance,
/// from construction to destruction. Check `ok()`: on failure an exception is set.
template <bool Exclusive>
class Access {
 public:
  explicit Access(PyObject* self) noexcept {
    GraphObject* obj = as_graph(self);
    if (obj == nullptr) return;
    if constexpr (Exclusive) {
      std::int64_t expected = 0;
      if (!obj->borrow_flag.compare_exchange_strong(expected, -1, std::memory_order_acquire)) {
        PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
        return;
      }
    } else {
      std::int64_t current = obj->borrow_flag.load(std::memory_order_relaxed);
      do {
        if (current == -1) {
          PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
          return;
        }
      } while (!obj->borrow_flag.compare_exchange_weak(
          current, current + 1, std::memory_order_acquire, std::memory_order_relaxed));
    }
    Py_INCREF(self);
    obj_ = obj;
  }
  ~Access() {
    if (obj_ == nullptr) return;
    if constexpr (Exclusive) {
      obj_->borrow_flag.store(0, std::memory_order_release);
    } else {
      obj_->borrow_flag.fetch_sub(1, std::memory_order_release);
    }
    Py_DECREF(reinterpret_cast<PyObject*>(obj_));
  }
  Access(const Access&) = delete;
  Access& operator=(const Access&) = delete;

  bool ok() const noexcept { return obj_ != nullptr; }
  Graph& graph() const noexcept { return obj_->graph; }

 private:
  GraphObject* obj_ = nullptr;
};

using Shared = Access<false>;
using Exclusive = Access<true>;

// Runs one call, turning any C++ exception into a Python one, so that none reaches the
// interpreter. Running out of memory is MemoryError; anything else is an internal fault.
template <class R, class F>
R guarded(R on_error, F&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "internal error in tavik._tavik");
  }
  return on_error;
}

// ---- conversion and results --------------------------------------------------------------------

bool arg_str(PyObject* o, const char* name, std::string_view& out) noexcept {
  if (convert_str(o, out)) return true;
  argument_extraction_error(name);
  return false;
}

bool arg_u64(PyObject* o, const char* name, std::uint64_t& out) noexcept {
  if (convert_u64(o, out)) return true;
  argument_extraction_error(name);
  return false;
}

bool arg_ids(PyObject* o, const char* name, IdList& out) {
  if (convert_id_list(o, out)) return true;
  argument_extraction_error(name);
  return false;
}

PyObject* new_str(std::string_view s) noexcept {
  return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}

/// A new list of new strings: the ids of `nodes`, in order.
PyObject* id_list(const Graph& graph, std::span<const NodeIndex> nodes) noexcept {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(nodes.size())));
  if (!list) return nullptr;
  for (std::size_t k = 0; k < nodes.size(); ++k) {
    PyObject* item = new_str(graph.id_of(nodes[k]));
    if (item == nullptr) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(k), item);  // steals item
  }
  return list.release();
}

PyObject* none_or_raise(Status&& status) noexcept {
  if (!status) return to_py_err(std::move(status).error());
  Py_RETURN_NONE;
}

PyObject* ids_or_raise(const Graph& graph, Result<std::vector<NodeIndex>>&& result) noexcept {
  if (!result) return to_py_err(std::move(result).error());
  return id_list(graph, *result);
}

PyObject* ids_or_raise(const Graph& graph, Result<std::span<const NodeIndex>>&& result) noexcept {
  if (!result) return to_py_err(std::move(result).error());
  return id_list(graph, *result);
}

// ---- parameter descriptions --------------------------------------------------------------------

constexpr const char* kIdParams[] = {"id"};
constexpr const char* kAddNodeParams[] = {"id", "kind"};
constexpr const char* kSetDepsParams[] = {"id", "deps"};
constexpr const char* kSeedsParams[] = {"seeds"};
constexpr const char* kInputHashParams[] = {"id", "input_hash"};
constexpr const char* kSignatureParams[] = {"id", "signature"};
constexpr const char* kContentHashParams[] = {"id", "content_hash"};
constexpr const char* kHashParams[] = {"id", "hash"};

template <std::size_t N>
constexpr FunctionDescription describe(const char* name, const char* const (&params)[N]) {
  return {"Graph", name, params, static_cast<Py_ssize_t>(N)};
}

constexpr FunctionDescription kNew = {"Graph", "__new__", nullptr, 0};

// ---- methods -----------------------------------------------------------------------------------

// A method taking one id and answering from the kernel through `op`.
template <class Guard, class Op>
PyObject* id_method(const FunctionDescription& desc, PyObject* self, PyObject* const* args,
                    Py_ssize_t nargs, PyObject* kwnames, Op&& op) noexcept {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* a[1];
    if (!bind_args(desc, args, nargs, kwnames, a)) return nullptr;
    Guard access(self);
    if (!access.ok()) return nullptr;
    std::string_view id;
    if (!arg_str(a[0], "id", id)) return nullptr;
    return op(access.graph(), id);
  });
}

// A method taking an id and an unsigned 64-bit value named by `desc.params[1]`.
template <class Guard, class Op>
PyObject* id_value_method(const FunctionDescription& desc, PyObject* self, PyObject* const* args,
                          Py_ssize_t nargs, PyObject* kwnames, Op&& op) noexcept {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* a[2];
    if (!bind_args(desc, args, nargs, kwnames, a)) return nullptr;
    Guard access(self);
    if (!access.ok()) return nullptr;
    std::string_view id;
    std::uint64_t value;
    if (!arg_str(a[0], "id", id) || !arg_u64(a[1], desc.params[1], value)) return nullptr;
    return op(access.graph(), id, value);
  });
}

// A method taking a sequence of seed ids.
template <class Guard, class Op>
PyObject* seeds_method(const FunctionDescription& desc, PyObject* self, PyObject* const* args,
                       Py_ssize_t nargs, PyObject* kwnames, Op&& op) noexcept {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* a[1];
    if (!bind_args(desc, args, nargs, kwnames, a)) return nullptr;
    Guard access(self);
    if (!access.ok()) return nullptr;
    IdList seeds;
    if (!arg_ids(a[0], "seeds", seeds)) return nullptr;
    return op(access.graph(), std::span<const std::string_view>(seeds.views));
  });
}

// A method without arguments.
template <class Guard, class Op>
PyObject* noargs_method(PyObject* self, Op&& op) noexcept {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    Guard access(self);
    if (!access.ok()) return nullptr;
    return op(access.graph());
  });
}

#define TAVIK_FAST_ARGS PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames
#define TAVIK_FORWARD self, args, nargs, kwnames

constexpr auto kAddNode = describe("add_node", kAddNodeParams);
PyObject* add_node(TAVIK_FAST_ARGS) noexcept {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* a[2];
    if (!bind_args(kAddNode, args, nargs, kwnames, a)) return nullptr;
    Exclusive access(self);
    if (!access.ok()) return nullptr;
    std::string_view id, kind;
    if (!arg_str(a[0], "id", id) || !arg_str(a[1], "kind", kind)) return nullptr;
    return none_or_raise(access.graph().add_node(id, kind));
  });
}

constexpr auto kSetDeps = describe("set_deps", kSetDepsParams);
PyObject* set_deps(TAVIK_FAST_ARGS) noexcept {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* a[2];
    if (!bind_args(kSetDeps, args, nargs, kwnames, a)) return nullptr;
    Exclusive access(self);
    if (!access.ok()) return nullptr;
    std::string_view id;
    IdList deps;
    if (!arg_str(a[0], "id", id) || !arg_ids(a[1], "deps", deps)) return nullptr;
    return none_or_raise(access.graph().set_deps(id, deps.views));
  });
}

PyObject* build(PyObject* self, PyObject*) noexcept {
  return noargs_method<Exclusive>(self, [](Graph& g) { return none_or_raise(g.build()); });
}

PyObject* topo_order(PyObject* self, PyObject*) noexcept {
  return noargs_method<Shared>(self, [](Graph& g) { return ids_or_raise(g, g.topo_order()); });
}

constexpr auto kDirtySubgraph = describe("dirty_subgraph", kSeedsParams);
PyObject* dirty_subgraph(TAVIK_FAST_ARGS) noexcept {
  return seeds_method<Shared>(kDirtySubgraph, TAVIK_FORWARD, [](Graph& g, auto seeds) {
    return ids_or_raise(g, g.dirty_subgraph(seeds));
  });
}

constexpr auto kMarkDirty = describe("mark_dirty", kSeedsParams);
PyObject* mark_dirty(TAVIK_FAST_ARGS) noexcept {
  return seeds_method<Exclusive>(kMarkDirty, TAVIK_FORWARD, [](Graph& g, auto seeds) {
    return ids_or_raise(g, g.mark_dirty(seeds));
  });
}

constexpr auto kDownstream = describe("downstream", kIdParams);
PyObject* downstream(TAVIK_FAST_ARGS) noexcept {
  return id_method<Shared>(kDownstream, TAVIK_FORWARD, [](Graph& g, std::string_view id) {
    return ids_or_raise(g, g.downstream(id));
  });
}

constexpr auto kNeedsRecompute = describe("needs_recompute", kInputHashParams);
PyObject* needs_recompute(TAVIK_FAST_ARGS) noexcept {
  return id_value_method<Shared>(kNeedsRecompute, TAVIK_FORWARD,
                                 [](Graph& g, std::string_view id, std::uint64_t h) {
                                   auto r = g.needs_recompute(id, h);
                                   if (!r) return to_py_err(std::move(r).error());
                                   return PyBool_FromLong(*r);
                                 });
}

constexpr auto kCheckNode = describe("check_node", kIdParams);
PyObject* check_node(TAVIK_FAST_ARGS) noexcept {
  return id_method<Shared>(kCheckNode, TAVIK_FORWARD, [](Graph& g, std::string_view id) {
    auto r = g.check_node(id);
    if (!r) return to_py_err(std::move(r).error());
    PyRef kind = PyRef::steal(kind_str(r->kind));
    PyRef signature = PyRef::steal(PyLong_FromUnsignedLongLong(r->signature));
    if (!signature) return static_cast<PyObject*>(nullptr);
    PyObject* decision = PyBool_FromLong(r->needs_recompute);
    PyRef tuple = PyRef::steal(PyTuple_New(3));
    if (!tuple) {
      Py_DECREF(decision);
      return static_cast<PyObject*>(nullptr);
    }
    PyTuple_SetItem(tuple.get(), 0, kind.release());  // each call steals its item
    PyTuple_SetItem(tuple.get(), 1, decision);
    PyTuple_SetItem(tuple.get(), 2, signature.release());
    return tuple.release();
  });
}

// A mutating method taking an id and a value, answering None.
template <Status (Graph::*Op)(std::string_view, std::uint64_t)>
PyObject* write_value(const FunctionDescription& desc, TAVIK_FAST_ARGS) noexcept {
  return id_value_method<Exclusive>(
      desc, TAVIK_FORWARD,
      [](Graph& g, std::string_view id, std::uint64_t v) { return none_or_raise((g.*Op)(id, v)); });
}

// A mutating method taking an id, answering None.
template <Status (Graph::*Op)(std::string_view)>
PyObject* write_state(const FunctionDescription& desc, TAVIK_FAST_ARGS) noexcept {
  return id_method<Exclusive>(desc, TAVIK_FORWARD, [](Graph& g, std::string_view id) {
    return none_or_raise((g.*Op)(id));
  });
}

constexpr auto kCommitNode = describe("commit_node", kSignatureParams);
PyObject* commit_node(TAVIK_FAST_ARGS) noexcept {
  return write_value<&Graph::commit_node>(kCommitNode, TAVIK_FORWARD);
}

constexpr auto kSkipNode = describe("skip_node", kSignatureParams);
PyObject* skip_node(TAVIK_FAST_ARGS) noexcept {
  return write_value<&Graph::skip_node>(kSkipNode, TAVIK_FORWARD);
}

constexpr auto kCommitInput = describe("commit_input", kContentHashParams);
PyObject* commit_input(TAVIK_FAST_ARGS) noexcept {
  return write_value<&Graph::commit_input>(kCommitInput, TAVIK_FORWARD);
}

constexpr auto kSetClean = describe("set_clean", kHashParams);
PyObject* set_clean(TAVIK_FAST_ARGS) noexcept {
  return write_value<&Graph::set_clean>(kSetClean, TAVIK_FORWARD);
}

constexpr auto kSetComputing = describe("set_computing", kIdParams);
PyObject* set_computing(TAVIK_FAST_ARGS) noexcept {
  return write_state<&Graph::set_computing>(kSetComputing, TAVIK_FORWARD);
}

constexpr auto kSetDirty = describe("set_dirty", kIdParams);
PyObject* set_dirty(TAVIK_FAST_ARGS) noexcept {
  return write_state<&Graph::set_dirty>(kSetDirty, TAVIK_FORWARD);
}

constexpr auto kStateOf = describe("state_of", kIdParams);
PyObject* state_of(TAVIK_FAST_ARGS) noexcept {
  return id_method<Shared>(kStateOf, TAVIK_FORWARD, [](Graph& g, std::string_view id) {
    auto r = g.state_of(id);
    if (!r) return to_py_err(std::move(r).error());
    return state_str(*r);
  });
}

constexpr auto kKindOf = describe("kind_of", kIdParams);
PyObject* kind_of(TAVIK_FAST_ARGS) noexcept {
  return id_method<Shared>(kKindOf, TAVIK_FORWARD, [](Graph& g, std::string_view id) {
    auto r = g.kind_of(id);
    if (!r) return to_py_err(std::move(r).error());
    return kind_str(*r);
  });
}

constexpr auto kDepsOf = describe("deps_of", kIdParams);
PyObject* deps_of(TAVIK_FAST_ARGS) noexcept {
  return id_method<Shared>(kDepsOf, TAVIK_FORWARD, [](Graph& g, std::string_view id) {
    return ids_or_raise(g, g.deps_of(id));
  });
}

PyObject* dirty_nodes(PyObject* self, PyObject*) noexcept {
  return noargs_method<Shared>(self, [](Graph& g) { return ids_or_raise(g, g.dirty_nodes()); });
}

PyObject* views(PyObject* self, PyObject*) noexcept {
  return noargs_method<Shared>(self, [](Graph& g) { return ids_or_raise(g, g.views()); });
}

PyObject* node_ids(PyObject* self, PyObject*) noexcept {
  return noargs_method<Shared>(self, [](Graph& g) -> PyObject* {
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(g.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < g.size(); ++i) {
      PyObject* item = new_str(g.id_of(static_cast<NodeIndex>(i)));
      if (item == nullptr) return nullptr;
      PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);  // steals item
    }
    return list.release();
  });
}

#undef TAVIK_FAST_ARGS
#undef TAVIK_FORWARD

// ---- protocol slots ----------------------------------------------------------------------------

Py_ssize_t graph_len(PyObject* self) noexcept {
  Shared access(self);
  if (!access.ok()) return -1;
  return static_cast<Py_ssize_t>(access.graph().size());
}

int graph_contains(PyObject* self, PyObject* key) noexcept {
  Shared access(self);
  if (!access.ok()) return -1;
  std::string_view id;
  if (!arg_str(key, "id", id)) return -1;
  return access.graph().contains(id) ? 1 : 0;
}

PyObject* graph_repr(PyObject* self) noexcept {
  Shared access(self);
  if (!access.ok()) return nullptr;
  return PyUnicode_FromFormat("<tavik.Graph nodes=%zu>", access.graph().size());
}

PyObject* graph_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    if (!bind_no_args(kNew, args, kwargs)) return nullptr;
    Graph graph;  // keyed from the operating system's random source
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    if (alloc == nullptr) alloc = PyType_GenericAlloc;
    PyObject* self = alloc(type, 0);
    if (self == nullptr) return nullptr;  // `graph` is destroyed on the way out
    auto* obj = reinterpret_cast<GraphObject*>(self);
    new (&obj->graph) Graph(std::move(graph));
    new (&obj->borrow_flag) std::atomic<std::int64_t>(0);
    return self;
  });
}

void graph_dealloc(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  auto* obj = reinterpret_cast<GraphObject*>(self);
  obj->graph.~Graph();
  obj->borrow_flag.~atomic();
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(type);
}

// ---- the type ----------------------------------------------------------------------------------

template <class F>
PyCFunction as_cfunction(F* f) noexcept {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

constexpr int kFast = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef g_methods[] = {
    {"add_node", as_cfunction(add_node), kFast,
     "add_node($self, id, kind)\n--\n\n"
     "Register a node. `kind` is one of input|source|reactive|view."},
    {"set_deps", as_cfunction(set_deps), kFast,
     "set_deps($self, id, deps)\n--\n\n"
     "Set a node's inbound edges (its dependencies). All deps must exist."},
    {"build", as_cfunction(build), METH_NOARGS,
     "build($self)\n--\n\n"
     "Validate the graph is acyclic and cache a topological order. Call once\n"
     "after all nodes and edges are declared."},
    {"topo_order", as_cfunction(topo_order), METH_NOARGS,
     "topo_order($self)\n--\n\n"
     "Full build order: all node ids, topologically sorted."},
    {"dirty_subgraph", as_cfunction(dirty_subgraph), kFast,
     "dirty_subgraph($self, seeds)\n--\n\n"
     "Recompute schedule for changed seeds: the seeds plus all transitively\n"
     "affected nodes, topologically ordered. Pure \xe2\x80\x94 does not mutate state."},
    {"mark_dirty", as_cfunction(mark_dirty), kFast,
     "mark_dirty($self, seeds)\n--\n\n"
     "Mark seeds and everything downstream `dirty`; return them topo-ordered."},
    {"downstream", as_cfunction(downstream), kFast,
     "downstream($self, id)\n--\n\n"
     "Nodes strictly downstream of `id`, topologically ordered."},
    {"needs_recompute", as_cfunction(needs_recompute), kFast,
     "needs_recompute($self, id, input_hash)\n--\n\n"
     "Does `id` need recomputation given the content hash of its inputs?"},
    {"check_node", as_cfunction(check_node), kFast,
     "check_node($self, id)\n--\n\n"
     "Hot-path per-node decision: `(kind, needs_recompute, signature)` in one\n"
     "call. The signature folds the node's dependency state (Input deps by\n"
     "content hash, computed deps by epoch) entirely inside the native module."},
    {"commit_node", as_cfunction(commit_node), kFast,
     "commit_node($self, id, signature)\n--\n\n"
     "Commit a computed node clean with the signature it ran on; bumps its epoch."},
    {"skip_node", as_cfunction(skip_node), kFast,
     "skip_node($self, id, signature)\n--\n\n"
     "Commit a memo hit: mark clean without bumping the epoch."},
    {"commit_input", as_cfunction(commit_input), kFast,
     "commit_input($self, id, content_hash)\n--\n\n"
     "Record an Input node's current value hash for downstream signatures."},
    {"set_clean", as_cfunction(set_clean), kFast,
     "set_clean($self, id, hash)\n--\n\n"
     "Commit `id` clean with the content hash it was computed from."},
    {"set_computing", as_cfunction(set_computing), kFast, "set_computing($self, id)\n--\n\n"},
    {"set_dirty", as_cfunction(set_dirty), kFast, "set_dirty($self, id)\n--\n\n"},
    {"state_of", as_cfunction(state_of), kFast, "state_of($self, id)\n--\n\n"},
    {"kind_of", as_cfunction(kind_of), kFast, "kind_of($self, id)\n--\n\n"},
    {"deps_of", as_cfunction(deps_of), kFast, "deps_of($self, id)\n--\n\n"},
    {"dirty_nodes", as_cfunction(dirty_nodes), METH_NOARGS,
     "dirty_nodes($self)\n--\n\n"
     "All currently-dirty node ids, topologically ordered."},
    {"views", as_cfunction(views), METH_NOARGS,
     "views($self)\n--\n\n"
     "View-kind node ids in topological order."},
    {"node_ids", as_cfunction(node_ids), METH_NOARGS,
     "node_ids($self)\n--\n\n"
     "All node ids in insertion order."},
    {nullptr, nullptr, 0, nullptr},
};

constexpr char kGraphDoc[] =
    "Graph()\n--\n\n"
    "A reactive directed acyclic graph: dirty tracking, topological scheduling,\n"
    "propagation, and memo bookkeeping. Holds topology and state only \xe2\x80\x94 node\n"
    "values stay on the Python side.";

PyType_Slot g_slots[] = {
    {Py_tp_doc, const_cast<char*>(kGraphDoc)},
    {Py_tp_new, reinterpret_cast<void*>(graph_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(graph_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(graph_repr)},
    {Py_mp_length, reinterpret_cast<void*>(graph_len)},
    {Py_sq_contains, reinterpret_cast<void*>(graph_contains)},
    {Py_tp_methods, g_methods},
    {0, nullptr},
};

PyType_Spec g_spec = {
    "tavik._tavik.Graph",  // name
    sizeof(GraphObject),   // basicsize
    0,                     // itemsize
    Py_TPFLAGS_DEFAULT,    // flags: not a base type, no GC, no dict, no weakrefs
    g_slots,               // slots
};

}  // namespace

PyObject* graph_type() noexcept {
  if (!create_names()) return nullptr;
  if (g_graph_type == nullptr) {
    PyObject* type = PyType_FromSpec(&g_spec);
    if (type == nullptr) return nullptr;
    g_graph_type = reinterpret_cast<PyTypeObject*>(type);  // this reference is never dropped
  }
  return PyRef::borrow(reinterpret_cast<PyObject*>(g_graph_type)).release();
}

}  // namespace tavik::binding
