#include "engine/walk.hpp"

#include <algorithm>
#include <new>

#include "engine/heap.hpp"
#include "engine/search.hpp"

namespace tavik::engine {
namespace {

using List = Recorder::List;

enum class Step { Same, Changed, Error };

/// Whether `fresh` is no change from `old`: 1 same, 0 changed, -1 an exception that is not an
/// `Exception` (set). A comparison that raises an `Exception` or answers anything but `True` is
/// a change.
int same_value(PyObject* equal, PyObject* old, PyObject* fresh) noexcept {
  PyRef result =
      PyRef::steal(equal == nullptr ? PyObject_RichCompare(old, fresh, Py_EQ)
                                    : PyObject_CallFunctionObjArgs(equal, old, fresh, nullptr));
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

Step internal(const char* what) noexcept {
  PyErr_Format(PyExc_SystemError, "tavik._engine: %s", what);
  return Step::Error;
}

/// One walk: over every dirty node for a stabilize, over the heap `due` of a read's cone.
class Walk {
 public:
  Walk(State& s, Heap& due, bool reading) noexcept : s_(s), due_(due), reading_(reading) {}

  /// Visits the due nodes in order; false with an exception set.
  bool run() noexcept {
    s_.busy = true;
    Step step = Step::Same;
    try {
      if (reading_) {
        for (; !due_.empty(); due_.pop()) {
          const Index i = due_.top().node;
          if (!s_.is_dirty(i)) continue;
          if ((step = visit(i)) == Step::Error) break;
          settle(i, step == Step::Changed);
        }
      } else {
        const Places& dirty = s_.dirty_at;
        for (std::uint32_t p = dirty.next(0); p != Places::kNone; p = dirty.next(p + 1)) {
          const Index i = s_.graph.at(p);
          if ((step = visit(i)) == Step::Error) break;
          settle(i, step == Step::Changed);
        }
      }
    } catch (const std::bad_alloc&) {
      PyErr_NoMemory();
      step = Step::Error;
    }
    s_.computing = kNoNode;
    s_.busy = false;
    return step != Step::Error;
  }

 private:
  // ---- the visit: decide, make room, then change -------------------------------------------

  Step visit(Index i) {
    if (s_.graph.kind(i) == NodeKind::Input) return visit_input(i);
    const std::uint64_t signature = s_.graph.signature_of(i);
    Slot& slot = s_.nodes[i];
    if (slot.reason == Reason::None && s_.graph.holds(i, signature)) {
      room(i, List::Reused, false, false);
      s_.graph.skip(i, signature);
      finish(i, Outcome::Reused, List::Reused);
      return Step::Same;
    }
    if (s_.failures != 0) {
      for (const Index d : s_.graph.deps(i)) {
        if (s_.nodes[d].failed()) return fail_by(i, d, signature);
      }
    }
    return call(i, signature);
  }

  Step visit_input(Index i) {
    Slot& slot = s_.nodes[i];
    bool changed = false;
    if (slot.fn_or_pending) {
      if (!slot.value) {
        changed = true;
      } else {
        s_.computing = i;
        const int same = same_value(slot.equal(), slot.value.get(), slot.fn_or_pending.get());
        s_.computing = kNoNode;
        if (same < 0) return Step::Error;
        changed = same == 0;
      }
    }
    room(i, List::Changed, false, changed);
    PyRef pending = std::move(slot.fn_or_pending);  // dropped after the change, if unchanged
    if (changed) {
      std::swap(slot.value, pending);
      s_.graph.commit_changed_input(i);
      finish(i, Outcome::Changed, List::Changed);
      return Step::Changed;
    }
    s_.graph.commit_unchanged_input(i);
    finish(i, Outcome::Unchanged, List::kLists);
    return Step::Same;
  }

  /// A dependency failed: the node takes its failure without being called.
  Step fail_by(Index i, Index dep, std::uint64_t signature) {
    Slot& slot = s_.nodes[i];
    const Extra& from = *s_.nodes[dep].extra;
    room(i, List::Failed, false, true);
    if (!slot.extra) slot.extra = std::make_unique<Extra>();
    PyRef origin = PyRef::borrow(from.failure_origin.get());
    PyRef error = PyRef::borrow(from.failure_error.get());
    take_failure(slot, origin, error);
    s_.graph.commit(i, signature);
    finish(i, Outcome::Failed, List::Failed);
    return Step::Changed;
  }

  Step call(Index i, std::uint64_t signature) {
    Slot& slot = s_.nodes[i];
    if (!slot.fn_or_pending) return internal("a node without a function");
    if (s_.graph.deps(i).size() > 64 && !slot.extra) slot.extra = std::make_unique<Extra>();
    PyRef args;
    if (!arguments(i, args)) return Step::Error;
    std::vector<std::uint64_t> wide;
    const std::uint64_t changed_bits = changed_since_call(i, wide);

    // The call and the comparison with the old value run user code: the node is the one being
    // computed until both are done.
    s_.computing = i;
    PyRef result = PyRef::steal(args ? PyObject_Call(slot.fn_or_pending.get(), args.get(), nullptr)
                                     : PyObject_CallNoArgs(slot.fn_or_pending.get()));
    if (!result) {
      s_.computing = kNoNode;
      if (!PyErr_ExceptionMatches(PyExc_Exception)) return Step::Error;
      PyRef error = take_exception();
      if (!error) return internal("an exception without a value");
      room(i, List::Failed, true, true);
      if (!slot.extra) slot.extra = std::make_unique<Extra>();
      called(i, changed_bits, wide);
      PyRef origin = PyRef::borrow(slot.id.get());
      take_failure(slot, origin, error);
      s_.graph.commit(i, signature);
      finish(i, Outcome::Failed, List::Failed);
      return Step::Changed;
    }
    bool changed = true;
    if (slot.value) {
      const int same = same_value(slot.equal(), slot.value.get(), result.get());
      if (same < 0) {
        s_.computing = kNoNode;
        return Step::Error;
      }
      changed = same == 0;
    }
    s_.computing = kNoNode;

    room(i, changed ? List::Changed : List::CutOff, true, changed);
    called(i, changed_bits, wide);
    PyRef origin, error;  // a failure recovered from, dropped after the change
    if (slot.failed()) {
      origin = std::move(slot.extra->failure_origin);
      error = std::move(slot.extra->failure_error);
      --s_.failures;
    }
    if (changed) {
      std::swap(slot.value, result);  // the old value goes with `result`
      s_.graph.commit(i, signature);
      finish(i, Outcome::Changed, List::Changed);
      return Step::Changed;
    }
    s_.graph.skip(i, signature);  // the stamp stays: dependents stay valid
    finish(i, Outcome::CutOff, List::CutOff);
    return Step::Same;
  }

  // ---- the parts of a visit ----------------------------------------------------------------

  /// The argument tuple of a derived node (null for a source); false with an exception set.
  bool arguments(Index i, PyRef& out) const noexcept {
    if (s_.graph.kind(i) == NodeKind::Source) return true;
    const auto deps = s_.graph.deps(i);
    const Slot& slot = s_.nodes[i];
    const std::vector<std::uint32_t>* map = slot.extra ? &slot.extra->args : nullptr;
    const std::size_t n = map != nullptr && !map->empty() ? map->size() : deps.size();
    out = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(n)));
    if (!out) return false;
    for (std::size_t k = 0; k < n; ++k) {
      const Index d = map != nullptr && !map->empty() ? deps[(*map)[k]] : deps[k];
      PyObject* value = s_.nodes[d].value.get();
      if (value == nullptr) {
        out = PyRef();
        internal("a dependency without a value");
        return false;
      }
      Py_INCREF(value);
      PyTuple_SetItem(out.get(), static_cast<Py_ssize_t>(k), value);
    }
    return true;
  }

