// Column values, names and core errors as Python objects.
#include "python/convert.hpp"

#include <string>

namespace quarlet::py {

PyObject* str_from_utf8(std::string_view bytes) {
  PyObject* s = PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), nullptr);
  if (s != nullptr || !PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) return s;
  // Rare: invalid UTF-8. Repair it with the core's rule so names read the
  // same here as in exported JSON.
  PyErr_Clear();
  const std::string repaired = utf8_lossy(bytes);
  return PyUnicode_DecodeUTF8(repaired.data(), static_cast<Py_ssize_t>(repaired.size()), nullptr);
}

PyObject* set_error(PyObject* type, std::string_view message) {
  PyRef text(str_from_utf8(message));
  if (text) PyErr_SetObject(type, text.get());
  return nullptr;
}

namespace {

PyObject* bytes_object(const std::vector<uint8_t>& bytes) {
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()),
                                   static_cast<Py_ssize_t>(bytes.size()));
}

// The alternative `T` of a value whose kind was checked to be T.
template <class T>
const T& held(const ColumnValue& value) {
  return *std::get_if<T>(&value);
}

PyObject* new_bool(bool b) {
  PyObject* o = b ? Py_True : Py_False;
  Py_INCREF(o);
  return o;
}

}  // namespace

PyObject* value_to_python(const ColumnValue& value) {
  switch (kind_of(value)) {
    case ValueKind::Null:
      Py_INCREF(Py_None);
      return Py_None;
    case ValueKind::Boolean:
      return new_bool(held<bool>(value));
    case ValueKind::I8:
      return PyLong_FromLong(held<int8_t>(value));
    case ValueKind::U8:
      return PyLong_FromLong(held<uint8_t>(value));
    case ValueKind::I16:
      return PyLong_FromLong(held<int16_t>(value));
    case ValueKind::U16:
      return PyLong_FromLong(held<uint16_t>(value));
    case ValueKind::I32:
      return PyLong_FromLong(held<int32_t>(value));
    case ValueKind::U32:
      return PyLong_FromUnsignedLong(held<uint32_t>(value));
    case ValueKind::I64:
      return PyLong_FromLongLong(held<int64_t>(value));
    case ValueKind::U64:
      return PyLong_FromUnsignedLongLong(held<uint64_t>(value));
    case ValueKind::F32:
      return PyFloat_FromDouble(static_cast<double>(held<float>(value)));
    case ValueKind::F64:
      return PyFloat_FromDouble(held<double>(value));
    case ValueKind::DateTime:
      return PyLong_FromUnsignedLongLong(held<DateTimeValue>(value).raw);
    case ValueKind::Currency:
      return PyLong_FromUnsignedLongLong(held<CurrencyValue>(value).raw);
    case ValueKind::Guid: {
      char text[kGuidTextSize];
      format_guid_into(held<GuidValue>(value).bytes.data(), text);
      return PyUnicode_FromStringAndSize(text, kGuidTextSize);
    }
    case ValueKind::Binary:
      return bytes_object(held<BinaryValue>(value).bytes);
    case ValueKind::Text:
      return str_from_utf8(held<TextValue>(value).utf8);
    case ValueKind::MultiValue:
      return bytes_object(held<MultiValueValue>(value).bytes);
    case ValueKind::LongBinary:
      return bytes_object(held<LongBinaryValue>(value).bytes);
  }
  Py_INCREF(Py_None);
  return Py_None;
}

bool RecordDicts::init(const ColumnPlan& plan) {
  columns_.clear();
  columns_.reserve(plan.items.size());
  for (const ColumnPlan::Item& item : plan.items) columns_.push_back(item.column);
  keys_.clear();
  keys_.reserve(columns_.size());
  template_.reset(PyDict_New());
  if (!template_) return false;
  for (const ColumnDef* column : columns_) {
    keys_.emplace_back(str_from_utf8(column->name));
    if (!keys_.back()) return false;
  }
  // The template's keys in the plan's output order: filling a copy in field
  // order keeps that order.
  for (size_t k = 0; k < keys_.size(); ++k) {
    if (PyDict_SetItem(template_.get(), keys_[plan.output_index(k)].get(), Py_None) != 0) {
      return false;
    }
  }
  return true;
}

PyObject* record_read_error(const EseError& error) {
  return set_error(PyExc_OSError, "Error reading record: " + message(error));
}

PyObject* to_python_error(const EseError& error) {
  switch (error.kind()) {
    case ErrorKind::TableNotFound:
    case ErrorKind::ColumnNotFound:
      return set_error(PyExc_ValueError, message(error));
    case ErrorKind::Io:
      return set_error(PyExc_OSError, error.text());
    default:
      return set_error(PyExc_OSError, message(error));
  }
}

namespace {

// The UTF-8 of a str (lone surrogates escaped), or "" when it has none.
std::string text_of(PyObject* str) {
  PyRef bytes(PyUnicode_AsEncodedString(str, "utf-8", "backslashreplace"));
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (!bytes || PyBytes_AsStringAndSize(bytes.get(), &data, &size) != 0) {
    PyErr_Clear();
    return {};
  }
  return std::string(data, static_cast<size_t>(size));
}

// The __name__ of a type, or "?" when it has none.
std::string type_name(PyObject* type) {
  PyRef name(PyObject_GetAttrString(type, "__name__"));
  std::string out = name && PyUnicode_Check(name.get()) ? text_of(name.get()) : std::string();
  PyErr_Clear();
  return out.empty() ? "?" : out;
}

}  // namespace

std::string type_name_of(PyObject* obj) {
  PyRef type(reinterpret_cast<PyObject*>(Py_TYPE(obj)));
  Py_INCREF(type.get());
  return type_name(type.get());
}

std::string take_exception_text() {
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (type == nullptr) return "unknown error";
  PyErr_NormalizeException(&type, &value, &traceback);
  PyRef owned_type(type), owned_value(value), owned_traceback(traceback);
  std::string out = type != nullptr ? type_name(type) : "?";
  PyRef str(value != nullptr ? PyObject_Str(value) : nullptr);
  const std::string text = str ? text_of(str.get()) : std::string();
  PyErr_Clear();
  if (!text.empty()) out += ": " + text;
  return out;
}

}  // namespace quarlet::py
