// Python column lists as Arrow arrays, for ArrowRows: one loop per column
// writes values, offsets and validity bits into C++ buffers owned by the
// exported array, so that the consumer releases them without the
// interpreter lock. Also the struct schema of a field list.
#include "python/arrow_rows_build.hpp"

#include <cerrno>
#include <cstring>
#include <memory>
#include <new>

#include "python/convert.hpp"

namespace quarlet::py {

namespace {

struct RowTypeName {
  const char* name;
  RowType type;
  const char* format;  // Arrow format string of the type
};

constexpr RowTypeName kRowTypes[] = {
    {"bool", RowType::Bool, "b"},
    {"int64", RowType::Int64, "l"},
    {"uint64", RowType::UInt64, "L"},
    {"float64", RowType::Float64, "g"},
    {"utf8", RowType::Utf8, "u"},
    {"binary", RowType::Binary, "z"},
    {"timestamp_us_utc", RowType::TimestampUs, "tsu:UTC"},
    {"list_utf8", RowType::ListUtf8, "+l"},
};

const char* format_of(RowType type) {
  for (const RowTypeName& t : kRowTypes) {
    if (t.type == type) return t.format;
  }
  return "n";
}

// Where buffers of no bytes point: consumers may read a pointer of an empty
// buffer, never its bytes.
alignas(64) const uint8_t kNoBytes[64] = {};

}  // namespace

const char kRowTypeNames[] =
    "bool, int64, uint64, float64, utf8, binary, timestamp_us_utc, list_utf8";

bool row_type_from_name(std::string_view name, RowType* out) {
  for (const RowTypeName& t : kRowTypes) {
    if (name == t.name) {
      *out = t.type;
      return true;
    }
  }
  return false;
}

namespace {

// "TypeError: expected WHAT, got TYPE" for the value `v`.
std::string expected(const char* what, PyObject* v) {
  return std::string("TypeError: expected ") + what + ", got " + type_name_of(v);
}

}  // namespace

// ---------------------------------------------------------------------------
// The schema

namespace {

// What one exported schema node points to. Its children are released with
// it, unless the consumer moved them out (their release is then null).
struct SchemaHolder {
  std::string format;
  std::string name;
  std::string metadata;  // Arrow's binary key/value encoding; empty for none
  std::vector<ArrowSchema> children;
  std::vector<ArrowSchema*> child_ptrs;

