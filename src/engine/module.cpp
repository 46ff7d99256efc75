// The module entry: `tavik._engine`, the native core of `tavik.Engine`, initialised once per
// process, in one interpreter only.
#include "cpython/python.hpp"
#include "engine/core_type.hpp"

#ifdef TAVIK_ALLOC_HOOK
#include "alloc_hook.hpp"
#endif

namespace tavik::engine {
namespace {

using cpython::PyRef;

#ifdef TAVIK_ALLOC_HOOK
// A test build only: the module's C++ allocations go through the test allocator, and these two
// functions arm and read its one failure.
PyObject* fail_allocation(PyObject*, PyObject* n) noexcept {
  const Py_ssize_t at = PyLong_AsSsize_t(n);
  if (at < 0) return PyErr_Occurred() ? nullptr : PyErr_Format(PyExc_ValueError, "n >= 0");
  tavik_test::alloc::fail_at(static_cast<std::size_t>(at));
  Py_RETURN_NONE;
}

PyObject* disarm_allocation(PyObject*, PyObject*) noexcept {
  const bool fired = tavik_test::alloc::fired();
  tavik_test::alloc::disarm();
  return PyBool_FromLong(fired ? 1 : 0);
}

PyMethodDef g_functions[] = {
    {"_fail_allocation", fail_allocation, METH_O,
     "_fail_allocation(n, /)\n--\n\nMake the C++ allocation n from now throw std::bad_alloc."},
    {"_disarm_allocation", disarm_allocation, METH_NOARGS,
     "_disarm_allocation()\n--\n\nCancel the failure; whether it happened."},
    {nullptr, nullptr, 0, nullptr},
};
#else
PyMethodDef* const g_functions = nullptr;
#endif

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "_engine",    // m_name
    "",           // m_doc
    0,            // m_size
    g_functions,  // m_methods
    nullptr,      // m_slots
    nullptr,      // m_traverse
    nullptr,      // m_clear
    nullptr,      // m_free
};

cpython::ModuleEntry g_entry;

PyObject* create_module() noexcept {
  PyRef module = PyRef::steal(PyModule_Create2(&g_module_def, PYTHON_ABI_VERSION));
  if (!module) return nullptr;
  PyRef type = PyRef::steal(core_type());
  if (!type || PyObject_SetAttrString(module.get(), "Core", type.get()) < 0) return nullptr;
  PyRef all = PyRef::steal(Py_BuildValue("[s]", "Core"));
  if (!all || PyObject_SetAttrString(module.get(), "__all__", all.get()) < 0) return nullptr;
  return module.release();
}

}  // namespace
}  // namespace tavik::engine

extern "C" PyMODINIT_FUNC PyInit__engine() noexcept {
  return tavik::engine::g_entry.init("tavik._engine", tavik::engine::create_module);
}