  /// Which unique deps changed since the node's last call: the first 64 as bits, the rest into
  /// `wide`. Only a call for a changed dependency is explained by them.
  std::uint64_t changed_since_call(Index i, std::vector<std::uint64_t>& wide) const {
    const Slot& slot = s_.nodes[i];
    if (slot.reason != Reason::None) return 0;
    const auto deps = s_.graph.deps(i);
    if (deps.size() > 64) wide.assign((deps.size() - 64 + 63) / 64, 0);
    std::uint64_t bits = 0;
    for (std::size_t k = 0; k < deps.size(); ++k) {
      if (s_.graph.stamp(deps[k]) <= slot.called_at) continue;
      if (k < 64) {
        bits |= std::uint64_t{1} << k;
      } else {
        wide[(k - 64) >> 6] |= std::uint64_t{1} << ((k - 64) & 63);
      }
    }
    return bits;
  }

  /// Room for what the visit of a node will record and spread, made before it changes.
  void room(Index i, List outcome, bool computed, bool spreads) {
    if (!reading_) {
      s_.record.reserve(List::Schedule);
      if (outcome != List::kLists) s_.record.reserve(outcome);
      if (computed) s_.record.reserve(List::Computed);
    }
    if (spreads && reading_) due_.reserve_more(s_.graph.dependents(i).size());
  }

  /// Keeps what an explanation needs of the call that just happened.
  void called(Index i, std::uint64_t bits, std::vector<std::uint64_t>& wide) noexcept {
    Slot& slot = s_.nodes[i];
    slot.last_reason = slot.reason == Reason::None ? Reason::Dependencies : slot.reason;
    slot.reason = Reason::None;
    slot.called_at = s_.graph.clock();
    slot.changed = bits;
    if (slot.extra) {
      PyRef explained = std::move(slot.extra->explained);
      slot.extra->wide.swap(wide);
    }
    if (!reading_) s_.record.add(List::Computed, i);
  }

  void take_failure(Slot& slot, PyRef& origin, PyRef& error) noexcept {
    if (!slot.failed()) ++s_.failures;
    std::swap(slot.extra->failure_origin, origin);
    std::swap(slot.extra->failure_error, error);
    PyRef value = std::move(slot.value);
  }

  void finish(Index i, Outcome outcome, List list) noexcept {
    s_.nodes[i].outcome = outcome;
    if (!reading_) {
      s_.record.add(List::Schedule, i);
      if (list != List::kLists) s_.record.add(list, i);
    }
  }

  /// After a visit: the node is clean, and if it changed its dependents are dirty; in a read,
  /// those in the cone are due too.
  void settle(Index i, bool changed) noexcept {
    s_.visited(i);
    if (!changed) return;
    for (const Index d : s_.graph.dependents(i)) {
      if (s_.is_dirty(d)) continue;
      s_.mark_dirty(d);
      if (reading_ && s_.nodes[d].mark.has(s_.search, Mark::kBackward))
        due_.push(s_.graph.position(d), d);
    }
  }

  State& s_;
  Heap& due_;
  const bool reading_;
};

}  // namespace

bool stabilize(State& s) noexcept {
  s.record.clear();
  Heap none;
  return Walk(s, none, false).run();
}

bool read(State& s, Index i) noexcept {
  if (s.dirty_at.empty()) return true;
  Heap due;
  try {
    cone_to_visit(s, i, s.due);
    if (s.due.empty()) return true;
    due.reserve_more(s.due.size() + 16);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return false;
  }
  for (const Index d : s.due) due.push(s.graph.position(d), d);
  return Walk(s, due, true).run();
}

}  // namespace tavik::engine
