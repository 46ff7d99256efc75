// The Graph type: one kernel graph per instance, guarded by a shared/exclusive access word.
//
// Every method is a short noexcept wrapper in a fixed order: bind the arguments, take access,
// convert the arguments (id first), call the kernel, build the result, release access.
#include "binding/graph_type.hpp"

#include <cstdint>
#include <new>
#include <span>
#include <string_view>
#include <utility>

#include "binding/args.hpp"
#include "binding/guard.hpp"
#include "binding/results.hpp"
#include "core/graph.hpp"

namespace tavik::binding {

using cpython::PyRef;
namespace {

PyTypeObject* g_graph_type = nullptr;  // created once, lives until the process ends

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
constexpr auto kAddNode = describe("add_node", kAddNodeParams);
constexpr auto kSetDeps = describe("set_deps", kSetDepsParams);
constexpr auto kDirtySubgraph = describe("dirty_subgraph", kSeedsParams);
constexpr auto kMarkDirty = describe("mark_dirty", kSeedsParams);
constexpr auto kDownstream = describe("downstream", kIdParams);
constexpr auto kNeedsRecompute = describe("needs_recompute", kInputHashParams);
constexpr auto kCheckNode = describe("check_node", kIdParams);
constexpr auto kCommitNode = describe("commit_node", kSignatureParams);
constexpr auto kSkipNode = describe("skip_node", kSignatureParams);
constexpr auto kCommitInput = describe("commit_input", kContentHashParams);
constexpr auto kSetClean = describe("set_clean", kHashParams);
constexpr auto kSetComputing = describe("set_computing", kIdParams);
constexpr auto kSetDirty = describe("set_dirty", kIdParams);
constexpr auto kStateOf = describe("state_of", kIdParams);
constexpr auto kKindOf = describe("kind_of", kIdParams);
constexpr auto kDepsOf = describe("deps_of", kIdParams);

// ---- method shapes -----------------------------------------------------------------------------

// A method taking one argument, converted to T (named by `desc.params[0]`).
template <class Guard, class T, class Op>
PyObject* unary_method(const FunctionDescription& desc, PyObject* self, PyObject* const* args,
                       Py_ssize_t nargs, PyObject* kwnames, Op&& op) noexcept {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* a[1];
    if (!bind_args(desc, args, nargs, kwnames, a)) return nullptr;
    Guard access(self);
    if (!access.ok()) return nullptr;
    T arg{};
    if (!convert_arg(a[0], desc.params[0], arg)) return nullptr;
    return op(access.graph(), arg);
  });
}

