// The ArrowRows type: a limited-API heap type whose __arrow_c_stream__
// turns batches of rows computed in Python into an Arrow C stream in a
// PyCapsule, and whose __arrow_c_schema__ hands out the schema. The stream
// takes the interpreter lock for every touch of a Python object, so a
// consumer may read it from any thread; the arrays it hands out own C++
// buffers and are released without the lock.
#include "python/arrow_rows.hpp"

#include <cerrno>
#include <memory>
#include <new>
#include <set>
#include <string>
#include <utility>

#include "python/args.hpp"
#include "python/arrow_capsule.hpp"
#include "python/arrow_rows_build.hpp"
#include "python/convert.hpp"

namespace quarlet::py {

namespace {

using SharedFields = std::shared_ptr<const RowFields>;

// The interpreter lock, held for the life of the object.
class HoldGil {
 public:
  HoldGil() : state_(PyGILState_Ensure()) {}
  HoldGil(const HoldGil&) = delete;
  HoldGil& operator=(const HoldGil&) = delete;
  ~HoldGil() { PyGILState_Release(state_); }

 private:
  PyGILState_STATE state_;
};

// ---------------------------------------------------------------------------
// The stream

// One pass over the batches. The consumer may call it from any thread, with
// or without the lock, one call at a time. After an error every later
// get_next gives the same error.
class RowsStream {
 public:
  // Takes over the reference to `iterator`.
  RowsStream(SharedFields fields, PyObject* iterator)
      : fields_(std::move(fields)), iterator_(iterator) {}
  RowsStream(const RowsStream&) = delete;
  RowsStream& operator=(const RowsStream&) = delete;
  // Nothing is done with the iterator once the interpreter is gone.
  ~RowsStream() {
    if (iterator_ == nullptr || !Py_IsInitialized()) return;
    HoldGil gil;
    Py_CLEAR(iterator_);
  }

  int get_schema(ArrowSchema* out) {
    export_row_schema(*fields_, out);
    return 0;
  }

  int get_next(ArrowArray* out) {
    out->release = nullptr;
    if (error_code_ != 0 || iterator_ == nullptr) return error_code_;
    if (!Py_IsInitialized()) return fail(EIO, "the Python interpreter has shut down");
    HoldGil gil;
    PyRef batch(PyIter_Next(iterator_));
    if (!batch) {
      // The end, or an exception raised while the next batch was made.
      if (PyErr_Occurred()) {
        fail(EIO, "batch " + std::to_string(batches_) + ": " + take_exception_text());
      }
      Py_CLEAR(iterator_);
      return error_code_;
    }
    const int rc = batch_to_array(*fields_, batch.get(), batches_, out, &error_);
    ++batches_;
    if (rc != 0) {
      error_code_ = rc;
      batch.reset();
      Py_CLEAR(iterator_);
    }
    return rc;
  }

  const char* last_error() const { return error_code_ != 0 ? error_.c_str() : nullptr; }

 private:
  int fail(int code, std::string message) {
    error_code_ = code;
    error_ = std::move(message);
    return code;
  }

