/* The calibration floor of the per-call benchmarks: a class whose methods do nothing but what
 * every hot Graph method has to do anyway.
 *
 * Built with the same stable ABI as tavik._tavik and called the same way (vector call with
 * keywords, one `str` argument read through PyUnicode_AsUTF8AndSize), so that the ratio
 * "Graph method / no-op" measures what the kernel and its binding add on top of the cheapest
 * possible call. Built on demand by bench/run.py into bench/out/; never installed.
 *
 *   Noop().noop(id)           -> None                   the floor of every id method
 *   Noop().noop_u64(id, v)    -> None                   also converts an unsigned 64-bit int
 *   Noop().noop_ulong(id, v)  -> None                   the same through PyLong_AsUnsignedLong
 *   Noop().noop_tuple(id)     -> ("reactive", False, s) builds what check_node returns
 *   Noop().noop_tuple_shared(id)  the same with one shared kind string instead of a new one
 */
#ifndef Py_LIMITED_API
#define Py_LIMITED_API 0x030B0000
#endif
#define PY_SSIZE_T_CLEAN
#include <Python.h>

static int read_id(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Py_ssize_t want,
                   Py_ssize_t* size_out) {
  if (nargs != want || (kwnames != NULL && PyTuple_Size(kwnames) != 0)) {
    PyErr_Format(PyExc_TypeError, "takes exactly %zd positional arguments", want);
    return -1;
  }
  if (!PyUnicode_Check(args[0])) {
    PyErr_SetString(PyExc_TypeError, "argument 'id': expected str");
    return -1;
  }
  if (PyUnicode_AsUTF8AndSize(args[0], size_out) == NULL) return -1;
  return 0;
}

static PyObject* noop(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  (void)self;
  Py_ssize_t size;
  if (read_id(args, nargs, kwnames, 1, &size) < 0) return NULL;
  Py_RETURN_NONE;
}

static PyObject* noop_u64(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  (void)self;
  Py_ssize_t size;
  if (read_id(args, nargs, kwnames, 2, &size) < 0) return NULL;
  unsigned long long value = PyLong_AsUnsignedLongLong(args[1]);
  if (value == (unsigned long long)-1 && PyErr_Occurred() != NULL) return NULL;
  Py_RETURN_NONE;
}

static PyObject* noop_ulong(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  (void)self;
  Py_ssize_t size;
  if (read_id(args, nargs, kwnames, 2, &size) < 0) return NULL;
  unsigned long value = PyLong_AsUnsignedLong(args[1]);
  if (value == (unsigned long)-1 && PyErr_Occurred() != NULL) return NULL;
  Py_RETURN_NONE;
}

static PyObject* shared_kind = NULL;

static PyObject* build_tuple(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                             int shared) {
  Py_ssize_t size;
  if (read_id(args, nargs, kwnames, 1, &size) < 0) return NULL;
  PyObject* kind;
  if (shared) {
    if (shared_kind == NULL && (shared_kind = PyUnicode_FromString("reactive")) == NULL) {
      return NULL;
    }
    Py_INCREF(shared_kind);
    kind = shared_kind;
  } else {
    kind = PyUnicode_FromStringAndSize("reactive", 8);
  }
  if (kind == NULL) return NULL;
  PyObject* signature = PyLong_FromUnsignedLongLong(11127404022565937034ULL + (size_t)size);
  if (signature == NULL) {
    Py_DECREF(kind);
    return NULL;
  }
  PyObject* tuple = PyTuple_New(3);
  if (tuple == NULL) {
    Py_DECREF(kind);
    Py_DECREF(signature);
    return NULL;
  }
  PyTuple_SetItem(tuple, 0, kind);
  PyTuple_SetItem(tuple, 1, PyBool_FromLong(0));
  PyTuple_SetItem(tuple, 2, signature);
  return tuple;
}

static PyObject* noop_tuple(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  (void)self;
  return build_tuple(args, nargs, kwnames, 0);
}

static PyObject* noop_tuple_shared(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
  (void)self;
  return build_tuple(args, nargs, kwnames, 1);
}

#define FAST (METH_FASTCALL | METH_KEYWORDS)

static PyMethodDef noop_methods[] = {
    {"noop", (PyCFunction)(void (*)(void))noop, FAST, "noop($self, id)\n--\n\nDo nothing."},
    {"noop_u64", (PyCFunction)(void (*)(void))noop_u64, FAST,
     "noop_u64($self, id, value)\n--\n\nConvert both arguments, do nothing."},
    {"noop_ulong", (PyCFunction)(void (*)(void))noop_ulong, FAST,
     "noop_ulong($self, id, value)\n--\n\nConvert both arguments (unsigned long), do nothing."},
    {"noop_tuple", (PyCFunction)(void (*)(void))noop_tuple, FAST,
     "noop_tuple($self, id)\n--\n\nReturn a new (str, bool, int) tuple."},
    {"noop_tuple_shared", (PyCFunction)(void (*)(void))noop_tuple_shared, FAST,
     "noop_tuple_shared($self, id)\n--\n\nReturn a new tuple holding a shared str."},
    {NULL, NULL, 0, NULL},
};

static PyType_Slot noop_slots[] = {
    {Py_tp_methods, noop_methods},
    {Py_tp_doc, (void*)"Calibration floor for the tavik per-call benchmarks."},
    {0, NULL},
};

static PyType_Spec noop_spec = {
    "_tavik_noop.Noop", 0, 0, Py_TPFLAGS_DEFAULT, noop_slots,
};

static struct PyModuleDef noop_module = {
    PyModuleDef_HEAD_INIT, "_tavik_noop", NULL, -1, NULL, NULL, NULL, NULL, NULL,
};

PyMODINIT_FUNC PyInit__tavik_noop(void) {
  PyObject* module = PyModule_Create(&noop_module);
  if (module == NULL) return NULL;
  PyObject* type = PyType_FromSpec(&noop_spec);
  if (type == NULL || PyModule_AddObject(module, "Noop", type) < 0) {
    Py_XDECREF(type);
    Py_DECREF(module);
    return NULL;
  }
  return module;
}