  ~SchemaHolder() {
    for (ArrowSchema& child : children) {
      if (child.release != nullptr) child.release(&child);
    }
  }
};

void release_schema(ArrowSchema* schema) {
  if (schema == nullptr || schema->release == nullptr) return;
  delete static_cast<SchemaHolder*>(schema->private_data);
  schema->release = nullptr;
  schema->private_data = nullptr;
}

void append_i32(std::string* out, size_t value) {
  const int32_t v = static_cast<int32_t>(value);
  char bytes[sizeof v];
  std::memcpy(bytes, &v, sizeof v);
  out->append(bytes, sizeof v);
}

// The metadata as Arrow encodes it: a count, then each key and value as a
// length and bytes, every int32 in native byte order. Lengths were checked
// to fit when the fields were taken.
std::string encode_metadata(const std::vector<std::pair<std::string, std::string>>& pairs) {
  std::string out;
  if (pairs.empty()) return out;
  append_i32(&out, pairs.size());
  for (const auto& [key, value] : pairs) {
    append_i32(&out, key.size());
    out += key;
    append_i32(&out, value.size());
    out += value;
  }
  return out;
}

// Points *out at `holder` (which it then owns), with `n_children` children
// already in holder->children.
void fill_schema(std::unique_ptr<SchemaHolder> holder, int64_t flags, ArrowSchema* out) {
  for (ArrowSchema& child : holder->children) holder->child_ptrs.push_back(&child);
  out->format = holder->format.c_str();
  out->name = holder->name.c_str();
  out->metadata = holder->metadata.empty() ? nullptr : holder->metadata.data();
  out->flags = flags;
  out->n_children = static_cast<int64_t>(holder->children.size());
  out->children = holder->child_ptrs.empty() ? nullptr : holder->child_ptrs.data();
  out->dictionary = nullptr;
  out->release = release_schema;
  out->private_data = holder.release();
}

void export_field_schema(const RowField& field, ArrowSchema* out) {
  auto holder = std::make_unique<SchemaHolder>();
  holder->format = format_of(field.type);
  holder->name = field.name;
  holder->metadata = encode_metadata(field.metadata);
  if (field.type == RowType::ListUtf8) {
    holder->children.resize(1);
    auto item = std::make_unique<SchemaHolder>();
    item->format = "u";
    item->name = "item";
    fill_schema(std::move(item), ARROW_FLAG_NULLABLE, &holder->children[0]);
  }
  fill_schema(std::move(holder), ARROW_FLAG_NULLABLE, out);
}

}  // namespace

void export_row_schema(const RowFields& fields, ArrowSchema* out) {
  auto holder = std::make_unique<SchemaHolder>();
  holder->format = "+s";
  holder->children.resize(fields.size());  // released: null release callbacks
  for (size_t i = 0; i < fields.size(); ++i) export_field_schema(fields[i], &holder->children[i]);
  fill_schema(std::move(holder), 0, out);
}

// ---------------------------------------------------------------------------
// Columns

namespace {

// The buffers of one column of a batch as they are filled.
struct Column {
  int64_t length = 0;
  int64_t null_count = 0;
  std::vector<uint8_t> validity;  // one bit per value, set when valid; empty while none is null
  std::vector<uint8_t> values;    // fixed-width values, bits of bool, or bytes of utf8/binary
  std::vector<int32_t> offsets;   // utf8, binary, list: length + 1 offsets
  std::unique_ptr<Column> items;  // list: the strings of every list, in order
};

// What one exported array node points to. Its children are released with
// it, unless the consumer moved them out.
struct ArrayHolder {
  Column column;
  const void* buffers[3] = {nullptr, nullptr, nullptr};
  std::vector<ArrowArray> children;
  std::vector<ArrowArray*> child_ptrs;

  ~ArrayHolder() {
    for (ArrowArray& child : children) {
      if (child.release != nullptr) child.release(&child);
    }
  }
};

void release_array(ArrowArray* array) {
  if (array == nullptr || array->release == nullptr) return;
  delete static_cast<ArrayHolder*>(array->private_data);
  array->release = nullptr;
  array->private_data = nullptr;
}

const void* bytes_or_empty(const std::vector<uint8_t>& v) {
  return v.empty() ? kNoBytes : v.data();
}

// Points *out at `holder` (which it then owns): `n_buffers` of its buffers
// and the children already in holder->children.
void fill_array(std::unique_ptr<ArrayHolder> holder, int64_t length, int64_t null_count,
                int64_t n_buffers, ArrowArray* out) {
  for (ArrowArray& child : holder->children) holder->child_ptrs.push_back(&child);
  out->length = length;
  out->null_count = null_count;
  out->offset = 0;
  out->n_buffers = n_buffers;
  out->n_children = static_cast<int64_t>(holder->children.size());
  out->buffers = holder->buffers;
  out->children = holder->child_ptrs.empty() ? nullptr : holder->child_ptrs.data();
  out->dictionary = nullptr;
  out->release = release_array;
  out->private_data = holder.release();
}

// Exports a filled column of `type` into *out, which then owns its buffers.
void export_column(Column&& column, RowType type, ArrowArray* out) {
  auto holder = std::make_unique<ArrayHolder>();
  Column& c = holder->column;
  c = std::move(column);
  holder->buffers[0] = c.null_count > 0 ? c.validity.data() : nullptr;
  int64_t n_buffers = 2;
  switch (type) {
    case RowType::Utf8:
    case RowType::Binary:
      holder->buffers[1] = c.offsets.data();
      holder->buffers[2] = bytes_or_empty(c.values);
      n_buffers = 3;
      break;
    case RowType::ListUtf8:
      holder->buffers[1] = c.offsets.data();
      holder->children.resize(1);
      export_column(std::move(*c.items), RowType::Utf8, &holder->children[0]);
      break;
    default:
      holder->buffers[1] = bytes_or_empty(c.values);
      break;
  }
  const int64_t length = c.length, null_count = c.null_count;
  fill_array(std::move(holder), length, null_count, n_buffers, out);
}

// A list or tuple, read by index.
class Items {
 public:
  // False when `obj` is neither.
  bool init(PyObject* obj) {
    obj_ = obj;
    is_list_ = PyList_Check(obj);
    if (!is_list_ && !PyTuple_Check(obj)) return false;
    size_ = is_list_ ? PyList_Size(obj) : PyTuple_Size(obj);
    return true;
  }
  Py_ssize_t size() const { return size_; }
  // Borrowed; null with IndexError set when the list has shrunk.
  PyObject* at(Py_ssize_t i) const {
    return is_list_ ? PyList_GetItem(obj_, i) : PyTuple_GetItem(obj_, i);
  }

