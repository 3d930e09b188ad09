// The table iterator: a limited-API heap type stepping through one table's
// records with the core's TableRecords (raw) or DecodedTableRecords (decoded
// values), making one dict per step.
#include "python/iter_table.hpp"

#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "decode/decoded_record.hpp"
#include "decode/ole_date.hpp"
#include "python/args.hpp"
#include "python/convert.hpp"
#include "python/ese_database.hpp"
#include "python/view_rows.hpp"
#include "record/parser.hpp"

namespace quarlet::py {

const char kIterTableDoc[] =
    "iter_table($self, table_name, decode=False, columns=None)\n--\n\n"
    "Iterate over the records of a table, one at a time.\n\n"
    "Yields the same dictionaries as read_table, in the same order, without\n"
    "holding the whole table in memory. The iterator keeps the database open;\n"
    "a `with` block may end while it is unfinished.\n\n"
    "Args:\n    table_name: Name of the table to read\n"
    "    decode: Taken by its truth value. When true, values stored in encoded\n"
    "        form are decoded: compressed values are decompressed and decoded\n"
    "        by the column's type, multi-valued columns become lists of their\n"
    "        decoded elements, DateTime columns become timezone-aware UTC\n"
    "        datetime.datetime objects (an OLE date, or a FILETIME where the\n"
    "        application stored one; the raw integer when the value is no date\n"
    "        of the years 1601 to 9999), text loses its trailing U+0000\n"
    "        characters, and a column the record does not hold takes its\n"
    "        catalog default value. A value that cannot be decoded keeps its\n"
    "        raw form.\n"
    "    columns: Names of the columns to read, in the order the dictionaries\n"
    "        give them (default: every column, in table order)\n\n"
    "Returns:\n    iterator of dict: One dictionary per record\n\n"
    "Raises:\n    ValueError: If the table or a column doesn't exist\n"
    "    IOError: If there's an error reading the table";

namespace {

// datetime.timezone.utc, looked up once (a new reference is kept for the
// life of the process). Null with an exception set when it cannot be had.
PyObject* utc_timezone() {
  static PyObject* utc = nullptr;
  if (utc == nullptr) {
    PyRef module(PyImport_ImportModule("datetime"));
    if (!module) return nullptr;
    PyRef timezone(PyObject_GetAttrString(module.get(), "timezone"));
    if (!timezone) return nullptr;
    utc = PyObject_GetAttrString(timezone.get(), "utc");
  }
  return utc;
}

// An aware UTC datetime of `p`, made from its pickled state (10 bytes: year
// big-endian, month, day, hour, minute, second, microseconds big-endian in
// 3 bytes) rather than by parsing eight arguments.
PyObject* utc_datetime(const DateTimeParts& p, PyObject* datetime_class) {
  PyObject* utc = utc_timezone();
  if (utc == nullptr) return nullptr;
  const uint32_t us = p.microsecond;
  const char state[10] = {static_cast<char>(p.year >> 8), static_cast<char>(p.year & 0xFF),
                          static_cast<char>(p.month), static_cast<char>(p.day),
                          static_cast<char>(p.hour), static_cast<char>(p.minute),
                          static_cast<char>(p.second), static_cast<char>(us >> 16),
                          static_cast<char>(us >> 8 & 0xFF), static_cast<char>(us & 0xFF)};
  PyRef bytes(PyBytes_FromStringAndSize(state, sizeof state));
  if (!bytes) return nullptr;
  PyObject* made = PyObject_CallFunctionObjArgs(datetime_class, bytes.get(), utc, nullptr);
  if (made != nullptr || !PyErr_ExceptionMatches(PyExc_TypeError)) return made;
  PyErr_Clear();  // an interpreter whose datetime takes no state: the fields
  return PyObject_CallFunction(datetime_class, "iiiiiiiO", p.year, p.month, p.day, p.hour,
                               p.minute, p.second, static_cast<int>(us), utc);
}

// A decoded scalar: DateTime values become aware UTC datetime.datetime
// objects when they are dates of 1601..9999 (stored_date_to_utc),
// everything else converts as in the raw view.
PyObject* decoded_scalar(const ColumnValue& value, PyObject* datetime_class) {
  if (const auto* dt = std::get_if<DateTimeValue>(&value)) {
    if (const std::optional<DateTimeParts> p = stored_date_to_utc(dt->raw)) {
      return utc_datetime(*p, datetime_class);
    }
  }
  return value_to_python(value);
}

}  // namespace

PyObject* decoded_field(const DecodedField& field, PyObject* datetime_class) {
  if (!field.is_list) return decoded_scalar(field.value, datetime_class);
  PyRef list(PyList_New(static_cast<Py_ssize_t>(field.elements.size())));
  if (!list) return nullptr;
  for (size_t k = 0; k < field.elements.size(); ++k) {
    PyObject* item = decoded_scalar(field.elements[k], datetime_class);
    if (item == nullptr) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(k), item);  // steals `item`
  }
  return list.release();
}

