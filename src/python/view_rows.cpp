// A view's row program: output rows made straight from decoded records
// (see view_rows.hpp).
#include "python/view_rows.hpp"

#include <string>

#include "python/iter_table.hpp"

namespace quarlet::py {

namespace {

// The index of the column named `name` (a str) among `columns`, or -1.
// False with an exception set when `name` is not a str.
bool column_index(PyObject* name, const std::vector<const ColumnDef*>& columns, int* index) {
  *index = -1;
  if (name == Py_None) return true;
  PyRef bytes(PyUnicode_AsUTF8String(name));
  if (!bytes) return false;
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(bytes.get(), &data, &size) != 0) return false;
  const std::string_view wanted(data, static_cast<size_t>(size));
  for (size_t i = 0; i < columns.size(); ++i) {
    if (std::string_view(columns[i]->name) == wanted) {
      *index = static_cast<int>(i);
      return true;
    }
  }
  set_error(PyExc_ValueError, "Column not read by the view: " + std::string(wanted));
  return false;
}

}  // namespace

bool ViewProgram::init(PyObject* outputs, PyObject* table, PyObject* key_prefix,
                       PyObject* key_column, const ColumnPlan& plan) {
  columns_.clear();
  for (const ColumnPlan::Item& item : plan.items) columns_.push_back(item.column);
  if (!PyUnicode_Check(table) || !PyUnicode_Check(key_prefix)) {
    PyErr_SetString(PyExc_TypeError, "table and key_prefix must be str");
    return false;
  }
  table_.reset(table);
  Py_INCREF(table);
  key_prefix_.reset(key_prefix);
  Py_INCREF(key_prefix);
  if (key_column != Py_None) {
    if (!PyUnicode_Check(key_column)) {
      PyErr_SetString(PyExc_TypeError, "key_column must be str or None");
      return false;
    }
    if (!column_index(key_column, columns_, &key_source_)) return false;
  }
  PyRef items(PySequence_Fast(outputs, "outputs must be a sequence"));
  if (!items) return false;
  template_.reset(PyDict_New());
  if (!template_) return false;
  const Py_ssize_t n = PySequence_Size(items.get());
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = PySequence_GetItem(items.get(), i);
    PyRef item_ref(item);
    if (item == nullptr) return false;
    if (!PyTuple_Check(item) || PyTuple_Size(item) != 4 ||
        !PyUnicode_Check(PyTuple_GetItem(item, 0))) {
      PyErr_SetString(PyExc_TypeError, "each output must be (name, source, op, is_lookup)");
      return false;
    }
    Output out;
    if (!column_index(PyTuple_GetItem(item, 1), columns_, &out.source)) return false;
    PyObject* op = PyTuple_GetItem(item, 2);
    if (op != Py_None) {
      Py_INCREF(op);
      out.op.reset(op);
      const int lookup = PyObject_IsTrue(PyTuple_GetItem(item, 3));
      if (lookup < 0) return false;
      out.lookup = lookup != 0;
    }
    outputs_.push_back(std::move(out));
    PyObject* name = PyTuple_GetItem(item, 0);
    Py_INCREF(name);
    keys_.emplace_back(name);
  }
  keys_.emplace_back(PyUnicode_FromString("source_table"));
  keys_.emplace_back(PyUnicode_FromString("source_key"));
  for (const PyRef& key : keys_) {
    if (!key || PyDict_SetItem(template_.get(), key.get(), Py_None) != 0) return false;
  }
  return true;
}

PyObject* ViewProgram::apply(const Output& out, PyObject* value) const {
  PyRef owned(value);
  if (!out.op) return owned.release();
  PyObject* result;
  if (out.lookup) {
    // An exact hit costs one dict probe; a miss goes through __missing__.
    result = PyDict_Check(out.op.get()) ? PyDict_GetItemWithError(out.op.get(), value) : nullptr;
    if (result != nullptr) {
      Py_INCREF(result);
      return result;
    }
    result = PyErr_Occurred() ? nullptr : PyObject_GetItem(out.op.get(), value);
  } else {
    result = PyObject_CallFunctionObjArgs(out.op.get(), value, nullptr);
  }
  if (result == nullptr) {
    // A value the interpretation cannot take is None, as an undecodable
    // column is; running out of memory still fails the row.
    if (PyErr_ExceptionMatches(PyExc_MemoryError)) return nullptr;
    PyErr_Clear();
    Py_INCREF(Py_None);
    return Py_None;
  }
  return result;
}

PyObject* ViewProgram::make(const std::vector<DecodedField>& fields, PyObject* datetime_class,
                            Py_ssize_t position) const {
  // The plan's column i is field i unless the record's fields differ.
  bool fits = fields.size() == columns_.size();
  for (size_t i = 0; fits && i < fields.size(); ++i) fits = fields[i].column == columns_[i];
  auto field_of = [&](int source) -> const DecodedField* {
    if (source < 0) return nullptr;
    if (fits) return &fields[static_cast<size_t>(source)];
    for (const DecodedField& f : fields) {
      if (f.column == columns_[static_cast<size_t>(source)]) return &f;
    }
    return nullptr;
  };
  // Each column's value is made once per row, however many outputs read it.
  std::vector<PyRef>& values = values_;
  values.clear();
  values.resize(columns_.size());
  auto value_of = [&](int source) -> PyObject* {  // borrowed; null: failed
    PyRef& slot = values[static_cast<size_t>(source)];
    if (!slot) {
      const DecodedField* field = field_of(source);
      if (field == nullptr) {
        Py_INCREF(Py_None);
        slot.reset(Py_None);
      } else {
        slot.reset(decoded_field(*field, datetime_class));
      }
    }
    return slot.get();
  };
  PyRef row(PyDict_Copy(template_.get()));
  if (!row) return nullptr;
  for (size_t i = 0; i < outputs_.size(); ++i) {
    if (outputs_[i].source < 0) continue;  // stays None
    PyObject* value = value_of(outputs_[i].source);
    if (value == nullptr) return nullptr;
    Py_INCREF(value);
    PyRef out(apply(outputs_[i], value));
    if (!out || PyDict_SetItem(row.get(), keys_[i].get(), out.get()) != 0) return nullptr;
  }
  const size_t n = outputs_.size();
  if (PyDict_SetItem(row.get(), keys_[n].get(), table_.get()) != 0) return nullptr;
  PyRef key;
  if (key_source_ >= 0) {
    PyObject* value = value_of(key_source_);
    if (value == nullptr) return nullptr;
    PyRef text(PyObject_Str(value));
    if (!text) return nullptr;
    key.reset(PyUnicode_Concat(key_prefix_.get(), text.get()));
  } else {
    PyRef number(PyLong_FromSsize_t(position));
    if (!number) return nullptr;
    key.reset(PyUnicode_Format(key_prefix_.get(), number.get()));
  }
  if (!key || PyDict_SetItem(row.get(), keys_[n + 1].get(), key.get()) != 0) return nullptr;
  return row.release();
}

}  // namespace quarlet::py
