// CPython helpers shared by both extension modules, and the one place that includes Python.h.
// The modules are built for the stable ABI of CPython 3.11 and later, so only the limited API
// (and only its function forms) is used anywhere.
#pragma once

#if !defined(Py_LIMITED_API) || Py_LIMITED_API != 0x030B0000
#error "the binding must be compiled with Py_LIMITED_API=0x030B0000 (stable ABI, CPython 3.11)"
#endif

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstdint>
#include <new>
#include <utility>

namespace tavik::cpython {

/// Owns one strong reference (or none). Move-only; `release()` hands the reference on.
class PyRef {
 public:
  PyRef() noexcept = default;
  /// Takes over a new reference (which may be null).
  static PyRef steal(PyObject* o) noexcept { return PyRef(o); }
  /// Takes a new reference to a borrowed object.
  static PyRef borrow(PyObject* o) noexcept {
    Py_XINCREF(o);
    return PyRef(o);
  }

  PyRef(PyRef&& other) noexcept : o_(std::exchange(other.o_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    PyRef tmp(std::move(other));
    std::swap(o_, tmp.o_);
    return *this;
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  ~PyRef() { Py_XDECREF(o_); }

  PyObject* get() const noexcept { return o_; }
  explicit operator bool() const noexcept { return o_ != nullptr; }
  /// Gives up ownership: the caller now owns the reference.
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(o_, nullptr); }

 private:
  explicit PyRef(PyObject* o) noexcept : o_(o) {}
  PyObject* o_ = nullptr;
};

/// Runs one call of the module named `module`, turning any C++ exception into a Python one, so
/// that none reaches the interpreter. Running out of memory is MemoryError; anything else is an
/// internal fault.
template <class R, class F>
R guarded_call(const char* module, R on_error, F&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (...) {
    PyErr_Format(PyExc_SystemError, "internal error in %s", module);
  }
  return on_error;
}

/// The entry of a module with single-phase initialisation: the module is created in the first
/// interpreter that imports it and handed out again when that one initialises it again; any
/// other interpreter gets an ImportError naming `full_name`.
class ModuleEntry {
 public:
  /// A new reference to the module, made by `create` on first use; null with an exception set.
  PyObject* init(const char* full_name, PyObject* (*create)() noexcept) noexcept {
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id < 0) return nullptr;
    std::int64_t first = -1;
    if (!interpreter_.compare_exchange_strong(first, id) && first != id) {
      PyErr_Format(PyExc_ImportError,
                   "%s does not support sub-interpreters: it is already loaded in another "
                   "interpreter of this process",
                   full_name);
      return nullptr;
    }
    if (module_ != nullptr) return PyRef::borrow(module_).release();
    PyObject* module = create();
    if (module == nullptr) return nullptr;
    module_ = PyRef::borrow(module).release();  // kept for re-initialisation, never dropped
    return module;
  }

 private:
  std::atomic<std::int64_t> interpreter_{-1};  // the first interpreter; -1: none yet
  PyObject* module_ = nullptr;
};

}  // namespace tavik::cpython
