// The extension module `quarlet._quarlet`, the compiled core of the package
// `quarlet`: its one exported entry point creates the module (the EseDatabase
// class and __version__) and hands the same object to every later
// initialisation in the same interpreter. The package re-exports both; the
// types keep the names `quarlet.EseDatabase` and so on, where users meet them.
#include "python/arrow_rows.hpp"
#include "python/capi.hpp"
#include "python/convert.hpp"
#include "python/ese_database.hpp"
#include "python/source.hpp"
#include "python/view_rows.hpp"

namespace {

PyMethodDef kFunctions[] = {
    {"_sort_pairs", quarlet::py::sort_pairs, METH_VARARGS,
     "_sort_pairs(keys, targets)\n--\n\n"
     "Pairs of native int32 (two bytes objects) sorted by key, stably\n"
     "(internal: the link maps of quarlet.artifacts)."},
    {"_close_file_objects", quarlet::py::close_file_objects, METH_NOARGS,
     "_close_file_objects()\n--\n\n"
     "Refuses every read of a file object from now on and waits for those\n"
     "under way (internal: run by atexit)."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT,
    "quarlet._quarlet",
    "The compiled core of quarlet; import its names from the package `quarlet`.",
    0,    // no per-module state; a non-negative size makes a re-import call
          // the entry point again, which hands back the same module object
    kFunctions, nullptr, nullptr, nullptr, nullptr,
};

// The module, created by the first initialisation, and the interpreter that
// owns it. Instances and the class are bound to that interpreter.
PyObject* g_module = nullptr;
int64_t g_interpreter = -1;

// Called when the interpreter is finalised: an embedding application that
// starts a new interpreter afterwards gets a fresh module, not a stale one.
void forget_module() {
  g_module = nullptr;
  g_interpreter = -1;
}

// Builds the module object. New reference, or null with an exception set.
PyObject* create_module() {
  quarlet::py::PyRef module(PyModule_Create(&kModule));
  if (!module) return nullptr;
  quarlet::py::PyRef type(quarlet::py::create_ese_database_type());
  if (!type) return nullptr;
  if (PyModule_AddObject(module.get(), "EseDatabase", type.get()) != 0) return nullptr;
  type.release();  // the module holds it now
  quarlet::py::PyRef rows(quarlet::py::create_arrow_rows_type());
  if (!rows) return nullptr;
  if (PyModule_AddObject(module.get(), "ArrowRows", rows.get()) != 0) return nullptr;
  rows.release();
  if (PyModule_AddStringConstant(module.get(), "__version__", "0.1.7") != 0) return nullptr;
  // Reads of file objects let go of the interpreter lock and take it back:
  // they are stopped before the interpreter ends the threads still running.
  quarlet::py::PyRef atexit(PyImport_ImportModule("atexit"));
  if (!atexit) return nullptr;
  quarlet::py::PyRef close(PyObject_GetAttrString(module.get(), "_close_file_objects"));
  if (!close) return nullptr;
  quarlet::py::PyRef registered(PyObject_CallMethod(atexit.get(), "register", "O", close.get()));
  if (!registered) return nullptr;
  return module.release();
}

}  // namespace

PyMODINIT_FUNC PyInit__quarlet(void) {
  const int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (interpreter < 0) return nullptr;
  if (g_module != nullptr) {
    if (interpreter != g_interpreter) {
      PyErr_SetString(PyExc_ImportError,
                      "module quarlet does not support loading in sub-interpreters");
      return nullptr;
    }
    Py_INCREF(g_module);
    return g_module;
  }
  PyObject* module = create_module();
  if (module == nullptr) return nullptr;
  Py_INCREF(module);  // kept for the life of the interpreter
  g_module = module;
  g_interpreter = interpreter;
  static bool at_exit_registered = false;
  if (!at_exit_registered) at_exit_registered = Py_AtExit(forget_module) == 0;
  return module;
}
