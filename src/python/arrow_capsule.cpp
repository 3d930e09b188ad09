// The ArrowTable type: a limited-API heap type whose __arrow_c_stream__ hands
// out a C stream of one table's record batches in a PyCapsule, and whose
// __arrow_c_schema__ hands out the schema. Batches are built without the
// interpreter lock, under a shared borrow of the database instance.
#include "python/arrow_capsule.hpp"

#include <cerrno>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "export/arrow/stream.hpp"
#include "python/args.hpp"
#include "python/convert.hpp"
#include "python/ese_database.hpp"
#include "python/iter_table.hpp"

namespace quarlet::py {

namespace {

constexpr char kStreamName[] = "arrow_array_stream";
constexpr char kSchemaName[] = "arrow_schema";

// Capsule destructor: a struct the consumer never took (its release still
// set) is released here, then freed.
template <class Struct, const char* kName>
void free_capsule(PyObject* capsule) {
  auto* object = static_cast<Struct*>(PyCapsule_GetPointer(capsule, kName));
  if (object == nullptr) {
    PyErr_Clear();
    return;
  }
  if (object->release != nullptr) object->release(object);
  delete object;
}

template <class Struct, const char* kName>
PyObject* capsule_of(std::unique_ptr<Struct> object) {
  PyObject* capsule = PyCapsule_New(object.get(), kName, free_capsule<Struct, kName>);
  if (capsule == nullptr) {
    object->release(object.get());
    return nullptr;
  }
  object.release();  // the capsule owns it now
  return capsule;
}

}  // namespace

PyObject* stream_capsule(std::unique_ptr<ArrowArrayStream> stream) {
  return capsule_of<ArrowArrayStream, kStreamName>(std::move(stream));
}

PyObject* schema_capsule(std::unique_ptr<ArrowSchema> schema) {
  return capsule_of<ArrowSchema, kSchemaName>(std::move(schema));
}

const char kArrowDoc[] =
    "arrow($self, table_name, decode=False, columns=None, batch_size=65536)\n--\n\n"
    "The records of a table as Arrow record batches.\n\n"
    "Returns an object implementing the Arrow PyCapsule interface\n"
    "(__arrow_c_stream__ and __arrow_c_schema__), which pyarrow.table(),\n"
    "pyarrow.RecordBatchReader.from_stream(), polars.DataFrame() and DuckDB\n"
    "take without a copy. Each __arrow_c_stream__ call reads the table\n"
    "again, in the order iter_table gives. Text columns carry text in both\n"
    "views (a compressed value decompressed); a value whose stored form is\n"
    "not its column's type is null and counted in out_of_form.\n\n"
    "Args:\n    table_name: Name of the table to read\n"
    "    decode: Taken by its truth value. When true, the values of\n"
    "        iter_table(..., decode=True): DateTime as timestamp[us, UTC],\n"
    "        text without trailing U+0000, Long long and Currency as int64,\n"
    "        multi-valued columns as lists.\n"
    "    columns: Names of the columns to read, in the order the batches\n"
    "        give them (default: every column, in table order); only those\n"
    "        are decoded\n"
    "    batch_size: Most records per batch (at least 1)\n\n"
    "Raises:\n    ValueError: If the table or a column doesn't exist\n"
    "    IOError: If the table's first page cannot be read; errors while\n"
    "        reading records are raised by the consumer of the stream";

namespace {

// A strong reference that may be dropped on any thread: the lock is taken
// for it. Nothing is done once the interpreter is gone.
class OwnerRef {
 public:
  explicit OwnerRef(PyObject* obj) : obj_(obj) { Py_INCREF(obj_); }
  PyObject* get() const { return obj_; }
  OwnerRef(const OwnerRef&) = delete;
  OwnerRef& operator=(const OwnerRef&) = delete;
  ~OwnerRef() {
    if (!Py_IsInitialized()) return;
    PyGILState_STATE gil = PyGILState_Ensure();
    Py_DECREF(obj_);
    PyGILState_Release(gil);
  }

 private:
  PyObject* obj_;
};

// The per-column counts of values out of form, of the latest pass.
using Counts = std::vector<uint64_t>;

// The source of one stream: a reader whose batches are built with the
// interpreter lock released and a shared borrow of the instance held. The
// consumer may call it from any thread, with or without the lock.
class StreamSource final : public ArrowBatchSource {
 public:
  StreamSource(std::unique_ptr<ArrowTableReader> reader, PyObject* owner,
               std::shared_ptr<const Database> db, Py_ssize_t* borrows,
               std::shared_ptr<Counts> counts)
      : owner_(owner),
        db_(std::move(db)),
        borrows_(borrows),
        counts_(std::move(counts)),
        inner_(std::make_unique<ArrowReaderSource>(std::move(reader))) {}