// A method taking an id and a second argument, converted to T (named by `desc.params[1]`).
template <class Guard, class T, class Op>
PyObject* binary_method(const FunctionDescription& desc, PyObject* self, PyObject* const* args,
                        Py_ssize_t nargs, PyObject* kwnames, Op&& op) noexcept {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* a[2];
    if (!bind_args(desc, args, nargs, kwnames, a)) return nullptr;
    Guard access(self);
    if (!access.ok()) return nullptr;
    std::string_view id;
    T arg{};
    if (!convert_arg(a[0], "id", id) || !convert_arg(a[1], desc.params[1], arg)) return nullptr;
    return op(access.graph(), id, arg);
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

// A mutating method taking an id and a value, answering None.
template <const FunctionDescription& Desc, Status (Graph::*Op)(std::string_view, std::uint64_t)>
PyObject* write_value(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) noexcept {
  return binary_method<Exclusive, std::uint64_t>(
      Desc, self, args, nargs, kwnames,
      [](Graph& g, std::string_view id, std::uint64_t v) { return none_or_raise((g.*Op)(id, v)); });
}

// A mutating method taking an id, answering None.
template <const FunctionDescription& Desc, Status (Graph::*Op)(std::string_view)>
PyObject* write_state(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) noexcept {
  return unary_method<Exclusive, std::string_view>(
      Desc, self, args, nargs, kwnames,
      [](Graph& g, std::string_view id) { return none_or_raise((g.*Op)(id)); });
}

// ---- methods -----------------------------------------------------------------------------------

PyObject* add_node(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames) noexcept {
  return binary_method<Exclusive, std::string_view>(
      kAddNode, self, args, nargs, kwnames,
      [](Graph& g, std::string_view id, std::string_view kind) {
        return none_or_raise(g.add_node(id, kind));
      });
}

PyObject* set_deps(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames) noexcept {
  return binary_method<Exclusive, IdList>(kSetDeps, self, args, nargs, kwnames,
                                          [](Graph& g, std::string_view id, IdList& deps) {
                                            return none_or_raise(g.set_deps(id, deps.views));
                                          });
}

PyObject* build(PyObject* self, PyObject*) noexcept {
  return noargs_method<Exclusive>(self, [](Graph& g) { return none_or_raise(g.build()); });
}

PyObject* topo_order(PyObject* self, PyObject*) noexcept {
  return noargs_method<Shared>(self, [](Graph& g) { return ids_or_raise(g, g.topo_order()); });
}

PyObject* dirty_subgraph(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) noexcept {
  return unary_method<Shared, IdList>(
      kDirtySubgraph, self, args, nargs, kwnames,
      [](Graph& g, IdList& seeds) { return ids_or_raise(g, g.dirty_subgraph(seeds.views)); });
}

PyObject* mark_dirty(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) noexcept {
  return unary_method<Exclusive, IdList>(
      kMarkDirty, self, args, nargs, kwnames,
      [](Graph& g, IdList& seeds) { return ids_or_raise(g, g.mark_dirty(seeds.views)); });
}

PyObject* downstream(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) noexcept {
  return unary_method<Shared, std::string_view>(
      kDownstream, self, args, nargs, kwnames,
      [](Graph& g, std::string_view id) { return ids_or_raise(g, g.downstream(id)); });
}

PyObject* needs_recompute(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) noexcept {
  return binary_method<Shared, std::uint64_t>(kNeedsRecompute, self, args, nargs, kwnames,
                                              [](Graph& g, std::string_view id, std::uint64_t h) {
                                                return or_raise(g.needs_recompute(id, h),
                                                                PyBool_FromLong);
                                              });
}

PyObject* check_node(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) noexcept {
  return unary_method<Shared, std::string_view>(
      kCheckNode, self, args, nargs, kwnames,
      [](Graph& g, std::string_view id) { return or_raise(g.check_node(id), check_tuple); });
}

PyObject* state_of(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames) noexcept {
  return unary_method<Shared, std::string_view>(
      kStateOf, self, args, nargs, kwnames,
      [](Graph& g, std::string_view id) { return or_raise(g.state_of(id), state_str); });
}

PyObject* kind_of(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                  PyObject* kwnames) noexcept {
  return unary_method<Shared, std::string_view>(
      kKindOf, self, args, nargs, kwnames,
      [](Graph& g, std::string_view id) { return or_raise(g.kind_of(id), kind_str); });
}

PyObject* deps_of(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                  PyObject* kwnames) noexcept {
  return unary_method<Shared, std::string_view>(
      kDepsOf, self, args, nargs, kwnames,
      [](Graph& g, std::string_view id) { return ids_or_raise(g, g.deps_of(id)); });
}

PyObject* dirty_nodes(PyObject* self, PyObject*) noexcept {
  return noargs_method<Shared>(self, [](Graph& g) { return ids_or_raise(g, g.dirty_nodes()); });
}

PyObject* views(PyObject* self, PyObject*) noexcept {
  return noargs_method<Shared>(self, [](Graph& g) { return ids_or_raise(g, g.views()); });
}

PyObject* node_ids(PyObject* self, PyObject*) noexcept {
  return noargs_method<Shared>(self, [](Graph& g) { return all_ids(g); });
}

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
  if (!convert_arg(key, "id", id)) return -1;
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
    {"commit_node", as_cfunction(write_value<kCommitNode, &Graph::commit_node>), kFast,
     "commit_node($self, id, signature)\n--\n\n"
     "Commit a computed node clean with the signature it ran on; bumps its epoch."},
    {"skip_node", as_cfunction(write_value<kSkipNode, &Graph::skip_node>), kFast,
     "skip_node($self, id, signature)\n--\n\n"
     "Commit a memo hit: mark clean without bumping the epoch."},
    {"commit_input", as_cfunction(write_value<kCommitInput, &Graph::commit_input>), kFast,
     "commit_input($self, id, content_hash)\n--\n\n"
     "Record an Input node's current value hash for downstream signatures."},
    {"set_clean", as_cfunction(write_value<kSetClean, &Graph::set_clean>), kFast,
     "set_clean($self, id, hash)\n--\n\n"
     "Commit `id` clean with the content hash it was computed from."},
    {"set_computing", as_cfunction(write_state<kSetComputing, &Graph::set_computing>), kFast,
     "set_computing($self, id)\n--\n\n"},
    {"set_dirty", as_cfunction(write_state<kSetDirty, &Graph::set_dirty>), kFast,
     "set_dirty($self, id)\n--\n\n"},
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

GraphObject* as_graph(PyObject* self) noexcept {
  if (g_graph_type == nullptr || !PyObject_TypeCheck(self, g_graph_type)) {
    raise_cannot_convert(self, "Graph");
    return nullptr;
  }
  return reinterpret_cast<GraphObject*>(self);
}

PyObject* graph_type() noexcept {
  if (g_graph_type == nullptr) {
    PyObject* type = PyType_FromSpec(&g_spec);
    if (type == nullptr) return nullptr;
    g_graph_type = reinterpret_cast<PyTypeObject*>(type);  // this reference is never dropped
  }
  return PyRef::borrow(reinterpret_cast<PyObject*>(g_graph_type)).release();
}

}  // namespace tavik::binding