  SharedFields fields_;
  PyObject* iterator_;    // strong; null once the batches have ended or failed
  uint64_t batches_ = 0;  // batches taken so far
  int error_code_ = 0;    // errno of the error that ended the stream, or 0
  std::string error_;     // its message
};

RowsStream* stream_of(ArrowArrayStream* stream) {
  return static_cast<RowsStream*>(stream->private_data);
}

int rows_get_schema(ArrowArrayStream* stream, ArrowSchema* out) {
  try {
    return stream_of(stream)->get_schema(out);
  } catch (const std::exception&) {
    return ENOMEM;
  }
}

int rows_get_next(ArrowArrayStream* stream, ArrowArray* out) {
  try {
    return stream_of(stream)->get_next(out);
  } catch (const std::exception&) {
    out->release = nullptr;
    return ENOMEM;
  }
}

const char* rows_get_last_error(ArrowArrayStream* stream) {
  return stream_of(stream)->last_error();
}

void rows_release(ArrowArrayStream* stream) {
  if (stream == nullptr || stream->release == nullptr) return;
  delete stream_of(stream);
  stream->private_data = nullptr;
  stream->release = nullptr;
}

// ---------------------------------------------------------------------------
// The type

struct ArrowRowsObject {
  PyObject_HEAD
  SharedFields* fields;  // owned; shared with the streams
  PyObject* batches;     // the callable that makes each pass's batches (strong)
};

ArrowRowsObject* as_rows(PyObject* self) { return reinterpret_cast<ArrowRowsObject*>(self); }

// The UTF-8 of the str `obj` into *out; false with an exception set (a
// lone surrogate has none).
bool utf8_of(PyObject* obj, std::string* out) {
  PyRef bytes(PyUnicode_AsUTF8String(obj));
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (!bytes || PyBytes_AsStringAndSize(bytes.get(), &data, &size) != 0) return false;
  out->assign(data, static_cast<size_t>(size));
  return true;
}

constexpr size_t kMaxMetadataBytes = 0x7FFFFFFF;

// The str -> str dict `obj` (or None) as metadata pairs of field `index`.
bool take_metadata(PyObject* obj, Py_ssize_t index, RowField* field) {
  if (obj == Py_None) return true;
  if (!PyDict_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "fields[%zd]: metadata must be a dict of str to str, not %s",
                 index, type_name_of(obj).c_str());
    return false;
  }
  PyObject *key = nullptr, *value = nullptr;
  Py_ssize_t pos = 0;
  size_t total = 0;
  while (PyDict_Next(obj, &pos, &key, &value)) {
    if (!PyUnicode_Check(key) || !PyUnicode_Check(value)) {
      PyErr_Format(PyExc_TypeError, "fields[%zd]: metadata must be a dict of str to str", index);
      return false;
    }
    std::pair<std::string, std::string> pair;
    if (!utf8_of(key, &pair.first) || !utf8_of(value, &pair.second)) return false;
    total += 8 + pair.first.size() + pair.second.size();
    if (total > kMaxMetadataBytes) {
      PyErr_Format(PyExc_ValueError, "fields[%zd]: metadata too large", index);
      return false;
    }
    field->metadata.push_back(std::move(pair));
  }
  return true;
}

// One item of `fields`: (name, type) or (name, type, metadata).
bool take_field(PyObject* item, Py_ssize_t index, RowField* field) {
  const bool is_tuple = PyTuple_Check(item);
  if (!is_tuple && !PyList_Check(item)) {
    PyErr_Format(PyExc_TypeError, "fields[%zd] must be a (name, type) tuple, not %s", index,
                 type_name_of(item).c_str());
    return false;
  }
  const Py_ssize_t size = is_tuple ? PyTuple_Size(item) : PyList_Size(item);
  if (size != 2 && size != 3) {
    PyErr_Format(PyExc_ValueError,
                 "fields[%zd] must be (name, type) or (name, type, metadata), not %zd items",
                 index, size);
    return false;
  }
  PyObject* part[3] = {nullptr, nullptr, Py_None};
  for (Py_ssize_t k = 0; k < size; ++k) {
    part[k] = is_tuple ? PyTuple_GetItem(item, k) : PyList_GetItem(item, k);
    if (part[k] == nullptr) return false;
  }
  if (!PyUnicode_Check(part[0]) || !PyUnicode_Check(part[1])) {
    PyErr_Format(PyExc_TypeError, "fields[%zd]: name and type must be str", index);
    return false;
  }
  if (!utf8_of(part[0], &field->name) || !utf8_of(part[1], &field->type_name)) return false;
  if (field->name.find('\0') != std::string::npos) {
    PyErr_Format(PyExc_ValueError, "fields[%zd]: name holds a NUL character", index);
    return false;
  }
  if (!row_type_from_name(field->type_name, &field->type)) {
    PyErr_Format(PyExc_ValueError, "fields[%zd]: unknown type %R (types: %s)", index, part[1],
                 kRowTypeNames);
    return false;
  }
  return take_metadata(part[2], index, field);
}

// The `fields` argument: a non-empty list or tuple of fields, names unique.
bool take_fields(PyObject* obj, RowFields* out) {
  const bool is_tuple = PyTuple_Check(obj);
  if (!is_tuple && !PyList_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "fields must be a list of (name, type) tuples, not %s",
                 type_name_of(obj).c_str());
    return false;
  }
  const Py_ssize_t n = is_tuple ? PyTuple_Size(obj) : PyList_Size(obj);
  if (n == 0) {
    PyErr_SetString(PyExc_ValueError, "fields must not be empty");
    return false;
  }
  std::set<std::string> names;
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = is_tuple ? PyTuple_GetItem(obj, i) : PyList_GetItem(obj, i);
    if (item == nullptr) return false;
    Py_INCREF(item);  // held while its parts are read
    PyRef held(item);
    RowField field;
    if (!take_field(item, i, &field)) return false;
    if (!names.insert(field.name).second) {
      PyErr_Format(PyExc_ValueError, "fields[%zd]: duplicate name '%s'", i, field.name.c_str());
      return false;
    }
    out->push_back(std::move(field));
  }
  return true;
}

