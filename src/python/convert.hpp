// Conversions between core values and Python objects: column values,
// names, and core errors turned into Python exceptions.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "error/error.hpp"
#include "python/capi.hpp"
#include "record/parser.hpp"
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

// Builds the dicts of one table's records. The key strs are made once, and
// a template dict holding every key (in field order, values None) is copied
// for each record and then filled in place: the copy has its final size at
// once, so no record's dict grows and rehashes key by key. The result equals
// inserting the fields one by one into an empty dict.
class RecordDicts {
 public:
  // The columns of `plan` are the fields every record is expected to carry,
  // in order; the dicts give them in the plan's output order. False with an
  // exception set when the interpreter fails.
  bool init(const ColumnPlan& plan);
  // The dict of `fields` (each with a `column` member), the value of each
  // made by `convert(field)` (new reference, or null with an exception set).
  // New reference, or null with an exception set. Fields that differ from
  // `columns` are built key by key.
  template <class Field, class Convert>
  PyObject* make(const std::vector<Field>& fields, Convert convert) const;
  // The dict of a raw record, values converted by value_to_python.
  PyObject* make(const Record& record) const {
    return make(record.fields,
                [](const RecordField& field) { return value_to_python(field.value); });
  }

 private:
  std::vector<const ColumnDef*> columns_;
  std::vector<PyRef> keys_;  // str of each column name, by position
  PyRef template_;           // every key -> None, in field order
};

template <class Field, class Convert>
PyObject* RecordDicts::make(const std::vector<Field>& fields, Convert convert) const {
  const size_t n = fields.size();
  bool fits = n == columns_.size();
  for (size_t i = 0; fits && i < n; ++i) fits = fields[i].column == columns_[i];
  if (fits) {
    // Same keys in the same order: setting each one over the template's
    // None keeps the order and sizes of a dict filled key by key.
    PyRef dict(PyDict_Copy(template_.get()));
    if (!dict) return nullptr;
    for (size_t i = 0; i < n; ++i) {
      PyRef value(convert(fields[i]));
      if (!value || PyDict_SetItem(dict.get(), keys_[i].get(), value.get()) != 0) return nullptr;
    }
    return dict.release();
  }
  PyRef dict(PyDict_New());
  if (!dict) return nullptr;
  for (size_t i = 0; i < n; ++i) {
    const Field& field = fields[i];
    PyRef own_key;
    PyObject* key;
    if (i < columns_.size() && columns_[i] == field.column) {
      key = keys_[i].get();
    } else {
      own_key.reset(str_from_utf8(field.column->name));
      if (!own_key) return nullptr;
      key = own_key.get();
    }
    PyRef value(convert(field));
    if (!value || PyDict_SetItem(dict.get(), key, value.get()) != 0) return nullptr;
  }
  return dict.release();
}

// Sets OSError "Error reading record: MESSAGE" for a table pass that failed
// after it started. Returns null.
PyObject* record_read_error(const EseError& error);

// Sets the Python exception for a core error: TableNotFound and
// ColumnNotFound -> ValueError with the error's message; Io -> OSError with
// the operating-system text alone; every other kind -> OSError with the
// error's message. Returns null.
PyObject* to_python_error(const EseError& error);

// The name of the type of `obj` ("str", "NoneType", ...). Needs the
// interpreter lock; leaves no exception set.
std::string type_name_of(PyObject* obj);

// "Type: text" of the pending Python exception, which is cleared (also when
// it cannot be described). Needs the interpreter lock.
std::string take_exception_text();

}  // namespace quarlet::py
