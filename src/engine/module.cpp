// The module entry: `tavik._engine`, the native core of `tavik.Engine`, initialised once per
// process, in one interpreter only.
#include "cpython/python.hpp"
#include "engine/core_type.hpp"

namespace tavik::engine {
namespace {

using cpython::PyRef;

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "_engine",  // m_name
    "",         // m_doc
    0,          // m_size
    nullptr,    // m_methods
    nullptr,    // m_slots
    nullptr,    // m_traverse
    nullptr,    // m_clear
    nullptr,    // m_free
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
