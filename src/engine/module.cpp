// The module entry: `tavik._engine`, the native core of `tavik.Engine`, initialised once per
// process, in one interpreter only.
#include <atomic>
#include <cstdint>

#include "binding/python.hpp"
#include "engine/core_type.hpp"

namespace tavik::engine {
namespace {

using binding::PyRef;

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

std::atomic<std::int64_t> g_interpreter{-1};
PyObject* g_module = nullptr;

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
  using namespace tavik::engine;
  const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id < 0) return nullptr;
  std::int64_t first = -1;
  if (!g_interpreter.compare_exchange_strong(first, id) && first != id) {
    PyErr_SetString(PyExc_ImportError,
                    "tavik._engine does not support sub-interpreters: it is already loaded in "
                    "another interpreter of this process");
    return nullptr;
  }
  if (g_module != nullptr) return PyRef::borrow(g_module).release();
  PyObject* module = create_module();
  if (module == nullptr) return nullptr;
  g_module = PyRef::borrow(module).release();  // kept for re-initialisation, never dropped
  return module;
}
