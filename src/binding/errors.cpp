#include "binding/errors.hpp"

#include <new>
#include <string>

#include "binding/quote.hpp"

namespace tavik::binding {

using cpython::PyRef;
namespace {

struct Mapped {
  PyObject* type;
  std::string message;
};

// No default case: a new error variant must be mapped here before this compiles cleanly.
Mapped map_error(const GraphError& error) {
  switch (error.code) {
    case ErrorCode::DuplicateNode:
      return {PyExc_ValueError, "node already registered: " + quote(error.text)};
    case ErrorCode::UnknownNode:
      return {PyExc_KeyError, "unknown node: " + quote(error.text)};
    case ErrorCode::SelfDependency:
      return {PyExc_ValueError, "node " + quote(error.text) + " cannot depend on itself"};
    case ErrorCode::InvalidKind:
      return {PyExc_ValueError,
              "invalid node kind " + quote(error.text) + " (expected input|source|reactive|view)"};
    case ErrorCode::NotBuilt:
      return {PyExc_RuntimeError, "graph has not been built; call build() after registering nodes"};
    case ErrorCode::Cycle: {
      std::string message = "dependency cycle detected involving: ";
      for (std::size_t i = 0; i < error.ids.size(); ++i) {
        if (i > 0) message += ", ";
        message += error.ids[i];
      }
      return {PyExc_ValueError, std::move(message)};
    }
  }
  return {PyExc_SystemError, "unknown kernel error"};
}

}  // namespace

PyObject* to_py_err(GraphError&& error) noexcept {
  try {
    const GraphError owned = std::move(error);  // released when this returns
    Mapped mapped = map_error(owned);
    PyRef message = PyRef::steal(PyUnicode_FromStringAndSize(
        mapped.message.data(), static_cast<Py_ssize_t>(mapped.message.size())));
    if (!message) return nullptr;
    // One argument, the message: args == (message,), also for KeyError.
    PyRef exc = PyRef::steal(PyObject_CallFunctionObjArgs(mapped.type, message.get(), nullptr));
    if (!exc) return nullptr;
    PyErr_SetObject(mapped.type, exc.get());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  }
  return nullptr;
}

}  // namespace tavik::binding
