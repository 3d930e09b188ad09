// Conversions between core values and Python objects: column values,
// names, and core errors turned into Python exceptions.
#pragma once

#include <string_view>

#include "error/error.hpp"
#include "python/capi.hpp"
#include "record/value.hpp"

namespace quarlet::py {

// Owns one strong reference (or none). Releases it when destroyed.
class PyRef {
 public:
  PyRef() = default;
  explicit PyRef(PyObject* obj) : obj_(obj) {}  // takes over a new reference
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  PyRef(PyRef&& other) noexcept : obj_(other.release()) {}
  PyRef& operator=(PyRef&& other) noexcept {
    reset(other.release());
    return *this;
  }
  ~PyRef() { Py_XDECREF(obj_); }

  PyObject* get() const { return obj_; }
  explicit operator bool() const { return obj_ != nullptr; }
  // Gives up ownership: the caller now owns the reference.
  PyObject* release() {
    PyObject* o = obj_;
    obj_ = nullptr;
    return o;
  }
  void reset(PyObject* obj = nullptr) {
    PyObject* old = obj_;
    obj_ = obj;
    Py_XDECREF(old);
  }

 private:
  PyObject* obj_ = nullptr;
};

// A new str from bytes taken as UTF-8, every invalid sequence replaced by
// U+FFFD exactly as the core's utf8_lossy does. Null only when the
// interpreter cannot allocate (exception set).
PyObject* str_from_utf8(std::string_view bytes);

// Sets exception `type` whose single argument is `message` (UTF-8, taken
// lossily). Returns null so callers can `return set_error(...)`.
PyObject* set_error(PyObject* type, std::string_view message);

// The Python object for a decoded column value (new reference; null with
// an exception set only when the interpreter fails to allocate).
PyObject* value_to_python(const ColumnValue& value);

// Sets the Python exception for a core error: TableNotFound -> ValueError
// with the error's message; Io -> OSError with the operating-system text
// alone; every other kind -> OSError with the error's message. Returns null.
PyObject* to_python_error(const EseError& error);

}  // namespace quarlet::py
