// The CPython interface the extension is built on: the limited API of
// Python 3.9, so that one build serves every later interpreter.
#pragma once

#ifndef Py_LIMITED_API
#define Py_LIMITED_API 0x03090000
#endif
#ifndef PY_SSIZE_T_CLEAN
#define PY_SSIZE_T_CLEAN
#endif
#include <Python.h>

// Function pointers of other signatures, as the method and slot tables
// store them. Going through void(*)(void) keeps the cast well defined for
// the compiler's function-type checks.
template <class F>
PyCFunction as_cfunction(F fn) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(fn));
}
template <class F>
void* as_slot(F fn) {
  return reinterpret_cast<void*>(fn);
}

#include <cstdint>

// A heap type made from `type_description` on first use in each interpreter
// and kept for the interpreter's life (the result is borrowed; null with an
// exception set when the type cannot be made).
inline PyObject* type_for_interpreter(PyType_Spec* type_description, PyObject** cache,
                                      int64_t* interpreter) {
  const int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (*cache == nullptr || *interpreter != current) {
    *cache = PyType_FromSpec(type_description);
    *interpreter = *cache != nullptr ? current : -1;
  }
  return *cache;
}

// The heap type that `type_description` describes, in the running
// interpreter (see type_for_interpreter), one cache per description.
template <PyType_Spec& type_description>
PyObject* type_in_interpreter() {
  static PyObject* type = nullptr;
  static int64_t interpreter = -1;
  return type_for_interpreter(&type_description, &type, &interpreter);
}

// tp_iter of an iterator type: the iterator itself.
inline PyObject* iter_self(PyObject* self) {
  Py_INCREF(self);
  return self;
}

// The end of every tp_dealloc of a heap type: frees the object and drops its
// reference to the type.
inline void free_heap_object(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(type);
}

// tp_dealloc of an object whose `state` points into the database of its
// `owner` (a strong reference): the state goes first, then the owner.
template <class Object>
void dealloc_state_then_owner(PyObject* self) {
  auto* obj = reinterpret_cast<Object*>(self);
  delete obj->state;
  obj->state = nullptr;
  Py_CLEAR(obj->owner);
  free_heap_object(self);
}