namespace {

// Everything a running iterator owns besides the object header.
struct IterState {
  const Database* db = nullptr;
  Py_ssize_t* borrows = nullptr;                // the owner's shared-borrow counter
  std::unique_ptr<TableRecords> raw;            // set when not decoding
  std::unique_ptr<DecodedTableRecords> decoded; // set when decoding
  DecodedRecord record;                         // reused by every decoded step
  Record raw_record;                            // reused by every raw step
  RecordDicts dicts;                            // records to dicts (keys made once)
  PyRef datetime_class;                         // datetime.datetime, when decoding
  std::unique_ptr<ViewProgram> view;            // set: rows of a view, not records
  Py_ssize_t position = 0;                      // records given so far
  std::optional<EseError> pending;              // an error met after a batch's rows
  bool done = false;                            // ended, or failed once
};

struct TableIteratorObject {
  PyObject_HEAD
  PyObject* owner;    // the EseDatabase (strong reference)
  IterState* state;   // owned
};

TableIteratorObject* as_iter(PyObject* self) {
  return reinterpret_cast<TableIteratorObject*>(self);
}

// False with an exception set when a signal handler raised (Ctrl-C): checked
// every 4096 records while a view passes over records that give no rows.
bool signals_checked(Py_ssize_t position) {
  return position % 4096 != 0 || PyErr_CheckSignals() == 0;
}

// A view's next batch of rows as columns (ViewProgram::batch): the rows
// read before an unreadable page come first, its error at the next step.
PyObject* next_columns(IterState& st) {
  if (st.pending) {
    st.done = true;
    return record_read_error(*st.pending);
  }
  ViewProgram& view = *st.view;
  if (!view.begin_batch()) return nullptr;
  size_t rows = 0;
  while (rows < view.batch_size()) {
    Result<bool> more = st.decoded->next(st.record);
    if (!more.ok()) {
      if (rows == 0) {
        st.done = true;
        return record_read_error(more.error());
      }
      st.pending = more.error();
      break;
    }
    if (!*more) {
      st.done = true;
      break;
    }
    const int added = view.append(st.record.fields, st.datetime_class.get(), st.position++);
    if (added < 0 || (added == 0 && !signals_checked(st.position))) return nullptr;
    rows += static_cast<size_t>(added);
  }
  if (rows == 0) return nullptr;
  return view.take_batch();
}

// tp_iternext: the next record's dict, or null at the end (no exception set)
// or on an error. After an error the iterator is exhausted.
PyObject* iter_next(PyObject* self) {
  IterState& st = *as_iter(self)->state;
  // A closed database: nothing it pointed into may be read.
  if (!database_open(as_iter(self)->owner)) return nullptr;
  if (st.done) return nullptr;
  SharedBorrow borrow(st.borrows);
  if (st.view && st.view->batch_size() > 0) return next_columns(st);
  // A view's records that give no row are passed over here.
  for (;;) {
    Result<bool> more =
        st.decoded ? st.decoded->next(st.record) : st.raw->next_into(st.raw_record);
    if (!more.ok()) {
      st.done = true;
      return record_read_error(more.error());
    }
    if (!*more) {
      st.done = true;
      return nullptr;
    }
    if (!st.decoded) return st.dicts.make(st.raw_record);
    PyObject* datetime_class = st.datetime_class.get();
    if (!st.view) {
      return st.dicts.make(st.record.fields, [datetime_class](const DecodedField& field) {
        return decoded_field(field, datetime_class);
      });
    }
    PyObject* row = st.view->make(st.record.fields, datetime_class, st.position++);
    if (row != nullptr || PyErr_Occurred() || !signals_checked(st.position)) return row;
  }
}

PyType_Slot kIterSlots[] = {
    {Py_tp_dealloc, as_slot(dealloc_state_then_owner<TableIteratorObject>)},
    {Py_tp_iter, as_slot(iter_self)},
    {Py_tp_iternext, as_slot(iter_next)},
    {Py_tp_doc, const_cast<char*>("Iterator over the records of one table.")},
    {0, nullptr},
};

PyType_Spec kIterSpec = {
    "quarlet.TableIterator",
    static_cast<int>(sizeof(TableIteratorObject)),
    0,
    Py_TPFLAGS_DEFAULT,
    kIterSlots,
};

// The iterator type, made on first use in each interpreter (borrowed).
PyObject* iterator_type() { return type_in_interpreter<kIterSpec>(); }

const char* const kIterParams[] = {"table_name", "decode", "columns"};
const Signature kIterSig = {"EseDatabase.iter_table()", kIterParams, 3, 1};

const char* const kViewParams[] = {"table_name", "columns", "outputs", "key_prefix",
                                   "key_column", "batch_size", "where"};
const Signature kViewSig = {"EseDatabase._view_rows()", kViewParams, 7, 5};

// The iterator over `table_name` (a str), decoded or not, narrowed to the
// names in `columns` (None: all); its steps give the rows of `view` when
// one is given (it is initialised here from `view_args`: outputs,
// key_prefix, key_column, batch_size, where).
PyObject* open_iterator(PyObject* owner, const Database* db, Py_ssize_t* borrows,
                        PyObject* table_name, bool decode, PyObject* columns_arg,
                        std::unique_ptr<ViewProgram> view, PyObject* const* view_args) {
  const bool selected = columns_arg != nullptr && columns_arg != Py_None;
  std::vector<Name> columns;
  if (selected && !column_names(columns_arg, &columns)) return nullptr;

  auto state = std::make_unique<IterState>();
  state->db = db;
  state->borrows = borrows;
  Name name;
  if (!table_name_utf8(table_name, &name)) return nullptr;

  const ColumnPlan* plan = nullptr;
  {
    SharedBorrow borrow(borrows);
    if (decode) {
      auto opened = DecodedTableRecords::open(*db, name);
      if (!opened.ok()) return to_python_error(opened.error());
      state->decoded = std::move(*opened);
      if (selected) {
        if (Status s = state->decoded->select(columns); !s) return to_python_error(s.error());
      }
      plan = &state->decoded->plan();
    } else {
      auto opened = TableRecords::open(*db, name);
      if (!opened.ok()) return to_python_error(opened.error());
      state->raw = std::move(*opened);
      if (selected) {
        if (Status s = state->raw->select(columns); !s) return to_python_error(s.error());
      }
      plan = &state->raw->plan();
    }
  }
  if (decode) {
    PyRef module(PyImport_ImportModule("datetime"));
    if (!module) return nullptr;
    state->datetime_class.reset(PyObject_GetAttrString(module.get(), "datetime"));
    if (!state->datetime_class) return nullptr;
  }
  // Column names become str objects once per iterator, shared by every record.
  if (!state->dicts.init(*plan)) return nullptr;
  if (view) {
    if (!view->init(view_args[0], table_name, view_args[1], view_args[2], view_args[3],
                    view_args[4], *plan)) {
      return nullptr;
    }
    state->view = std::move(view);
  }

  PyObject* type = iterator_type();
  if (type == nullptr) return nullptr;
  auto* tp = reinterpret_cast<PyTypeObject*>(type);
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(tp, Py_tp_alloc));
  PyObject* self = alloc(tp, 0);
  if (self == nullptr) return nullptr;
  TableIteratorObject* obj = as_iter(self);
  Py_INCREF(owner);
  obj->owner = owner;
  obj->state = state.release();
  return self;
}

}  // namespace

PyObject* new_table_iterator(PyObject* owner, const Database* db, Py_ssize_t* borrows,
                             PyObject* args, PyObject* kwargs) {
  PyObject* argv[3];
  if (!bind_arguments(kIterSig, args, kwargs, argv)) return nullptr;
  if (!check_str(argv[0], "table_name")) return nullptr;
  bool decode = false;
  if (argv[1] != nullptr) {
    const int truth = PyObject_IsTrue(argv[1]);
    if (truth < 0) return nullptr;
    decode = truth != 0;
  }
  return open_iterator(owner, db, borrows, argv[0], decode, argv[2], nullptr, nullptr);
}

PyObject* new_view_iterator(PyObject* owner, const Database* db, Py_ssize_t* borrows,
                            PyObject* args, PyObject* kwargs) {
  PyObject* argv[7];
  if (!bind_arguments(kViewSig, args, kwargs, argv)) return nullptr;
  if (!check_str(argv[0], "table_name")) return nullptr;
  return open_iterator(owner, db, borrows, argv[0], true, argv[1],
                       std::make_unique<ViewProgram>(), argv + 2);
}

}  // namespace quarlet::py