const char* const kNewParams[] = {"fields", "batches"};
const Signature kNewSig = {"ArrowRows()", kNewParams, 2, 2};

PyObject* rows_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  PyObject* argv[2];
  if (!bind_arguments(kNewSig, args, kwargs, argv)) return nullptr;
  SharedFields fields;
  try {
    auto taken = std::make_shared<RowFields>();
    if (!take_fields(argv[0], taken.get())) return nullptr;
    fields = std::move(taken);
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
  if (!PyCallable_Check(argv[1])) {
    PyErr_Format(PyExc_TypeError, "batches must be callable, not %s",
                 type_name_of(argv[1]).c_str());
    return nullptr;
  }
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* self = alloc(type, 0);
  if (self == nullptr) return nullptr;
  ArrowRowsObject* obj = as_rows(self);
  obj->fields = new (std::nothrow) SharedFields(std::move(fields));
  if (obj->fields == nullptr) {
    Py_DECREF(self);
    return PyErr_NoMemory();
  }
  Py_INCREF(argv[1]);
  obj->batches = argv[1];
  return self;
}

int rows_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(as_rows(self)->batches);
  Py_VISIT(reinterpret_cast<PyObject*>(Py_TYPE(self)));
  return 0;
}

int rows_clear(PyObject* self) {
  Py_CLEAR(as_rows(self)->batches);
  return 0;
}

void rows_dealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  ArrowRowsObject* obj = as_rows(self);
  delete obj->fields;
  obj->fields = nullptr;
  Py_CLEAR(obj->batches);
  free_heap_object(self);
}

const char* const kStreamParams[] = {"requested_schema"};
const Signature kStreamSig = {"ArrowRows.__arrow_c_stream__()", kStreamParams, 1, 0};

