// The two things every Graph method runs inside: the access guard of its instance, and the
// exception boundary that keeps C++ exceptions from reaching the interpreter.
#pragma once

#include <atomic>
#include <cstdint>
#include <utility>

#include "core/graph.hpp"
#include "cpython/python.hpp"

namespace tavik::binding {

using cpython::guarded_call;

/// The layout of a `Graph` instance.
struct GraphObject {
  PyObject ob_base;  // the object header
  Graph graph;
  /// 0: free; n > 0: n calls hold shared access; -1: one call holds exclusive access.
  std::atomic<std::int64_t> borrow_flag;
};

/// `self` as a Graph instance, or null with a TypeError set.
GraphObject* as_graph(PyObject* self) noexcept;

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

/// Runs one call, turning any C++ exception into a Python one, so that none reaches the
/// interpreter. Running out of memory is MemoryError; anything else is an internal fault.
template <class R, class F>
R guarded(R on_error, F&& body) noexcept {
  return guarded_call("tavik._tavik", on_error, std::forward<F>(body));
}

}  // namespace tavik::binding