  // The worker threads are stopped without the interpreter lock: one may be
  // waiting for it to read a page from a file object.
  ~StreamSource() override { stop(); }

  int get_schema(ArrowSchema* out) override {
    if (!inner_) return kClosedErrno;
    return inner_->get_schema(out);
  }

  int get_next(ArrowArray* out) override {
    out->release = nullptr;
    PyGILState_STATE gil = PyGILState_Ensure();
    if (!inner_ || !database_open(owner_.get())) {
      // The database was closed: the pass ends, and lets go of it.
      PyErr_Clear();
      PyGILState_Release(gil);
      stop();
      return kClosedErrno;
    }
    SharedBorrowCount borrow(borrows_);
    int rc = 0;
    Py_BEGIN_ALLOW_THREADS
    try {
      rc = inner_->get_next(out);
    } catch (const std::exception&) {
      out->release = nullptr;
      rc = ENOMEM;
    }
    Py_END_ALLOW_THREADS
    *counts_ = inner_->reader().out_of_form();
    borrow.end();
    PyGILState_Release(gil);
    return rc;
  }

  const char* last_error() override {
    if (!inner_) return kClosed;
    return inner_->last_error();
  }

 private:
  // A closed database's error: EINVAL, which consumers raise as a
  // ValueError, with this message.
  static constexpr const char* kClosed = "I/O operation on closed database";
  static constexpr int kClosedErrno = EINVAL;

  // Ends the pass: its threads, then its share of the database.
  void stop() {
    if (!inner_ || !Py_IsInitialized()) return;
    PyGILState_STATE gil = PyGILState_Ensure();
    PyThreadState* saved = PyEval_SaveThread();
    inner_.reset();
    db_.reset();
    PyEval_RestoreThread(saved);
    PyGILState_Release(gil);
  }

  // The borrow of one batch (the counter is only touched with the lock).
  class SharedBorrowCount {
   public:
    explicit SharedBorrowCount(Py_ssize_t* counter) : counter_(counter) { ++*counter_; }
    void end() {
      if (counter_ != nullptr) --*counter_;
      counter_ = nullptr;
    }
    ~SharedBorrowCount() { end(); }

   private:
    Py_ssize_t* counter_;
  };

