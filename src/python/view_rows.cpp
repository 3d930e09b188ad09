// A view's row program: output rows made straight from decoded records
// (see view_rows.hpp).
#include "python/view_rows.hpp"

#include <charconv>
#include <cstdint>
#include <cstring>
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
                       PyObject* key_column, PyObject* batch_size, const ColumnPlan& plan) {
  columns_.clear();
  for (const ColumnPlan::Item& item : plan.items) columns_.push_back(item.column);
  if (!PyUnicode_Check(table) || !PyUnicode_Check(key_prefix)) {
    PyErr_SetString(PyExc_TypeError, "table and key_prefix must be str");
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
    PyObject* how = PyTuple_GetItem(item, 3);
    if (op != Py_None) {
      Py_INCREF(op);
      out.op.reset(op);
      if (PyUnicode_Check(how)) {
        auto is = [how](const char* name) {
          return PyUnicode_CompareWithASCIIString(how, name) == 0;
        };
        out.native = is("filetime")      ? Native::kFiletime
                     : is("filetime_le") ? Native::kFiletimeLe
                     : is("filetime_be") ? Native::kFiletimeBe
                     : is("text")        ? Native::kText
                     : is("uint_le8")    ? Native::kUintLe8
                     : is("seconds")     ? Native::kSeconds
                     : is("sid_last_be") ? Native::kSid
                     : is("rid_last_be") ? Native::kRid
                     : is("guid_le")     ? Native::kGuid
                     : is("dn")          ? Native::kDn
                     : is("links")       ? Native::kLinks
                                         : Native::kNone;
        if (out.native == Native::kNone) {
          PyErr_SetString(PyExc_ValueError, "unknown conversion in a view's outputs");
          return false;
        }
        if (out.native == Native::kDn && !take_names(op, &out)) return false;
        if (out.native == Native::kLinks && !take_links(op, &out)) return false;
      } else {
        const int lookup = PyObject_IsTrue(how);
        if (lookup < 0) return false;
        out.lookup = lookup != 0;
      }
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

PyObject* ViewProgram::filetime(Native kind, PyObject* value,
                                 PyObject* datetime_class) const {
  uint64_t ticks = 0;
  constexpr uint64_t kMax = 2650467743999999999ULL;  // 9999-12-31 23:59:59.9999999
  if (kind == Native::kSeconds) {
    if (!PyLong_Check(value) || PyBool_Check(value)) Py_RETURN_NONE;
    const uint64_t seconds = PyLong_AsUnsignedLongLong(value);
    if (seconds == static_cast<uint64_t>(-1) && PyErr_Occurred()) {  // negative or too large
      PyErr_Clear();
      Py_RETURN_NONE;
    }
    if (seconds == 0 || seconds > kMax / 10000000ULL) Py_RETURN_NONE;
    ticks = seconds * 10000000ULL;
  } else if (kind == Native::kFiletime) {
    if (!PyLong_Check(value) || PyBool_Check(value)) Py_RETURN_NONE;
    ticks = PyLong_AsUnsignedLongLong(value);
    if (ticks == static_cast<uint64_t>(-1) && PyErr_Occurred()) {  // negative or too large
      PyErr_Clear();
      Py_RETURN_NONE;
    }
    if (ticks == 0) Py_RETURN_NONE;
  } else {
    if (!PyBytes_Check(value) || PyBytes_Size(value) != 8) Py_RETURN_NONE;
    const auto* b = reinterpret_cast<const unsigned char*>(PyBytes_AsString(value));
    if (b == nullptr) return nullptr;
    for (int i = 0; i < 8; ++i) {
      const int at = kind == Native::kFiletimeLe ? 7 - i : i;
      ticks = ticks << 8 | b[at];
    }
    if (ticks <= 1) Py_RETURN_NONE;
  }
  if (ticks > kMax) Py_RETURN_NONE;
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

namespace {

// Item i of an array held in bytes (read unaligned).
template <class T>
T item(PyObject* bytes, Py_ssize_t i) {
  T value;
  std::memcpy(&value, PyBytes_AsString(bytes) + i * static_cast<Py_ssize_t>(sizeof(T)),
              sizeof(T));
  return value;
}

}  // namespace

bool ViewProgram::take_names(PyObject* op, Output* out) {
  PyRef tables(PyObject_GetAttrString(op, "tables"));
  if (!tables) return false;
  bool fits = PyTuple_Check(tables.get()) && PyTuple_Size(tables.get()) == 7 &&
              PyDict_Check(PyTuple_GetItem(tables.get(), 5)) &&
              PyDict_Check(PyTuple_GetItem(tables.get(), 6));
  for (int i = 0; fits && i < 5; ++i) fits = PyBytes_Check(PyTuple_GetItem(tables.get(), i));
  if (!fits) {
    PyErr_SetString(PyExc_TypeError, "a dn conversion needs its name map's tables");
    return false;
  }
  auto names = std::make_shared<Names>();
  PyRef* slots[] = {&names->dnts, &names->parents, &names->types, &names->ends, &names->text,
                    &names->cache, &names->prefixes};
  for (int i = 0; i < 7; ++i) {
    PyObject* table = PyTuple_GetItem(tables.get(), i);
    Py_INCREF(table);
    slots[i]->reset(table);
  }
  names->count = PyBytes_Size(names->dnts.get()) / 4;
  if (PyBytes_Size(names->dnts.get()) != 4 * names->count ||
      PyBytes_Size(names->parents.get()) != 4 * names->count ||
      PyBytes_Size(names->types.get()) != 4 * names->count ||
      PyBytes_Size(names->ends.get()) != 8 * names->count) {
    PyErr_SetString(PyExc_ValueError, "a name map's arrays differ in length");
    return false;
  }
  names->separator.reset(PyUnicode_FromString(","));
  if (!names->separator) return false;
  out->names = std::move(names);
  return true;
}

PyObject* ViewProgram::dn(Names& names, PyObject* value) {
  // The DN of an object whose parent's DN is known: its RDN, a comma and
  // that DN (the root's children: the RDN alone). Anything else (a parent
  // not cached yet, a damaged chain, an unknown DNT) is the callable's.
  if (!PyLong_CheckExact(value)) return nullptr;
  int overflow = 0;
  const long long wanted = PyLong_AsLongLongAndOverflow(value, &overflow);
  if (overflow != 0 || wanted < INT32_MIN || wanted > INT32_MAX) return nullptr;
  const auto dnt = static_cast<int32_t>(wanted);
  PyObject* dnts = names.dnts.get();
  const Py_ssize_t n = names.count;
  // The first entry of the DNT: the one after the last found, or a search.
  Py_ssize_t i = names.hint + 1;
  if (i < 0 || i >= n || item<int32_t>(dnts, i) != dnt ||
      (i > 0 && item<int32_t>(dnts, i - 1) == dnt)) {
    Py_ssize_t low = 0, high = n;
    while (low < high) {
      const Py_ssize_t mid = low + (high - low) / 2;
      if (item<int32_t>(dnts, mid) < dnt) {
        low = mid + 1;
      } else {
        high = mid;
      }
    }
    i = low;
    if (i >= n || item<int32_t>(dnts, i) != dnt) return nullptr;
  }
  names.hint = i;
  const int32_t parent = item<int32_t>(names.parents.get(), i);
  if (parent == dnt) return nullptr;
  PyRef parent_key(PyLong_FromLong(parent));
  if (!parent_key) return nullptr;
  PyObject* above = PyDict_GetItemWithError(names.cache.get(), parent_key.get());  // borrowed
  if (above == nullptr || !PyUnicode_CheckExact(above)) return nullptr;
  PyRef kind(PyLong_FromLong(item<int32_t>(names.types.get(), i)));
  if (!kind) return nullptr;
  PyObject* prefix = PyDict_GetItemWithError(names.prefixes.get(), kind.get());  // borrowed
  if (prefix == nullptr || !PyUnicode_CheckExact(prefix)) return nullptr;
  const int64_t start = i > 0 ? item<int64_t>(names.ends.get(), i - 1) : 0;
  const int64_t end = item<int64_t>(names.ends.get(), i);
  if (start < 0 || end < start || end > static_cast<int64_t>(PyBytes_Size(names.text.get()))) {
    return nullptr;
  }
  PyRef rdn(PyUnicode_DecodeUTF8(PyBytes_AsString(names.text.get()) + start,
                                 static_cast<Py_ssize_t>(end - start), "surrogatepass"));
  if (!rdn) return nullptr;
  PyRef head(PyUnicode_Concat(prefix, rdn.get()));
  if (!head || PyUnicode_GetLength(above) == 0) return head.release();
  PyRef joined(PyUnicode_Concat(head.get(), names.separator.get()));
  if (!joined) return nullptr;
  return PyUnicode_Concat(joined.get(), above);
}

bool ViewProgram::take_links(PyObject* op, Output* out) {
  PyRef tables(PyObject_GetAttrString(op, "tables"));
  if (!tables) return false;
  if (PyCallable_Check(tables.get())) {
    tables.reset(PyObject_CallObject(tables.get(), nullptr));
    if (!tables) return false;
  }
  if (!PyTuple_Check(tables.get()) || PyTuple_Size(tables.get()) != 3 ||
      !PyBytes_Check(PyTuple_GetItem(tables.get(), 0)) ||
      !PyBytes_Check(PyTuple_GetItem(tables.get(), 1)) ||
      !PyDict_Check(PyTuple_GetItem(tables.get(), 2))) {
    PyErr_SetString(PyExc_TypeError, "a links conversion needs its link map's tables");
    return false;
  }
  auto links = std::make_shared<Links>();
  PyRef* slots[] = {&links->keys, &links->targets, &links->names};
  for (int i = 0; i < 3; ++i) {
    PyObject* table = PyTuple_GetItem(tables.get(), i);
    Py_INCREF(table);
    slots[i]->reset(table);
  }
  links->count = PyBytes_Size(links->keys.get()) / 4;
  if (PyBytes_Size(links->keys.get()) != 4 * links->count ||
      PyBytes_Size(links->targets.get()) != 4 * links->count) {
    PyErr_SetString(PyExc_ValueError, "a link map's arrays differ in length");
    return false;
  }
  out->links = std::move(links);
  return true;
}

PyObject* ViewProgram::targets(Links& links, PyObject* value) {
  if (!PyLong_CheckExact(value)) return nullptr;
  int overflow = 0;
  const long long wanted = PyLong_AsLongLongAndOverflow(value, &overflow);
  if (overflow != 0 || wanted < INT32_MIN || wanted > INT32_MAX) return nullptr;
  const auto key = static_cast<int32_t>(wanted);
  PyObject* keys = links.keys.get();
  const Py_ssize_t n = links.count;
  // The first link of the key: rows come in key order, so a search starts
  // where the last one began when the key is not below it.
  Py_ssize_t low = links.at <= n && (links.at == 0 || item<int32_t>(keys, links.at - 1) < key)
                       ? links.at
                       : 0;
  Py_ssize_t high = n;
  while (low < high) {
    const Py_ssize_t mid = low + (high - low) / 2;
    if (item<int32_t>(keys, mid) < key) {
      low = mid + 1;
    } else {
      high = mid;
    }
  }
  links.at = low;
  PyRef found(PyList_New(0));
  if (!found) return nullptr;
  for (Py_ssize_t i = low; i < n && item<int32_t>(keys, i) == key; ++i) {
    PyRef target(PyLong_FromLong(item<int32_t>(links.targets.get(), i)));
    if (!target) return nullptr;
    PyObject* name = PyDict_GetItemWithError(links.names.get(), target.get());  // borrowed
    PyRef made;
    if (name != nullptr) {
      Py_INCREF(name);
      made.reset(name);
    } else if (!PyErr_Occurred()) {
      made.reset(PyObject_GetItem(links.names.get(), target.get()));
    }
    if (!made || PyList_Append(found.get(), made.get()) != 0) return nullptr;
  }
  return found.release();
}

PyObject* ViewProgram::native(const Output& out, PyObject* value,
                               PyObject* datetime_class) const {
  if (value == Py_None && out.native != Native::kLinks) Py_RETURN_NONE;
  switch (out.native) {
    case Native::kLinks: {
      PyObject* made = targets(*out.links, value);
      if (made != nullptr) return made;
      if (PyErr_Occurred()) {
        if (PyErr_ExceptionMatches(PyExc_MemoryError)) return nullptr;
        PyErr_Clear();
      }
      break;
    }
    case Native::kDn: {
      PyObject* made = dn(*out.names, value);
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

PyObject* ViewProgram::sid(Native kind, PyObject* value) {
  if (!PyBytes_Check(value)) return nullptr;
  const Py_ssize_t size = PyBytes_Size(value);
  const auto* b = reinterpret_cast<const unsigned char*>(PyBytes_AsString(value));
  if (b == nullptr || size < 12) return nullptr;
  const size_t count = b[1];
  const size_t end = 8 + 4 * count;
  if (count == 0 || static_cast<size_t>(size) < end) return nullptr;
  uint64_t authority = 0;
  for (int i = 2; i < 8; ++i) authority = authority << 8 | b[i];
  if (authority >= (uint64_t{1} << 32)) return nullptr;  // written in hex: the callable's
  auto sub = [b](size_t at, bool big) {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) {
      v = v << 8 | b[at + static_cast<size_t>(big ? i : 3 - i)];
    }
    return v;
  };
  if (kind == Native::kRid) return PyLong_FromUnsignedLong(sub(end - 4, true));
  // "S-" and up to 257 numbers of at most 20 digits, each after a '-'.
  char text[2 + 257 * 21];
  char* at = text;
  char* const end_of_text = text + sizeof text;
  *at++ = 'S';
  auto put = [&](uint64_t number) {
    *at++ = '-';
    at = std::to_chars(at, end_of_text, number).ptr;
  };
  put(b[0]);
  put(authority);
  for (size_t i = 0; i < count; ++i) put(sub(8 + 4 * i, i == count - 1));
  return PyUnicode_FromStringAndSize(text, at - text);
}

PyObject* ViewProgram::guid(PyObject* value) {
  if (!PyBytes_Check(value) || PyBytes_Size(value) != 16) return nullptr;
  const auto* b = reinterpret_cast<const unsigned char*>(PyBytes_AsString(value));
  if (b == nullptr) return nullptr;
  static constexpr int kOrder[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
  static constexpr char kHex[] = "0123456789abcdef";
  char text[36];
  size_t at = 0;
  for (int i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) text[at++] = '-';
    text[at++] = kHex[b[kOrder[i]] >> 4];
    text[at++] = kHex[b[kOrder[i]] & 0xF];
  }
  return PyUnicode_FromStringAndSize(text, sizeof text);
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
    PyRef tuple;
    if (PyList_CheckExact(value)) {
      tuple.reset(PyList_AsTuple(value));
      if (!tuple) return nullptr;
      key = tuple.get();
    }
    result = PyDict_Check(out.op.get()) ? PyDict_GetItemWithError(out.op.get(), key) : nullptr;
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

template <class Put>
bool ViewProgram::row(const std::vector<DecodedField>& fields, PyObject* datetime_class,
                      Py_ssize_t position, Put put) const {
  // The plan's column i is field i unless the record's fields differ.
  bool fits = fields.size() == columns_.size();
  for (size_t i = 0; fits && i < fields.size(); ++i) fits = fields[i].column == columns_[i];
  auto field_of = [&](int source) -> const DecodedField* {
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
  // The outputs, then source_table and source_key.
  const size_t n = outputs_.size();
  for (size_t i = 0; i < n; ++i) {
    const Output& out = outputs_[i];
    PyObject* value = out.source < 0 ? Py_None : value_of(out.source);
    if (value == nullptr) return false;
    Py_INCREF(value);
    PyObject* made = out.source < 0                ? value
                     : out.native == Native::kNone ? apply(out, value)
                                                   : native(out, value, datetime_class);
    if (out.native != Native::kNone && out.source >= 0) Py_DECREF(value);
    if (!put(i, made)) return false;
  }
  Py_INCREF(table_.get());
  if (!put(n, table_.get())) return false;
  if (key_source_ >= 0) {
    PyObject* value = value_of(key_source_);
    if (value == nullptr) return false;
    PyRef text(PyObject_Str(value));
    return text && put(n + 1, PyUnicode_Concat(key_prefix_.get(), text.get()));
  }
  PyRef number(PyLong_FromSsize_t(position));
  return number && put(n + 1, PyUnicode_Format(key_prefix_.get(), number.get()));
}

PyObject* ViewProgram::make(const std::vector<DecodedField>& fields, PyObject* datetime_class,
                            Py_ssize_t position) const {
  // A dict copied from the template (every key, in order), filled in place.
  PyRef dict(PyDict_Copy(template_.get()));
  if (!dict) return nullptr;
  auto put = [&](size_t i, PyObject* value) {
    PyRef owned(value);
    return owned && PyDict_SetItem(dict.get(), keys_[i].get(), value) == 0;
  };
  if (!row(fields, datetime_class, position, put)) return nullptr;
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

bool ViewProgram::append(const std::vector<DecodedField>& fields, PyObject* datetime_class,
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