// __arrow_c_stream__(requested_schema=None): a new pass as a stream capsule.
// A requested schema is not applied: the stream has the fields' own
// schema, as the interface allows.
PyObject* arrow_c_stream(PyObject* self, PyObject* args, PyObject* kwargs) {
  PyObject* argv[1];
  if (!bind_arguments(kStreamSig, args, kwargs, argv)) return nullptr;
  ArrowRowsObject* obj = as_rows(self);
  if (obj->batches == nullptr) {
    PyErr_SetString(PyExc_ValueError, "ArrowRows has been cleared");
    return nullptr;
  }
  PyRef batches(PyObject_CallObject(obj->batches, nullptr));
  if (!batches) return nullptr;
  PyRef iterator(PyObject_GetIter(batches.get()));
  if (!iterator) return nullptr;
  batches.reset();
  try {
    auto stream = std::make_unique<ArrowArrayStream>();
    auto rows = std::make_unique<RowsStream>(*obj->fields, iterator.get());
    iterator.release();  // the stream holds it now
    stream->get_schema = rows_get_schema;
    stream->get_next = rows_get_next;
    stream->get_last_error = rows_get_last_error;
    stream->release = rows_release;
    stream->private_data = rows.release();
    return stream_capsule(std::move(stream));
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

// __arrow_c_schema__(): the schema as a capsule.
PyObject* arrow_c_schema(PyObject* self, PyObject*) {
  try {
    auto schema = std::make_unique<ArrowSchema>();
    export_row_schema(**as_rows(self)->fields, schema.get());
    return schema_capsule(std::move(schema));
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

PyMethodDef kRowsMethods[] = {
    {"__arrow_c_stream__", as_cfunction(arrow_c_stream), METH_VARARGS | METH_KEYWORDS,
     "__arrow_c_stream__($self, requested_schema=None)\n--\n\n"
     "A new pass over the batches as an Arrow C stream in a PyCapsule."},
    {"__arrow_c_schema__", as_cfunction(arrow_c_schema), METH_NOARGS,
     "__arrow_c_schema__($self)\n--\n\nThe stream's Arrow schema in a PyCapsule."},
    {nullptr, nullptr, 0, nullptr},
};

const char kRowsDoc[] =
    "ArrowRows(fields, batches)\n--\n\n"
    "Rows computed in Python as Arrow record batches.\n\n"
    "Implements the Arrow PyCapsule interface (__arrow_c_stream__ and\n"
    "__arrow_c_schema__), so pyarrow.table(), polars.DataFrame() and DuckDB\n"
    "read it. Each __arrow_c_stream__ call calls batches() once and reads\n"
    "the iterable it returns; the consumer may read the stream from any\n"
    "thread.\n\n"
    "Args:\n"
    "    fields: List of (name, type) or (name, type, metadata) tuples; type\n"
    "        is bool, int64, uint64, float64, utf8, binary, timestamp_us_utc\n"
    "        (timestamp[us, UTC], values as int microseconds since 1970) or\n"
    "        list_utf8 (values as lists of str); metadata a dict of str to\n"
    "        str. Every field is nullable; names are unique.\n"
    "    batches: Callable with no arguments returning an iterable of\n"
    "        batches; a batch is a list holding one list of values per\n"
    "        field, all of one length, None for null. bool takes bool;\n"
    "        int64, uint64 and timestamp_us_utc take int (not bool);\n"
    "        float64 takes float or int (not bool); utf8 takes str; binary\n"
    "        takes bytes, bytearray or memoryview; list_utf8 takes a list\n"
    "        or tuple of str.\n\n"
    "Raises:\n"
    "    TypeError, ValueError: If fields is malformed or batches is not\n"
    "        callable. A value a field doesn't take, or an exception raised\n"
    "        by the batches, is raised by the consumer of the stream.";

PyType_Slot kRowsSlots[] = {
    {Py_tp_new, as_slot(rows_new)},
    {Py_tp_dealloc, as_slot(rows_dealloc)},
    {Py_tp_traverse, as_slot(rows_traverse)},
    {Py_tp_clear, as_slot(rows_clear)},
    {Py_tp_methods, kRowsMethods},
    {Py_tp_doc, const_cast<char*>(kRowsDoc)},
    {0, nullptr},
};

PyType_Spec kRowsSpec = {
    "quarlet.ArrowRows",
    static_cast<int>(sizeof(ArrowRowsObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    kRowsSlots,
};

}  // namespace

PyObject* create_arrow_rows_type() { return PyType_FromSpec(&kRowsSpec); }

}  // namespace quarlet::py
