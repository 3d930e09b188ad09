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
