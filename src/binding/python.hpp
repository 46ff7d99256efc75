// The one place that includes Python.h. The module is built for the stable ABI of CPython 3.11
// and later, so only the limited API (and only its function forms) is used anywhere.
#pragma once

#if !defined(Py_LIMITED_API) || Py_LIMITED_API != 0x030B0000
#error "the binding must be compiled with Py_LIMITED_API=0x030B0000 (stable ABI, CPython 3.11)"
#endif

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace tavik::binding {

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

}  // namespace tavik::binding
