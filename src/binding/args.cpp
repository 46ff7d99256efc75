#include "binding/args.hpp"

namespace tavik::binding {

using cpython::PyRef;
namespace {

void raise_too_many_positional(const FunctionDescription& desc, Py_ssize_t given) noexcept {
  PyErr_Format(PyExc_TypeError, "%s.%s() takes %zd positional arguments but %zd %s given",
               desc.class_name, desc.func_name, desc.nparams, given, given == 1 ? "was" : "were");
}

void raise_unexpected_keyword(const FunctionDescription& desc, PyObject* name) noexcept {
  PyErr_Format(PyExc_TypeError, "%s.%s() got an unexpected keyword argument '%U'", desc.class_name,
               desc.func_name, name);
}

void raise_missing(const FunctionDescription& desc, PyObject* const* out) noexcept {
  Py_ssize_t missing = 0;
  for (Py_ssize_t i = 0; i < desc.nparams; ++i) missing += out[i] == nullptr;
  // 'a'; 'a' and 'b'; 'a', 'b', and 'c'
  PyRef names = PyRef::steal(PyUnicode_FromString(""));
  Py_ssize_t listed = 0;
  for (Py_ssize_t i = 0; i < desc.nparams && names; ++i) {
    if (out[i] != nullptr) continue;
    const char* separator = listed == 0             ? ""
                            : missing == 2          ? " and "
                            : listed == missing - 1 ? ", and "
                                                    : ", ";
    names = PyRef::steal(PyUnicode_FromFormat("%U%s'%s'", names.get(), separator, desc.params[i]));
    ++listed;
  }
  if (!names) return;
  PyErr_Format(PyExc_TypeError, "%s.%s() missing %zd required positional %s: %U", desc.class_name,
               desc.func_name, missing, missing == 1 ? "argument" : "arguments", names.get());
}

void raise_multiple_values(const FunctionDescription& desc, const char* param) noexcept {
  PyErr_Format(PyExc_TypeError, "%s.%s() got multiple values for argument '%s'", desc.class_name,
               desc.func_name, param);
}

// Index of the parameter named `name`, or -1.
Py_ssize_t find_param(const FunctionDescription& desc, PyObject* name) noexcept {
  for (Py_ssize_t i = 0; i < desc.nparams; ++i) {
    if (PyUnicode_CompareWithASCIIString(name, desc.params[i]) == 0) return i;
  }
  return -1;
}

// The qualified name of `o`'s type, or a placeholder if it cannot be had. Never fails.
PyRef type_qualname(PyObject* o) noexcept {
  PyRef name = PyRef::steal(PyType_GetQualName(Py_TYPE(o)));
  if (!name) {
    PyErr_Clear();
    name = PyRef::steal(PyUnicode_FromString("<failed to extract type name>"));
    if (!name) PyErr_Clear();
  }
  return name;
}

}  // namespace

void raise_cannot_convert(PyObject* o, const char* target) noexcept {
  PyRef qualname = type_qualname(o);
  PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", qualname.get(), target);
}

bool bind_args(const FunctionDescription& desc, PyObject* const* args, Py_ssize_t nargs,
               PyObject* kwnames, PyObject** out) noexcept {
  if (nargs > desc.nparams) {
    raise_too_many_positional(desc, nargs);
    return false;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
  for (Py_ssize_t i = nargs; i < desc.nparams; ++i) out[i] = nullptr;
  if (kwnames != nullptr) {
    const Py_ssize_t nkw = PyTuple_Size(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      PyObject* name = PyTuple_GetItem(kwnames, k);  // borrowed
      if (name == nullptr) return false;
      const Py_ssize_t i = find_param(desc, name);
      if (i < 0) {
        raise_unexpected_keyword(desc, name);
        return false;
      }
      if (out[i] != nullptr) {
        raise_multiple_values(desc, desc.params[i]);
        return false;
      }
      out[i] = args[nargs + k];
    }
  }
  for (Py_ssize_t i = 0; i < desc.nparams; ++i) {
    if (out[i] == nullptr) {
      raise_missing(desc, out);
      return false;
    }
  }
  return true;
}

bool bind_no_args(const FunctionDescription& desc, PyObject* args, PyObject* kwargs) noexcept {
  const Py_ssize_t nargs = args != nullptr ? PyTuple_Size(args) : 0;
  if (nargs > 0) {
    raise_too_many_positional(desc, nargs);
    return false;
  }
  if (kwargs != nullptr) {
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    Py_ssize_t pos = 0;
    if (PyDict_Next(kwargs, &pos, &key, &value)) {  // the first key in the dictionary's order
      raise_unexpected_keyword(desc, key);
      return false;
    }
  }
  return true;
}

bool convert(PyObject* o, std::string_view& out) noexcept {
  if (!PyUnicode_Check(o)) {
    raise_cannot_convert(o, "PyString");
    return false;
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(o, &size);
  if (data == nullptr) return false;
  out = std::string_view(data, static_cast<std::size_t>(size));
  return true;
}

namespace {

// Reads an int as an unsigned 64-bit value. Where `unsigned long` has 64 bits its reader is the
// faster one for multi-digit values; on failure the long long reader runs again so that the
// error raised is always its own.
bool read_u64(PyObject* integer, std::uint64_t& out) noexcept {
  if constexpr (sizeof(unsigned long) == sizeof(std::uint64_t)) {
    const unsigned long value = PyLong_AsUnsignedLong(integer);
    if (value != static_cast<unsigned long>(-1) || PyErr_Occurred() == nullptr) {
      out = value;
      return true;
    }
    PyErr_Clear();
  }
  const unsigned long long value = PyLong_AsUnsignedLongLong(integer);
  // All ones is also a valid value: only the pending error tells a failure apart.
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr) return false;
  out = static_cast<std::uint64_t>(value);
  return true;
}

}  // namespace

bool convert(PyObject* o, std::uint64_t& out) noexcept {
  if (PyLong_Check(o)) return read_u64(o, out);
  PyRef index = PyRef::steal(PyNumber_Index(o));
  if (!index) return false;
  return read_u64(index.get(), out);
}

bool convert(PyObject* o, IdList& out) {
  if (PyUnicode_Check(o)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return false;
  }
  if (!PySequence_Check(o)) {
    raise_cannot_convert(o, "Sequence");
    return false;
  }
  // Plain lists and tuples are read by position: no Python code runs while their string items
  // are converted, so this sees exactly what iterating them would.
  const bool is_list = PyList_CheckExact(o);
  if (is_list || PyTuple_CheckExact(o)) {
    const Py_ssize_t n = is_list ? PyList_Size(o) : PyTuple_Size(o);
    out.refs.reserve(static_cast<std::size_t>(n));
    out.views.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
      PyObject* item = is_list ? PyList_GetItem(o, i) : PyTuple_GetItem(o, i);  // borrowed
      if (item == nullptr) return false;
      std::string_view view;
      if (!convert(item, view)) return false;
      out.refs.push_back(PyRef::borrow(item));
      out.views.push_back(view);
    }
    return true;
  }
  // The length only sizes the reservation: a failure is ignored, and a length the sequence
  // may not live up to reserves no more than a modest amount.
  constexpr Py_ssize_t kMaxReserve = Py_ssize_t{1} << 16;
  const Py_ssize_t hint = PySequence_Size(o);
  if (hint < 0) {
    PyErr_Clear();
  } else {
    const auto room = static_cast<std::size_t>(hint < kMaxReserve ? hint : kMaxReserve);
    out.refs.reserve(room);
    out.views.reserve(room);
  }
  PyRef iter = PyRef::steal(PyObject_GetIter(o));
  if (!iter) return false;
  while (true) {
    PyRef item = PyRef::steal(PyIter_Next(iter.get()));
    if (!item) return PyErr_Occurred() == nullptr;
    std::string_view view;
    if (!convert(item.get(), view)) return false;
    out.refs.push_back(std::move(item));
    out.views.push_back(view);
  }
}

// PyErr_Fetch and PyErr_NormalizeException are the stable-ABI way to take hold of the pending
// exception in 3.11; newer headers deprecate them in favour of calls 3.11 does not have.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
void argument_extraction_error(const char* name) noexcept {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (type == nullptr) {  // a failed conversion always sets one; never report success by accident
    PyErr_Format(PyExc_SystemError, "conversion of argument '%s' failed without an exception",
                 name);
    return;
  }
  PyErr_NormalizeException(&type, &value, &traceback);
  PyRef type_ref = PyRef::steal(type);
  PyRef value_ref = PyRef::steal(value);
  PyRef traceback_ref = PyRef::steal(traceback);
  if (value == nullptr || Py_TYPE(value) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
    PyErr_Restore(type_ref.release(), value_ref.release(), traceback_ref.release());
    return;
  }
  PyRef text = PyRef::steal(PyObject_Str(value));
  if (!text) {
    PyErr_Clear();
    text = PyRef::steal(PyUnicode_FromString("<exception str() failed>"));
    if (!text) return;
  }
  PyRef message = PyRef::steal(PyUnicode_FromFormat("argument '%s': %U", name, text.get()));
  if (!message) return;
  PyRef wrapped =
      PyRef::steal(PyObject_CallFunctionObjArgs(PyExc_TypeError, message.get(), nullptr));
  if (!wrapped) return;
  // Setting the cause, even to none, also hides the context when the exception is shown.
  PyException_SetCause(wrapped.get(), PyException_GetCause(value));
  PyErr_Restore(PyRef::borrow(PyExc_TypeError).release(), wrapped.release(), nullptr);
}
#pragma GCC diagnostic pop

}  // namespace tavik::binding
