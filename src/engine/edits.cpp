#include "engine/edits.hpp"

#include <algorithm>
#include <new>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "engine/report.hpp"

namespace tavik::engine {
namespace {

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

/// A node's dependencies as given, resolved: each once in first-listed order (the kernel's
/// deps), and which of them each argument is when the list repeats an id.
struct Resolved {
  std::vector<Index> unique;
  std::vector<std::uint32_t> args;  ///< empty when nothing repeats
};

bool resolve(const State& s, PyObject* deps, Resolved& out) {
  if (!PyTuple_Check(deps)) {
    PyErr_SetString(PyExc_TypeError, "deps must be a tuple");
    return false;
  }
  const auto n = static_cast<std::size_t>(PyTuple_Size(deps));
  std::vector<Index> given(n);
  for (std::size_t k = 0; k < n; ++k) {
    if (!known(s, PyTuple_GetItem(deps, static_cast<Py_ssize_t>(k)), given[k])) return false;
  }
  out.unique.reserve(n);
  std::vector<std::uint32_t> args(n);
  bool repeats = false;
  const auto place = [&](std::size_t k, std::size_t at) {
    if (at == out.unique.size()) {
      out.unique.push_back(given[k]);
    } else {
      repeats = true;
    }
    args[k] = static_cast<std::uint32_t>(at);
  };
  if (n <= 16) {
    for (std::size_t k = 0; k < n; ++k) {
      place(k, static_cast<std::size_t>(std::find(out.unique.begin(), out.unique.end(), given[k]) -
                                        out.unique.begin()));
    }
  } else {
    std::unordered_map<Index, std::uint32_t> first;
    first.reserve(n);
    for (std::size_t k = 0; k < n; ++k) {
      const auto [it, fresh] = first.emplace(given[k], static_cast<std::uint32_t>(first.size()));
      place(k, fresh ? out.unique.size() : it->second);
    }
  }
  if (repeats) out.args = std::move(args);
  return true;
}

/// The node's arguments as the kernel deps they are: empty when they are the deps themselves.
const std::vector<std::uint32_t>& args_of(const Slot& slot) noexcept {
  static const std::vector<std::uint32_t> none;
  return slot.extra ? slot.extra->args : none;
}

bool refuse(PyObject* type, const char* message) noexcept {
  PyErr_SetString(type, message);
  return false;
}

/// Renumbers the engine once removed nodes outnumber the others, so that what it keeps stays
/// bounded by the live nodes. Optional: running out of memory here leaves it for later.
void maybe_compact(State& s) noexcept {
  const std::size_t dead = s.graph.dead();
  if (dead < 64 || 2 * dead <= s.graph.size()) return;
  try {
    std::vector<Slot> fresh;
    fresh.reserve(s.graph.size() - dead);
    const std::vector<NodeIndex> map = s.graph.compact();
    s.nodes.adopt(map, fresh);
  } catch (const std::bad_alloc&) {
    return;
  }
  // Places changed with the renumbering (there are fewer now: the set has room).
  s.dirty_at.clear();
  for (Index i = 0; i < s.nodes.size(); ++i) {
    if (s.is_dirty(i)) s.dirty_at.insert(s.graph.position(i));
  }
}

}  // namespace

bool lookup(const State& s, PyObject* id, Index& out) noexcept {
  std::string_view key;
  if (!utf8(id, key)) {
    // A lone surrogate has no UTF-8 form, and so no node has it as its id.
    if (!PyUnicode_Check(id) || !PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return false;
    PyErr_Clear();
    out = kNoNode;
    return true;
  }
  out = s.graph.find_index(key);
  return true;
}

bool known(const State& s, PyObject* id, Index& out) noexcept {
  if (id == nullptr || !lookup(s, id, out)) return false;
  if (out != kNoNode) return true;
  PyErr_SetObject(PyExc_KeyError, id);
  return false;
}

bool add(State& s, PyObject* id, NodeKind kind, PyObject* deps, PyObject* fn, PyObject* equal,
         PyObject* value) noexcept {
  return cpython::guarded_call("tavik._engine", false, [&] {
    Index existing = kNoNode;
    if (!lookup(s, id, existing)) return false;
    if (existing != kNoNode) return refuse(PyExc_ValueError, "node already registered");
    Resolved resolved;
    if (!resolve(s, deps, resolved)) return false;
    if ((kind == NodeKind::Input || kind == NodeKind::Source) && !resolved.unique.empty()) {
      return refuse(PyExc_ValueError, "inputs and sources have no dependencies");
    }
    std::string_view key;
    PyRef exact = PyRef::steal(PyUnicode_FromObject(id));  // a str subclass as its str value
    if (!exact || !utf8(exact.get(), key)) return false;

    Slot slot;
    slot.id = std::move(exact);
    slot.fn_or_pending = PyRef::borrow(kind == NodeKind::Input ? value : fn);
    if (equal != nullptr || !resolved.args.empty()) {
      slot.extra = std::make_unique<Extra>();
      slot.extra->equal = PyRef::borrow(equal);
      slot.extra->args = std::move(resolved.args);
    }
    s.nodes.reserve_one_more();
    s.reserve_places(1);
    auto appended = s.graph.append_node(key, kind, resolved.unique);
    if (!appended) return refuse(PyExc_ValueError, "node already registered");
    if (*appended != s.nodes.size()) {
      s.graph.undo_append();
      return refuse(PyExc_SystemError, "tavik._engine: the kernel handed out an index in use");
    }
    s.nodes.push(std::move(slot));
    s.mark_dirty(*appended);
    return true;
  });
}

int redefine(State& s, Index i, PyObject* deps, PyObject* fn, PyRef& cycle) noexcept {
  return cpython::guarded_call("tavik._engine", -1, [&]() -> int {
    Slot& slot = s.nodes[i];
    Resolved resolved;
    if (deps != nullptr && !resolve(s, deps, resolved)) return -1;
    const auto current = s.graph.deps(i);
    const bool rewire =
        deps != nullptr && (!std::equal(current.begin(), current.end(), resolved.unique.begin(),
                                        resolved.unique.end()) ||
                            resolved.args != args_of(slot));
    if (rewire && s.graph.kind(i) == NodeKind::Source && !resolved.unique.empty()) {
      refuse(PyExc_ValueError, "sources have no dependencies");
      return -1;
    }
    std::uint32_t from = s.graph.position(i);
    std::uint32_t to = from;
    PyRef frozen;
    if (rewire) {
      const std::vector<NodeIndex> path = s.graph.cycle_through(i, resolved.unique);
      if (!path.empty()) {
        cycle = PyRef::steal(id_list(s, path));
        return cycle ? 0 : -1;
      }
      for (const Index d : resolved.unique) to = std::max(to, s.graph.position(d));
      // The explanation of the last call names the deps it had: taken as ids now.
      if (slot.last_reason == Reason::Dependencies && !(slot.extra && slot.extra->explained)) {
        frozen = PyRef::steal(changed_deps(s, i));
        if (!frozen) return -1;
      }
      if (!slot.extra && (frozen || !resolved.args.empty())) {
        slot.extra = std::make_unique<Extra>();
      }
    }

    if (rewire) {
      s.graph.replace_deps(i, resolved.unique);  // the last step that may throw
      if (slot.extra) {
        slot.extra->args.swap(resolved.args);
        if (frozen) std::swap(slot.extra->explained, frozen);
      }
      if (to > from) s.replace_span(from, to);
    }
    PyRef old_fn;  // dropped last, when the engine is consistent again
    if (fn != nullptr) {
      old_fn = std::move(slot.fn_or_pending);
      slot.fn_or_pending = PyRef::borrow(fn);
    }
    if (slot.reason != Reason::New) slot.reason = Reason::Redefined;
    s.mark_dirty(i);
    return 1;
  });
}

bool remove(State& s, Index i) noexcept {
  return cpython::guarded_call("tavik._engine", false, [&] {
    if (!s.graph.dependents(i).empty()) return refuse(PyExc_ValueError, "the node has dependents");
    const std::uint32_t place = s.graph.position(i);
    s.graph.remove_node(i);  // the only step that may throw
    s.dirty_at.erase(place);
    Slot dropped = std::move(s.nodes[i]);  // its references go last
    s.nodes[i] = Slot();
    if (dropped.failed()) --s.failures;
    maybe_compact(s);
    return true;
  });
}

bool set_values(State& s, PyObject* items) noexcept {
  return cpython::guarded_call("tavik._engine", false, [&] {
    if (!PyList_Check(items)) return refuse(PyExc_TypeError, "items must be a list of pairs");
    const auto n = static_cast<std::size_t>(PyList_Size(items));
    std::vector<Index> targets(n);
    for (std::size_t k = 0; k < n; ++k) {
      PyObject* pair = PyList_GetItem(items, static_cast<Py_ssize_t>(k));
      if (!PyTuple_Check(pair) || PyTuple_Size(pair) != 2) {
        return refuse(PyExc_TypeError, "items must be a list of pairs");
      }
      if (!known(s, PyTuple_GetItem(pair, 0), targets[k])) return false;
      if (s.graph.kind(targets[k]) != NodeKind::Input) {
        return refuse(PyExc_ValueError, "only inputs are set");
      }
    }
    std::vector<PyRef> old(n);  // dropped last, when every value is in place
    for (std::size_t k = 0; k < n; ++k) {
      PyObject* value = PyTuple_GetItem(PyList_GetItem(items, static_cast<Py_ssize_t>(k)), 1);
      Slot& slot = s.nodes[targets[k]];
      old[k] = std::move(slot.fn_or_pending);
      slot.fn_or_pending = PyRef::borrow(value);
      s.mark_dirty(targets[k]);
    }
    return true;
  });
}

bool invalidate(State& s, PyObject* ids) noexcept {
  return cpython::guarded_call("tavik._engine", false, [&] {
    if (!PyTuple_Check(ids)) return refuse(PyExc_TypeError, "ids must be a tuple");
    const auto n = static_cast<std::size_t>(PyTuple_Size(ids));
    std::vector<Index> targets(n);
    for (std::size_t k = 0; k < n; ++k) {
      if (!known(s, PyTuple_GetItem(ids, static_cast<Py_ssize_t>(k)), targets[k])) return false;
      if (s.graph.kind(targets[k]) == NodeKind::Input) {
        return refuse(PyExc_ValueError, "inputs are set, not invalidated");
      }
    }
    for (const Index i : targets) {
      Slot& slot = s.nodes[i];
      if (slot.reason == Reason::None) slot.reason = Reason::Invalidated;
      s.mark_dirty(i);
    }
    return true;
  });
}

}  // namespace tavik::engine