  // Declared first so they are dropped last: the reader points into the
  // database, which the instance may have let go of (close) meanwhile.
  OwnerRef owner_;
  std::shared_ptr<const Database> db_;
  Py_ssize_t* borrows_;
  std::shared_ptr<Counts> counts_;
  std::unique_ptr<ArrowReaderSource> inner_;
};

struct ArrowTableState {
  const Database* db = nullptr;
  Py_ssize_t* borrows = nullptr;   // the owner's shared-borrow counter
  Name table;
  ArrowReadOptions options;
  std::vector<std::string> names;  // selected columns as text, in order
  std::shared_ptr<Counts> counts = std::make_shared<Counts>();
};

struct ArrowTableObject {
  PyObject_HEAD
  PyObject* owner;         // the EseDatabase (strong reference)
  ArrowTableState* state;  // owned
};

ArrowTableObject* as_arrow(PyObject* self) { return reinterpret_cast<ArrowTableObject*>(self); }

// A new reader of the table, or null with the exception of to_python_error.
std::unique_ptr<ArrowTableReader> open_reader(const ArrowTableState& st) {
  SharedBorrow borrow(st.borrows);
  auto opened = ArrowTableReader::open(*st.db, st.table, st.options);
  if (!opened.ok()) {
    to_python_error(opened.error());
    return nullptr;
  }
  return std::move(*opened);
}

const char* const kStreamParams[] = {"requested_schema"};
const Signature kStreamSig = {"ArrowTable.__arrow_c_stream__()", kStreamParams, 1, 0};

// __arrow_c_stream__(requested_schema=None): a new pass as a stream capsule.
// A requested schema is not applied: the stream has the table's own schema,
// as the interface allows.
PyObject* arrow_c_stream(PyObject* self, PyObject* args, PyObject* kwargs) {
  PyObject* argv[1];
  if (!bind_arguments(kStreamSig, args, kwargs, argv)) return nullptr;
  ArrowTableObject* obj = as_arrow(self);
  std::shared_ptr<const Database> db = shared_database(obj->owner);
  if (!db) return nullptr;
  std::unique_ptr<ArrowTableReader> reader = open_reader(*obj->state);
  if (!reader) return nullptr;
  obj->state->counts = std::make_shared<Counts>(reader->columns().size(), 0);
  auto stream = std::make_unique<ArrowArrayStream>();
  export_array_stream(std::make_unique<StreamSource>(std::move(reader), obj->owner, std::move(db),
                                                     obj->state->borrows, obj->state->counts),
                      stream.get());
  return stream_capsule(std::move(stream));
}

// __arrow_c_schema__(): the schema of the stream as a capsule.
PyObject* arrow_c_schema(PyObject* self, PyObject*) {
  ArrowTableObject* obj = as_arrow(self);
  if (!database_open(obj->owner)) return nullptr;
  std::unique_ptr<ArrowTableReader> reader = open_reader(*obj->state);
  if (!reader) return nullptr;
  auto schema = std::make_unique<ArrowSchema>();
  reader->schema(schema.get());
  return schema_capsule(std::move(schema));
}

// out_of_form: {column: count} of the values made null for their form in
// the latest stream, so far; columns without any are left out.
PyObject* get_out_of_form(PyObject* self, void*) {
  const ArrowTableState& st = *as_arrow(self)->state;
  PyRef dict(PyDict_New());
  if (!dict) return nullptr;
  const Counts& counts = *st.counts;
  for (size_t i = 0; i < counts.size() && i < st.names.size(); ++i) {
    if (counts[i] == 0) continue;
    PyRef key(str_from_utf8(st.names[i]));
    PyRef value(PyLong_FromUnsignedLongLong(counts[i]));
    if (!key || !value || PyDict_SetItem(dict.get(), key.get(), value.get()) != 0) return nullptr;
  }
  return dict.release();
}

PyMethodDef kArrowMethods[] = {
    {"__arrow_c_stream__", as_cfunction(arrow_c_stream), METH_VARARGS | METH_KEYWORDS,
     "__arrow_c_stream__($self, requested_schema=None)\n--\n\n"
     "A new pass over the table as an Arrow C stream in a PyCapsule."},
    {"__arrow_c_schema__", as_cfunction(arrow_c_schema), METH_NOARGS,
     "__arrow_c_schema__($self)\n--\n\nThe stream's Arrow schema in a PyCapsule."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kArrowGetSet[] = {
    {"out_of_form", get_out_of_form, nullptr,
     "Values made null because of their stored form, per column, in the latest stream.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kArrowSlots[] = {
    {Py_tp_dealloc, as_slot(dealloc_state_then_owner<ArrowTableObject>)},
    {Py_tp_methods, kArrowMethods},
    {Py_tp_getset, kArrowGetSet},
    {Py_tp_doc, const_cast<char*>("One table's records as Arrow record batches.")},
    {0, nullptr},
};

PyType_Spec kArrowSpec = {
    "quarlet.ArrowTable",
    static_cast<int>(sizeof(ArrowTableObject)),
    0,
    Py_TPFLAGS_DEFAULT,
    kArrowSlots,
};

// The type, made on first use in each interpreter (borrowed).
PyObject* arrow_table_type() { return type_in_interpreter<kArrowSpec>(); }

const char* const kArrowParams[] = {"table_name", "decode", "columns", "batch_size"};
const Signature kArrowSig = {"EseDatabase.arrow()", kArrowParams, 4, 1};

}  // namespace

PyObject* new_arrow_table(PyObject* owner, const Database* db, Py_ssize_t* borrows,
                          PyObject* args, PyObject* kwargs) {
  PyObject* argv[4];
  if (!bind_arguments(kArrowSig, args, kwargs, argv)) return nullptr;
  if (!check_str(argv[0], "table_name")) return nullptr;
  auto state = std::make_unique<ArrowTableState>();
  state->db = db;
  state->borrows = borrows;
  if (argv[1] != nullptr) {
    const int truth = PyObject_IsTrue(argv[1]);
    if (truth < 0) return nullptr;
    state->options.decode = truth != 0;
  }
  if (argv[2] != nullptr && argv[2] != Py_None) {
    if (!column_names(argv[2], &state->options.columns)) return nullptr;
    state->options.all_columns = false;
  }
  if (argv[3] != nullptr) {
    if (!to_u32(argv[3], "batch_size", &state->options.batch_size)) return nullptr;
    if (state->options.batch_size == 0) {
      PyErr_SetString(PyExc_ValueError, "batch_size must be at least 1");
      return nullptr;
    }
  }
  if (!table_name_utf8(argv[0], &state->table)) return nullptr;

  // Opened once here so that a missing table or column fails now.
  std::unique_ptr<ArrowTableReader> reader = open_reader(*state);
  if (!reader) return nullptr;
  for (const ArrowColumn& c : reader->columns()) state->names.push_back(c.column->name);
  reader.reset();

  PyObject* type = arrow_table_type();
  if (type == nullptr) return nullptr;
  auto* tp = reinterpret_cast<PyTypeObject*>(type);
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(tp, Py_tp_alloc));
  PyObject* self = alloc(tp, 0);
  if (self == nullptr) return nullptr;
  ArrowTableObject* obj = as_arrow(self);
  Py_INCREF(owner);
  obj->owner = owner;
  obj->state = state.release();
  return self;
}

}  // namespace quarlet::py