 private:
  PyObject* obj_ = nullptr;
  bool is_list_ = false;
  Py_ssize_t size_ = 0;
};

bool is_int(PyObject* v) { return PyLong_Check(v) && !PyBool_Check(v); }

constexpr size_t kMaxOffset = 0x7FFFFFFF;

// Appends `size` bytes as the next value of a column with offsets. Fails
// when the column's bytes would pass what int32 offsets reach.
bool append_bytes(Column& c, const char* data, Py_ssize_t size, std::string* why) {
  const size_t n = static_cast<size_t>(size);
  if (n > kMaxOffset - c.values.size()) {
    *why = "ValueError: more than 2147483647 bytes of data in one batch; use smaller batches";
    return false;
  }
  c.values.insert(c.values.end(), data, data + n);
  c.offsets.push_back(static_cast<int32_t>(c.values.size()));
  return true;
}

// Each writer fills one type's buffers: start() sizes them for n values,
// put() writes value i (false with *why set when it doesn't fit), null()
// writes the slot of a null value i.
struct BoolWriter {
  static void start(Column& c, Py_ssize_t n) {
    c.values.assign((static_cast<size_t>(n) + 7) / 8, 0);
  }
  static bool put(Column& c, Py_ssize_t i, PyObject* v, std::string* why) {
    if (!PyBool_Check(v)) {
      *why = expected("bool", v);
      return false;
    }
    if (v == Py_True) c.values[static_cast<size_t>(i) >> 3] |= static_cast<uint8_t>(1u << (i & 7));
    return true;
  }
  static void null(Column&, Py_ssize_t) {}
};

void start_fixed(Column& c, Py_ssize_t n) { c.values.assign(static_cast<size_t>(n) * 8, 0); }

template <class T>
void store(Column& c, Py_ssize_t i, T value) {
  std::memcpy(c.values.data() + static_cast<size_t>(i) * sizeof(T), &value, sizeof(T));
}

struct Int64Writer {
  static void start(Column& c, Py_ssize_t n) { start_fixed(c, n); }
  static bool put(Column& c, Py_ssize_t i, PyObject* v, std::string* why) {
    if (!is_int(v)) {
      *why = expected("int", v);
      return false;
    }
    int overflow = 0;
    const long long x = PyLong_AsLongLongAndOverflow(v, &overflow);
    if (overflow != 0) {
      *why = "OverflowError: int out of range";
      return false;
    }
    if (x == -1 && PyErr_Occurred()) {
      *why = take_exception_text();
      return false;
    }
    store<int64_t>(c, i, x);
    return true;
  }
  static void null(Column&, Py_ssize_t) {}
};

struct UInt64Writer {
  static void start(Column& c, Py_ssize_t n) { start_fixed(c, n); }
  static bool put(Column& c, Py_ssize_t i, PyObject* v, std::string* why) {
    if (!is_int(v)) {
      *why = expected("int", v);
      return false;
    }
    const unsigned long long x = PyLong_AsUnsignedLongLong(v);
    if (x == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
      if (PyErr_ExceptionMatches(PyExc_OverflowError)) {
        PyErr_Clear();
        *why = "OverflowError: int out of range";
      } else {
        *why = take_exception_text();
      }
      return false;
    }
    store<uint64_t>(c, i, x);
    return true;
  }
  static void null(Column&, Py_ssize_t) {}
};

struct Float64Writer {
  static void start(Column& c, Py_ssize_t n) { start_fixed(c, n); }
  static bool put(Column& c, Py_ssize_t i, PyObject* v, std::string* why) {
    double x;
    if (PyFloat_Check(v)) {
      x = PyFloat_AsDouble(v);
    } else if (is_int(v)) {
      x = PyLong_AsDouble(v);  // OverflowError past the range of a double
      if (x == -1.0 && PyErr_Occurred()) {
        *why = take_exception_text();
        return false;
      }
    } else {
      *why = expected("float or int", v);
      return false;
    }
    store<double>(c, i, x);
    return true;
  }
  static void null(Column&, Py_ssize_t) {}
};

struct Utf8Writer {
  static void start(Column& c, Py_ssize_t n) {
    c.offsets.reserve(static_cast<size_t>(n) + 1);
    c.offsets.push_back(0);
  }
  static bool put(Column& c, Py_ssize_t, PyObject* v, std::string* why) {
    if (!PyUnicode_Check(v)) {
      *why = expected("str", v);
      return false;
    }
    PyRef bytes(PyUnicode_AsUTF8String(v));  // fails on a lone surrogate
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (!bytes || PyBytes_AsStringAndSize(bytes.get(), &data, &size) != 0) {
      *why = take_exception_text();
      return false;
    }
    return append_bytes(c, data, size, why);
  }
  static void null(Column& c, Py_ssize_t) { c.offsets.push_back(c.offsets.back()); }
};

struct BinaryWriter {
  static void start(Column& c, Py_ssize_t n) { Utf8Writer::start(c, n); }
  static bool put(Column& c, Py_ssize_t, PyObject* v, std::string* why) {
    if (PyBytes_Check(v)) {
      char* data = nullptr;
      Py_ssize_t size = 0;
      if (PyBytes_AsStringAndSize(v, &data, &size) != 0) {
        *why = take_exception_text();
        return false;
      }
      return append_bytes(c, data, size, why);
    }
    if (PyByteArray_Check(v)) {
      return append_bytes(c, PyByteArray_AsString(v), PyByteArray_Size(v), why);
    }
    if (PyMemoryView_Check(v)) {
      // The limited API of 3.9 has no buffer access: a copy as bytes.
      PyRef bytes(PyBytes_FromObject(v));
      if (!bytes) {
        *why = take_exception_text();
        return false;
      }
      return put(c, 0, bytes.get(), why);
    }
    *why = expected("bytes, bytearray or memoryview", v);
    return false;
  }
  static void null(Column& c, Py_ssize_t) { c.offsets.push_back(c.offsets.back()); }
};

struct ListUtf8Writer {
  static void start(Column& c, Py_ssize_t n) {
    Utf8Writer::start(c, n);
    c.items = std::make_unique<Column>();
    Utf8Writer::start(*c.items, n);
  }
  static bool put(Column& c, Py_ssize_t, PyObject* v, std::string* why) {
    Items list;
    if (!list.init(v)) {
      *why = expected("list or tuple of str", v);
      return false;
    }
    Column& items = *c.items;
    for (Py_ssize_t k = 0; k < list.size(); ++k) {
      PyObject* item = list.at(k);
      if (item == nullptr) {
        *why = take_exception_text();
        return false;
      }
      if (!Utf8Writer::put(items, k, item, why)) {
        *why = "item " + std::to_string(k) + ": " + *why;
        return false;
      }
    }
    items.length += list.size();
    if (static_cast<uint64_t>(items.length) > kMaxOffset) {
      *why = "ValueError: more than 2147483647 list items in one batch; use smaller batches";
      return false;
    }
    c.offsets.push_back(static_cast<int32_t>(items.length));
    return true;
  }
  static void null(Column& c, Py_ssize_t) { c.offsets.push_back(c.offsets.back()); }
};

void mark_null(Column& c, Py_ssize_t i) {
  if (c.validity.empty()) c.validity.assign((static_cast<size_t>(c.length) + 7) / 8, 0xFF);
  c.validity[static_cast<size_t>(i) >> 3] &= static_cast<uint8_t>(~(1u << (i & 7)));
  ++c.null_count;
}

// Fills `c` with the values of `values`, None as null. False with *row
// and *why naming the value that doesn't fit.
template <class Writer>
bool fill_column(const Items& values, Column& c, Py_ssize_t* row, std::string* why) {
  const Py_ssize_t n = values.size();
  c.length = n;
  Writer::start(c, n);
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* v = values.at(i);
    bool ok = true;
    if (v == nullptr) {
      *why = take_exception_text();
      ok = false;
    } else if (v == Py_None) {
      mark_null(c, i);
      Writer::null(c, i);
    } else {
      ok = Writer::put(c, i, v, why);
    }
    if (!ok) {
      *row = i;
      return false;
    }
  }
  return true;
}

bool fill_column_of(RowType type, const Items& values, Column& c, Py_ssize_t* row,
                    std::string* why) {
  switch (type) {
    case RowType::Bool:
      return fill_column<BoolWriter>(values, c, row, why);
    case RowType::Int64:
    case RowType::TimestampUs:
      return fill_column<Int64Writer>(values, c, row, why);
    case RowType::UInt64:
      return fill_column<UInt64Writer>(values, c, row, why);
    case RowType::Float64:
      return fill_column<Float64Writer>(values, c, row, why);
    case RowType::Utf8:
      return fill_column<Utf8Writer>(values, c, row, why);
    case RowType::Binary:
      return fill_column<BinaryWriter>(values, c, row, why);
    case RowType::ListUtf8:
      return fill_column<ListUtf8Writer>(values, c, row, why);
  }
  return false;
}

std::string column_label(uint64_t batch, const RowField& field) {
  return "batch " + std::to_string(batch) + ", column '" + field.name + "' (" + field.type_name +
         ")";
}

}  // namespace

