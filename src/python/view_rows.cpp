// A view's row program: output rows made straight from decoded records
// (see view_rows.hpp).
#include "python/view_rows.hpp"

#include <cstdint>
#include <string>

#include "python/iter_table.hpp"

namespace quarlet::py {

namespace {

constexpr uint64_t kMaxTicks = 2650467743999999999ULL;  // 9999-12-31 23:59:59.9999999

// An int's value when it is one from 1 to 2**63 - 1, else 0 or below (a
// bool, a value out of range, anything else).
int64_t positive(PyObject* value) {
  if (!PyLong_Check(value) || PyBool_Check(value)) return 0;
  int overflow = 0;
  const long long number = PyLong_AsLongLongAndOverflow(value, &overflow);
  if (overflow != 0 || (number == -1 && PyErr_Occurred())) {
    PyErr_Clear();
    return 0;
  }
  return number;
}

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

bool ViewProgram::take_output(PyObject* item, Output* out) {
  if (!PyTuple_Check(item) || PyTuple_Size(item) != 4 ||
      !PyUnicode_Check(PyTuple_GetItem(item, 0))) {
    PyErr_SetString(PyExc_TypeError, "each output must be (name, source, op, is_lookup)");
    return false;
  }
  if (!column_index(PyTuple_GetItem(item, 1), columns_, &out->source)) return false;
  PyObject* op = PyTuple_GetItem(item, 2);
  PyObject* how = PyTuple_GetItem(item, 3);
  if (op == Py_None) return true;
  Py_INCREF(op);
  out->op.reset(op);
  if (PyUnicode_Check(how)) {
    auto is = [how](const char* name) { return PyUnicode_CompareWithASCIIString(how, name) == 0; };
    out->native = is("filetime")      ? Native::kFiletime
                  : is("filetime_le") ? Native::kFiletimeLe
                  : is("filetime_be") ? Native::kFiletimeBe
                  : is("text")        ? Native::kText
                  : is("texts")       ? Native::kTexts
                  : is("uint_le8")    ? Native::kUintLe8
                  : is("seconds")     ? Native::kSeconds
                  : is("sid_last_be") ? Native::kSid
                  : is("rid_last_be") ? Native::kRid
                  : is("guid_le")     ? Native::kGuid
                  : is("dn")          ? Native::kDn
                  : is("links")       ? Native::kLinks
                                      : Native::kNone;
    if (out->native == Native::kNone) {
      PyErr_SetString(PyExc_ValueError, "unknown conversion in a view's outputs");
      return false;
    }
    out->direct = out->native == Native::kSeconds || out->native == Native::kFiletime ||
                  out->native == Native::kSid || out->native == Native::kRid ||
                  out->native == Native::kGuid;
    if (out->native == Native::kDn && !take_names(op, out)) return false;
    if (out->native == Native::kLinks && !take_links(op, out)) return false;
    return true;
  }
  const int lookup = PyObject_IsTrue(how);
  if (lookup < 0) return false;
  out->lookup = lookup != 0;
  return true;
}

bool ViewProgram::init(PyObject* outputs, PyObject* table, PyObject* key_prefix,
                       PyObject* key_column, PyObject* batch_size, PyObject* where,
                       const ColumnPlan& plan) {
  columns_.clear();
  for (const ColumnPlan::Item& item : plan.items) columns_.push_back(item.column);
  provenance_ = key_prefix != Py_None;
  if (!PyUnicode_Check(table) || (provenance_ && !PyUnicode_Check(key_prefix))) {
    PyErr_SetString(PyExc_TypeError, "table must be str and key_prefix str or None");
    return false;
  }
  table_.reset(table);
  Py_INCREF(table);
  if (batch_size != nullptr) {
    const size_t size = PyLong_AsSize_t(batch_size);
    if (size == static_cast<size_t>(-1) && PyErr_Occurred()) return false;
    batch_size_ = size;
  }
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
  PyRef datetime_module(PyImport_ImportModule("datetime"));
  if (!datetime_module) return false;
  PyRef timezone(PyObject_GetAttrString(datetime_module.get(), "timezone"));
  if (!timezone) return false;
  utc_.reset(PyObject_GetAttrString(timezone.get(), "utc"));
  if (!utc_) return false;
  datetime_api_ = static_cast<const DateTimeApi*>(PyCapsule_Import("datetime.datetime_CAPI", 0));
  if (datetime_api_ == nullptr) PyErr_Clear();  // datetimes made through calls instead
  filtered_ = where != nullptr && where != Py_None;
  if (filtered_ && !take_output(where, &where_)) return false;
  const Py_ssize_t n = PySequence_Size(items.get());
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyRef item(PySequence_GetItem(items.get(), i));
    if (!item) return false;
    Output out;
    if (!take_output(item.get(), &out)) return false;
    outputs_.push_back(std::move(out));
    PyObject* name = PyTuple_GetItem(item.get(), 0);
    Py_INCREF(name);
    keys_.emplace_back(name);
  }
  if (provenance_) {
    keys_.emplace_back(PyUnicode_FromString("source_table"));
    keys_.emplace_back(PyUnicode_FromString("source_key"));
  }
  for (const PyRef& key : keys_) {
    if (!key || PyDict_SetItem(template_.get(), key.get(), Py_None) != 0) return false;
  }
  return true;
}

PyObject* ViewProgram::filetime(Native kind, PyObject* value,
                                 PyObject* datetime_class) const {
  if (kind == Native::kSeconds || kind == Native::kFiletime) {
    return number_time(kind, positive(value), datetime_class);
  }
  if (!PyBytes_Check(value) || PyBytes_Size(value) != 8) Py_RETURN_NONE;
  const auto* b = reinterpret_cast<const unsigned char*>(PyBytes_AsString(value));
  if (b == nullptr) return nullptr;
  uint64_t ticks = 0;
  for (int i = 0; i < 8; ++i) {
    const int at = kind == Native::kFiletimeLe ? 7 - i : i;
    ticks = ticks << 8 | b[at];
  }
  if (ticks <= 1) Py_RETURN_NONE;
  return datetime_of(ticks, datetime_class);
}

PyObject* ViewProgram::number_time(Native kind, int64_t number, PyObject* datetime_class) const {
  if (number <= 0) Py_RETURN_NONE;
  if (kind == Native::kFiletime) return datetime_of(static_cast<uint64_t>(number), datetime_class);
  if (static_cast<uint64_t>(number) > kMaxTicks / 10000000ULL) Py_RETURN_NONE;
  return datetime_of(static_cast<uint64_t>(number) * 10000000ULL, datetime_class);
}

PyObject* ViewProgram::datetime_of(uint64_t ticks, PyObject* datetime_class) const {
  if (ticks > kMaxTicks) Py_RETURN_NONE;
  const uint64_t micros = ticks / 10;
  const int64_t days = static_cast<int64_t>(micros / 86400000000ULL);
  const uint64_t in_day = micros % 86400000000ULL;
  // Civil date from days since 1601-01-01 (the proleptic Gregorian calendar,
  // counted in 400-year eras from 0000-03-01).
  const int64_t z = days + 584694;  // days since 0000-03-01 (1601-01-01 is day 584694)
  const int64_t era = z / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  const int day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  const int month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  const int year = static_cast<int>(yoe + era * 400 + (month <= 2 ? 1 : 0));
  const int second_of_day = static_cast<int>(in_day / 1000000);
  const int micro = static_cast<int>(in_day % 1000000);
  if (datetime_api_ != nullptr &&
      datetime_class == reinterpret_cast<PyObject*>(datetime_api_->datetime_type)) {
    return datetime_api_->datetime_from_fields(year, month, day, second_of_day / 3600,
                                               second_of_day / 60 % 60, second_of_day % 60,
                                               micro, utc_.get(), datetime_api_->datetime_type);
  }
  // datetime takes its pickled state (10 bytes: year big-endian, month,
  // day, hour, minute, second, microseconds big-endian in 3 bytes) without
  // parsing seven integers: a third of the cost of a view with four dates.
  const char state[10] = {static_cast<char>(year >> 8), static_cast<char>(year & 0xFF),
                          static_cast<char>(month), static_cast<char>(day),
                          static_cast<char>(second_of_day / 3600),
                          static_cast<char>(second_of_day / 60 % 60),
                          static_cast<char>(second_of_day % 60), static_cast<char>(micro >> 16),
                          static_cast<char>(micro >> 8 & 0xFF), static_cast<char>(micro & 0xFF)};
  PyRef bytes(PyBytes_FromStringAndSize(state, sizeof state));
  if (!bytes) return nullptr;
  PyObject* made = PyObject_CallFunctionObjArgs(datetime_class, bytes.get(), utc_.get(), nullptr);
  if (made != nullptr || !PyErr_ExceptionMatches(PyExc_TypeError)) return made;
  PyErr_Clear();  // an interpreter whose datetime takes no state: the fields
  return PyObject_CallFunction(datetime_class, "iiiiiiiO", year, month, day,
                               second_of_day / 3600, second_of_day / 60 % 60, second_of_day % 60,
                               micro, utc_.get());
}

PyObject* ViewProgram::native(const Output& out, PyObject* value,
                               PyObject* datetime_class) const {
  if (value == Py_None && out.native != Native::kLinks) Py_RETURN_NONE;
  switch (out.native) {
    case Native::kLinks:
    case Native::kDn: {
      PyObject* made = out.native == Native::kDn ? dn(*out.names, value)
                                                 : targets(*out.links, value);
      if (made != nullptr) return made;
      if (PyErr_Occurred()) {
        if (PyErr_ExceptionMatches(PyExc_MemoryError)) return nullptr;
        PyErr_Clear();  // the callable meets the same value and says what it makes
      }
      break;
    }
    case Native::kSeconds:
      if (!PyLong_Check(value)) break;  // a multi-value goes to the callable
      return filetime(out.native, value, datetime_class);
    case Native::kFiletime:
    case Native::kFiletimeLe:
    case Native::kFiletimeBe:
      return filetime(out.native, value, datetime_class);
    case Native::kSid:
    case Native::kRid: {
      PyObject* made = sid(out.native, value);
      if (made != nullptr || PyErr_Occurred()) return made;
      break;
    }
    case Native::kGuid: {
      PyObject* made = guid(value);
      if (made != nullptr || PyErr_Occurred()) return made;
      break;
    }
    case Native::kText:
      if (PyUnicode_Check(value)) {
        const Py_ssize_t n = PyUnicode_GetLength(value);
        if (n < 0) return nullptr;
        if (n == 0 || PyUnicode_ReadChar(value, n - 1) != 0) {
          Py_INCREF(value);
          return value;
        }
      }
      break;
    case Native::kTexts: {
      auto plain = [](PyObject* text) {
        if (!PyUnicode_Check(text)) return false;
        const Py_ssize_t n = PyUnicode_GetLength(text);
        return n == 0 || (n > 0 && PyUnicode_ReadChar(text, n - 1) != 0);
      };
      if (PyList_CheckExact(value)) {
        const Py_ssize_t n = PyList_Size(value);
        bool all = true;
        for (Py_ssize_t i = 0; all && i < n; ++i) all = plain(PyList_GetItem(value, i));
        if (all) return PyList_GetSlice(value, 0, n);  // a new list: rows never share one
      } else if (plain(value)) {
        PyObject* list = PyList_New(1);
        if (list == nullptr) return nullptr;
        Py_INCREF(value);
        PyList_SetItem(list, 0, value);  // steals `value`
        return list;
      }
      if (PyErr_Occurred()) return nullptr;
      break;
    }
    case Native::kUintLe8:
      if (PyBytes_Check(value) && PyBytes_Size(value) == 8) {
        const auto* b = reinterpret_cast<const unsigned char*>(PyBytes_AsString(value));
        if (b == nullptr) return nullptr;
        uint64_t number = 0;
        for (int i = 7; i >= 0; --i) number = number << 8 | b[i];
        return PyLong_FromUnsignedLongLong(number);
      }
      break;
    case Native::kNone:
      break;
  }
  Py_INCREF(value);
  return apply(out, value);
}

PyObject* ViewProgram::apply(const Output& out, PyObject* value) const {
  PyRef owned(value);
  if (!out.op) return owned.release();
  PyObject* result;
  if (out.lookup) {
    // An exact hit costs one dict probe; a miss goes through __missing__. A
    // multi-value (a list) is looked up by its tuple, and a miss given to
    // the lookup's call (which keeps it by that tuple); so is a value that
    // cannot be a key. A list found is copied: rows never share one.
    PyObject* key = value;
    if (PyList_CheckExact(value)) {
      // The record's column value: its tuple is made once a row.
      PyRef* tuple = out.source >= 0 && values_[static_cast<size_t>(out.source)].get() == value
                         ? &tuples_[static_cast<size_t>(out.source)]
                         : nullptr;
      PyRef made;
      if (tuple == nullptr) tuple = &made;
      if (!*tuple) tuple->reset(PyList_AsTuple(value));
      if (!*tuple) return nullptr;
      key = tuple->get();
    }
    PyObject* last = out.last_key.get();
    if (last != nullptr && (last == key || (Py_TYPE(last) == Py_TYPE(key) &&
                                            PyObject_RichCompareBool(last, key, Py_EQ) == 1))) {
      result = out.last_found.get();
    } else {
      if (PyErr_Occurred()) PyErr_Clear();  // a comparison that failed: probed instead
      result = PyDict_Check(out.op.get()) ? PyDict_GetItemWithError(out.op.get(), key) : nullptr;
      if (result != nullptr) {
        Py_INCREF(key);
        out.last_key.reset(key);
        Py_INCREF(result);
        out.last_found.reset(result);
      }
    }
    if (result != nullptr) {
      if (PyList_CheckExact(result)) return PyList_GetSlice(result, 0, PyList_Size(result));
      Py_INCREF(result);
      return result;
    }
    if (!PyErr_Occurred() && key == value) {
      result = PyObject_GetItem(out.op.get(), value);
      if (result != nullptr && PyList_CheckExact(result)) {
        PyRef kept(result);
        result = PyList_GetSlice(kept.get(), 0, PyList_Size(kept.get()));
      }
    } else if (!PyErr_Occurred() || PyErr_ExceptionMatches(PyExc_TypeError)) {
      PyErr_Clear();
      result = PyObject_CallFunctionObjArgs(out.op.get(), value, nullptr);
    } else {
      result = nullptr;
    }
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

const DecodedField* ViewProgram::field_of(int source) const {
  const std::vector<DecodedField>& fields = *fields_;
  if (fits_) return &fields[static_cast<size_t>(source)];
  const DecodedField* field = nullptr;
  for (const DecodedField& f : fields) {
    if (f.column == columns_[static_cast<size_t>(source)]) field = &f;
  }
  return field;
}

PyObject* ViewProgram::value_of(int source, PyObject* datetime_class) const {
  PyRef& slot = values_[static_cast<size_t>(source)];
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
}

namespace {

// The number a single integer field holds, as the decoded view's int has
// it: 1 with it in `out`, 2 for one above 2**63 - 1, 0 for a field of
// another kind.
int whole_number(const ColumnValue& value, int64_t* out) {
  if (const auto* v = std::get_if<int64_t>(&value)) {
    *out = *v;
  } else if (const auto* c = std::get_if<CurrencyValue>(&value)) {
    if (c->raw > static_cast<uint64_t>(INT64_MAX)) return 2;
    *out = static_cast<int64_t>(c->raw);
  } else if (const auto* u = std::get_if<uint64_t>(&value)) {
    if (*u > static_cast<uint64_t>(INT64_MAX)) return 2;
    *out = static_cast<int64_t>(*u);
  } else if (const auto* i = std::get_if<int32_t>(&value)) {
    *out = *i;
  } else if (const auto* w = std::get_if<uint32_t>(&value)) {
    *out = *w;
  } else {
    return 0;
  }
  return 1;
}

// The bytes a single binary field holds, or false.
bool held_bytes(const ColumnValue& value, const unsigned char** data, Py_ssize_t* size) {
  const std::vector<uint8_t>* bytes = nullptr;
  if (const auto* b = std::get_if<BinaryValue>(&value)) bytes = &b->bytes;
  if (const auto* l = std::get_if<LongBinaryValue>(&value)) bytes = &l->bytes;
  if (bytes == nullptr) return false;
  *data = bytes->data();
  *size = static_cast<Py_ssize_t>(bytes->size());
  return true;
}

}  // namespace

PyObject* ViewProgram::direct(const Output& out, PyObject* datetime_class) const {
  const DecodedField* field = field_of(out.source);
  if (field == nullptr || std::holds_alternative<std::monostate>(field->value)) {
    if (field != nullptr && field->is_list) return nullptr;
    Py_RETURN_NONE;  // what every native conversion but "links" makes of None
  }
  if (field->is_list) return nullptr;
  switch (out.native) {
    case Native::kSeconds:
    case Native::kFiletime: {
      int64_t number = 0;
      const int kind = whole_number(field->value, &number);
      if (kind == 0) return nullptr;
      return number_time(out.native, kind == 1 ? number : 0, datetime_class);
    }
    case Native::kSid:
    case Native::kRid:
    case Native::kGuid: {
      const unsigned char* data = nullptr;
      Py_ssize_t size = 0;
      if (!held_bytes(field->value, &data, &size)) return nullptr;
      return out.native == Native::kGuid ? guid(data, size) : sid(out.native, data, size);
    }
    default:
      return nullptr;
  }
}

PyObject* ViewProgram::output(const Output& out, PyObject* datetime_class) const {
  if (out.source < 0) {
    Py_INCREF(Py_None);
    return Py_None;
  }
  // Times, SIDs and GUIDs straight from the field when no output has made
  // its Python value: one object a value instead of two.
  if (out.direct && !values_[static_cast<size_t>(out.source)]) {
    PyObject* made = direct(out, datetime_class);
    if (made != nullptr || PyErr_Occurred()) return made;
  }
  PyObject* value = value_of(out.source, datetime_class);
  if (value == nullptr) return nullptr;
  if (out.native != Native::kNone) return native(out, value, datetime_class);
  Py_INCREF(value);
  return apply(out, value);
}

template <class Put>
int ViewProgram::row(const std::vector<DecodedField>& fields, PyObject* datetime_class,
                     Py_ssize_t position, Put put) const {
  // The plan's column i is field i unless the record's fields differ.
  fields_ = &fields;
  fits_ = fields.size() == columns_.size();
  for (size_t i = 0; fits_ && i < fields.size(); ++i) fits_ = fields[i].column == columns_[i];
  values_.clear();
  values_.resize(columns_.size());
  tuples_.clear();
  tuples_.resize(columns_.size());
  if (filtered_) {
    PyRef test(output(where_, datetime_class));
    if (!test) return -1;
    const int keep = PyObject_IsTrue(test.get());
    if (keep <= 0) return keep;
  }
  // The outputs, then source_table and source_key.
  const size_t n = outputs_.size();
  for (size_t i = 0; i < n; ++i) {
    if (!put(i, output(outputs_[i], datetime_class))) return -1;
  }
  if (!provenance_) return 1;
  Py_INCREF(table_.get());
  if (!put(n, table_.get())) return -1;
  if (key_source_ >= 0) {
    PyObject* value = value_of(key_source_, datetime_class);
    if (value == nullptr) return -1;
    PyRef text(PyObject_Str(value));
    return text && put(n + 1, PyUnicode_Concat(key_prefix_.get(), text.get())) ? 1 : -1;
  }
  PyRef number(PyLong_FromSsize_t(position));
  return number && put(n + 1, PyUnicode_Format(key_prefix_.get(), number.get())) ? 1 : -1;
}

PyObject* ViewProgram::make(const std::vector<DecodedField>& fields, PyObject* datetime_class,
                            Py_ssize_t position) const {
  // A dict copied from the template (every key, in order), filled in place.
  // A record `where` rejects costs no dict.
  PyRef dict;
  auto put = [&](size_t i, PyObject* value) {
    PyRef owned(value);
    if (!owned) return false;
    if (!dict) dict.reset(PyDict_Copy(template_.get()));
    // The template's value is None already.
    return dict && (value == Py_None || PyDict_SetItem(dict.get(), keys_[i].get(), value) == 0);
  };
  const int made = row(fields, datetime_class, position, put);
  if (made <= 0) return nullptr;
  if (!dict) dict.reset(PyDict_Copy(template_.get()));  // a view of no outputs
  return dict.release();
}

bool ViewProgram::begin_batch() {
  batch_.reset(PyList_New(static_cast<Py_ssize_t>(keys_.size())));
  if (!batch_) return false;
  for (size_t i = 0; i < keys_.size(); ++i) {
    PyObject* column = PyList_New(0);
    if (column == nullptr) return false;
    PyList_SetItem(batch_.get(), static_cast<Py_ssize_t>(i), column);  // steals `column`
  }
  return true;
}

int ViewProgram::append(const std::vector<DecodedField>& fields, PyObject* datetime_class,
                        Py_ssize_t position) {
  PyObject* batch = batch_.get();
  auto put = [batch](size_t i, PyObject* value) {
    PyRef owned(value);
    return owned && PyList_Append(PyList_GetItem(batch, static_cast<Py_ssize_t>(i)), value) == 0;
  };
  return row(fields, datetime_class, position, put);
}

PyObject* ViewProgram::take_batch() { return batch_.release(); }

}  // namespace quarlet::py
