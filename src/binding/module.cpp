// The module entry: `tavik._tavik`, initialised once per process, in one interpreter only.
#include "binding/graph_type.hpp"
#include "cpython/python.hpp"
#include "version.hpp"

namespace tavik::binding {

using cpython::ModuleEntry;
using cpython::PyRef;
namespace {

PyObject* kernel_version(PyObject*, PyObject*) noexcept {
  return PyUnicode_FromString(kKernelVersion);
}

PyMethodDef g_kernel_version_def = {"kernel_version", kernel_version, METH_NOARGS,
                                    "kernel_version()\n--\n\n"
                                    "Version string of the compiled native kernel."};

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "_tavik",  // m_name
    "",        // m_doc: empty, so __doc__ is "" rather than None
    0,         // m_size
    nullptr,   // m_methods: added during initialisation
    nullptr,   // m_slots
    nullptr,   // m_traverse
    nullptr,   // m_clear
    nullptr,   // m_free
};

ModuleEntry g_entry;

// Adds `value` to the module under `name` and lists the name in `__all__`, creating the list
// on first use. Steals nothing.
bool add_exported(PyObject* module, PyObject* name, PyObject* value) noexcept {
  PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all = PyRef::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
  } else if (!PyList_Check(all.get())) {
    PyErr_SetString(PyExc_TypeError, "`__all__` must be a list");
    return false;
  }
  if (PyList_Append(all.get(), name) < 0) return false;
  return PyObject_SetAttr(module, name, value) == 0;
}

PyObject* create_module() noexcept {
  PyRef module = PyRef::steal(PyModule_Create2(&g_module_def, PYTHON_ABI_VERSION));
  if (!module) return nullptr;

  PyRef module_name = PyRef::steal(PyModule_GetNameObject(module.get()));
  if (!module_name) return nullptr;
  PyRef function =
      PyRef::steal(PyCFunction_NewEx(&g_kernel_version_def, module.get(), module_name.get()));
  if (!function) return nullptr;
  PyRef function_name = PyRef::steal(PyObject_GetAttrString(function.get(), "__name__"));
  if (!function_name || !add_exported(module.get(), function_name.get(), function.get())) {
    return nullptr;
  }

  PyRef type = PyRef::steal(graph_type());
  PyRef type_name = PyRef::steal(PyUnicode_FromString("Graph"));
  if (!type || !type_name || !add_exported(module.get(), type_name.get(), type.get())) {
    return nullptr;
  }
  return module.release();
}

}  // namespace
}  // namespace tavik::binding

extern "C" PyMODINIT_FUNC PyInit__tavik() noexcept {
  return tavik::binding::g_entry.init("tavik._tavik", tavik::binding::create_module);
}