int batch_to_array(const RowFields& fields, PyObject* batch, uint64_t batch_index, ArrowArray* out,
                   std::string* error) {
  out->release = nullptr;
  const std::string where = "batch " + std::to_string(batch_index);
  try {
    Items columns;
    if (!columns.init(batch)) {
      *error = where + ": " + expected("a list or tuple of columns", batch);
      return EINVAL;
    }
    if (static_cast<size_t>(columns.size()) != fields.size()) {
      *error = where + ": ValueError: " + std::to_string(columns.size()) + " columns for " +
               std::to_string(fields.size()) + " fields";
      return EINVAL;
    }
    // Every column is checked before any is converted; each is held, so
    // none goes away while it is read.
    std::vector<PyRef> held(fields.size());
    std::vector<Items> values(fields.size());
    for (size_t i = 0; i < fields.size(); ++i) {
      PyObject* column = columns.at(static_cast<Py_ssize_t>(i));
      if (column == nullptr) {
        *error = where + ": " + take_exception_text();
        return EINVAL;
      }
      Py_INCREF(column);
      held[i].reset(column);
      if (!values[i].init(column)) {
        *error = column_label(batch_index, fields[i]) + ": " +
                 expected("a list or tuple of values", column);
        return EINVAL;
      }
      if (values[i].size() != values[0].size()) {
        *error = column_label(batch_index, fields[i]) + ": ValueError: " +
                 std::to_string(values[i].size()) + " values, column '" + fields[0].name +
                 "' has " + std::to_string(values[0].size());
        return EINVAL;
      }
    }
    auto holder = std::make_unique<ArrayHolder>();
    holder->children.resize(fields.size());  // released: null release callbacks
    for (size_t i = 0; i < fields.size(); ++i) {
      Column column;
      Py_ssize_t row = 0;
      std::string why;
      if (!fill_column_of(fields[i].type, values[i], column, &row, &why)) {
        *error = column_label(batch_index, fields[i]) + ", row " + std::to_string(row) + ": " + why;
        return EINVAL;
      }
      export_column(std::move(column), fields[i].type, &holder->children[i]);
    }
    fill_array(std::move(holder), values.empty() ? 0 : values[0].size(), 0, 1, out);
    return 0;
  } catch (const std::bad_alloc&) {
    PyErr_Clear();
    *error = where + ": MemoryError: out of memory";
    return ENOMEM;
  }
}

}  // namespace quarlet::py
