// The recovery iterator: a limited-API heap type stepping through the core's
// Recovery, making one item dict per step.
#include "python/recover.hpp"

#include <array>
#include <memory>
#include <string>

#include "decode/decoded_record.hpp"
#include "python/args.hpp"
#include "python/convert.hpp"
#include "python/ese_database.hpp"
#include "python/iter_table.hpp"
#include "recover/recovery.hpp"

namespace quarlet::py {

const char kRecoverDoc[] =
    "recover($self, table_name=None, decode=False, sources=None)\n--\n\n"
    "Iterate over deleted records that the file still holds.\n\n"
    "Yields one dictionary per recovered record, with the keys \"table\" (its\n"
    "table's name), \"source\" (\"deleted\": an entry the engine flagged deleted;\n"
    "\"orphan\": an entry of a page that carries the table's object id but that\n"
    "the table's tree no longer reaches; \"slack\": an old record found in the\n"
    "free bytes of one of the table's pages), \"page\", \"offset\" (byte offset of\n"
    "the record in the file), \"checks\" (the names of the checks it passed),\n"
    "\"record\" (the record as iter_table gives the same bytes) and \"key\" (the\n"
    "entry's key as bytes; None for slack). Only records whose layout fits the\n"
    "table's columns are given, each once; a deleted entry that holds no such\n"
    "record (only its key) is given with \"record\" None. Tables come in\n"
    "catalog order, then dropped tables; each table's records in page order.\n\n"
    "Args:\n    table_name: Name of one table (live or dropped); None for every table\n"
    "    decode: Taken by its truth value: decoded values, as iter_table(...,\n"
    "        decode=True) gives them\n"
    "    sources: Names of the sources to search (\"deleted\", \"orphan\",\n"
    "        \"slack\"); None for all\n\n"
    "Returns:\n    iterator of dict: One dictionary per recovered record\n\n"
    "Raises:\n    ValueError: If the table doesn't exist or a source is unknown";

namespace {

constexpr std::array<const char*, 3> kSourceNames = {"deleted", "orphan", "slack"};
constexpr std::array<uint32_t, 6> kCheckBits = {kCheckHeader,     kCheckVariable,
                                                kCheckTagged,     kCheckChecksum,
                                                kCheckKeyNotLive, kCheckNodeKey};
constexpr std::array<const char*, 7> kItemKeys = {"table",  "source", "page", "offset",
                                                  "checks", "record", "key"};

// Everything a running iterator owns besides the object header.
struct RecoverState {
  Py_ssize_t* borrows = nullptr;       // the owner's shared-borrow counter
  std::unique_ptr<Recovery> recovery;
  bool decode = false;
  Record raw;                          // reused by every raw step
  DecodedRecord decoded;               // reused by every decoded step
  RecordDicts dicts;                   // record dicts of the current table
  const TableDef* dict_table = nullptr;  // the table `dicts` and `table_str` are for
  PyRef table_str;
  std::array<PyRef, 7> keys;           // item keys, made once
  std::array<PyRef, 3> sources;        // source names, made once
  std::array<PyRef, 6> checks;         // check names, made once
  PyRef datetime_class;                // datetime.datetime, when decoding
  bool done = false;
  bool running = false;                // a step runs without the interpreter lock
};

struct RecoverIteratorObject {
  PyObject_HEAD
  PyObject* owner;      // the EseDatabase (strong reference)
  RecoverState* state;  // owned
};

RecoverIteratorObject* as_iter(PyObject* self) {
  return reinterpret_cast<RecoverIteratorObject*>(self);
}

PyObject* checks_list(const RecoverState& st, uint32_t checks) {
  PyRef list(PyList_New(0));
  if (!list) return nullptr;
  for (size_t i = 0; i < kCheckBits.size(); ++i) {
    if ((checks & kCheckBits[i]) != 0 && PyList_Append(list.get(), st.checks[i].get()) != 0) {
      return nullptr;
    }
  }
  return list.release();
}

PyObject* new_none() {
  Py_INCREF(Py_None);
  return Py_None;
}

PyObject* item_dict(RecoverState& st, const RecoveredItem& item) {
  if (st.dict_table != item.table) {
    if (!st.dicts.init(st.recovery->plan())) return nullptr;
    st.table_str.reset(str_from_utf8(item.table->name));
    if (!st.table_str) return nullptr;
    st.dict_table = item.table;
  }
  PyRef record;
  if (!item.has_record) {
    record.reset(new_none());
  } else if (st.decode) {
    st.recovery->read_decoded(item, st.decoded);
    PyObject* datetime_class = st.datetime_class.get();
    record.reset(st.dicts.make(st.decoded.fields, [datetime_class](const DecodedField& field) {
      return decoded_field(field, datetime_class);
    }));
  } else {
    st.recovery->read_raw(item, st.raw);
    record.reset(st.dicts.make(st.raw));
  }
  if (!record) return nullptr;
  PyRef page(PyLong_FromUnsignedLong(item.page));
  PyRef offset(PyLong_FromUnsignedLongLong(item.offset));
  PyRef checks(checks_list(st, item.checks));
  PyRef key(item.has_key ? PyBytes_FromStringAndSize(
                               reinterpret_cast<const char*>(item.key.data()),
                               static_cast<Py_ssize_t>(item.key.size()))
                         : new_none());
  PyRef dict(PyDict_New());
  if (!page || !offset || !checks || !key || !dict) return nullptr;
  PyObject* values[7] = {st.table_str.get(),
                         st.sources[static_cast<size_t>(item.source)].get(),
                         page.get(),
                         offset.get(),
                         checks.get(),
                         record.get(),
                         key.get()};
  for (size_t i = 0; i < 7; ++i) {
    if (PyDict_SetItem(dict.get(), st.keys[i].get(), values[i]) != 0) return nullptr;
  }
  return dict.release();
}

// tp_iternext: the next item's dict, or null at the end (no exception set)
// or when the interpreter fails. After either the iterator is exhausted.
PyObject* iter_next(PyObject* self) {
  RecoverState& st = *as_iter(self)->state;
  // A closed database: nothing it pointed into may be read.
  if (!database_open(as_iter(self)->owner)) return nullptr;
  if (st.done) return nullptr;
  if (st.running) {
    PyErr_SetString(PyExc_ValueError, "recover iterator already executing");
    return nullptr;
  }
  SharedBorrow borrow(st.borrows);
  RecoveredItem item;
  bool more = false;
  // The search may read many pages before it finds a record; it touches no
  // Python object, so other threads run meanwhile.
  st.running = true;
  Py_BEGIN_ALLOW_THREADS
  more = st.recovery->next(item);
  Py_END_ALLOW_THREADS
  st.running = false;
  if (!more) {
    st.done = true;
    return nullptr;
  }
  PyObject* dict = item_dict(st, item);
  if (dict == nullptr) st.done = true;
  return dict;
}

PyType_Slot kIterSlots[] = {
    {Py_tp_dealloc, as_slot(dealloc_state_then_owner<RecoverIteratorObject>)},
    {Py_tp_iter, as_slot(iter_self)},
    {Py_tp_iternext, as_slot(iter_next)},
    {Py_tp_doc, const_cast<char*>("Iterator over recovered records.")},
    {0, nullptr},
};

PyType_Spec kIterSpec = {
    "quarlet.RecoverIterator",
    static_cast<int>(sizeof(RecoverIteratorObject)),
    0,
    Py_TPFLAGS_DEFAULT,
    kIterSlots,
};

// The iterator type, made on first use in each interpreter (borrowed).
PyObject* iterator_type() { return type_in_interpreter<kIterSpec>(); }

// The source bit of a source name (str), or 0 with ValueError set.
unsigned source_bit(PyObject* name) {
  for (size_t i = 0; i < kSourceNames.size(); ++i) {
    if (PyUnicode_CompareWithASCIIString(name, kSourceNames[i]) == 0) return 1u << i;
  }
  PyErr_Format(PyExc_ValueError, "Invalid source: %U (expected: deleted, orphan, slack)", name);
  return 0;
}

// The source mask of the `sources` argument: None (or absent) for all, one
// name, or an iterable of names. False with an exception set.
bool source_mask(PyObject* arg, unsigned* out) {
  if (arg == nullptr || arg == Py_None) {
    *out = kAllSources;
    return true;
  }
  *out = 0;
  if (PyUnicode_Check(arg)) {
    *out = source_bit(arg);
    return *out != 0;
  }
  PyRef iter(PyObject_GetIter(arg));
  if (!iter) {
    PyErr_Clear();
    PyErr_SetString(PyExc_TypeError,
                    "argument 'sources': expected None, a str or an iterable of str");
    return false;
  }
  for (;;) {
    PyRef name(PyIter_Next(iter.get()));
    if (!name) break;
    if (!PyUnicode_Check(name.get())) {
      PyErr_SetString(PyExc_TypeError,
                      "argument 'sources': expected None, a str or an iterable of str");
      return false;
    }
    const unsigned bit = source_bit(name.get());
    if (bit == 0) return false;
    *out |= bit;
  }
  return !PyErr_Occurred();
}

const char* const kRecoverParams[] = {"table_name", "decode", "sources"};
const Signature kRecoverSig = {"EseDatabase.recover()", kRecoverParams, 3, 0};

}  // namespace

PyObject* new_recover_iterator(PyObject* owner, const Database* db, Py_ssize_t* borrows,
                               PyObject* args, PyObject* kwargs) {
  PyObject* argv[3];
  if (!bind_arguments(kRecoverSig, args, kwargs, argv)) return nullptr;
  PyObject* table_arg = argv[0] != nullptr ? argv[0] : Py_None;
  if (!check_optional_str(table_arg, "table_name")) return nullptr;
  bool decode = false;
  if (argv[1] != nullptr) {
    const int truth = PyObject_IsTrue(argv[1]);
    if (truth < 0) return nullptr;
    decode = truth != 0;
  }
  unsigned sources = 0;
  if (!source_mask(argv[2], &sources)) return nullptr;

  auto state = std::make_unique<RecoverState>();
  state->borrows = borrows;
  state->decode = decode;
  Name name;
  const bool one_table = table_arg != Py_None;
  if (one_table && !table_name_utf8(table_arg, &name)) return nullptr;
  {
    SharedBorrow borrow(borrows);
    Result<std::unique_ptr<Recovery>> opened(EseError::invalid_header());
    Py_BEGIN_ALLOW_THREADS
    opened = Recovery::open(*db, one_table ? &name : nullptr, sources);
    Py_END_ALLOW_THREADS
    if (!opened.ok()) return to_python_error(opened.error());
    state->recovery = std::move(*opened);
  }
  for (size_t i = 0; i < kItemKeys.size(); ++i) {
    state->keys[i].reset(PyUnicode_InternFromString(kItemKeys[i]));
    if (!state->keys[i]) return nullptr;
  }
  for (size_t i = 0; i < kSourceNames.size(); ++i) {
    state->sources[i].reset(PyUnicode_FromString(kSourceNames[i]));
    if (!state->sources[i]) return nullptr;
  }
  for (size_t i = 0; i < kCheckBits.size(); ++i) {
    state->checks[i].reset(PyUnicode_FromString(record_check_name(kCheckBits[i])));
    if (!state->checks[i]) return nullptr;
  }
  if (decode) {
    PyRef module(PyImport_ImportModule("datetime"));
    if (!module) return nullptr;
    state->datetime_class.reset(PyObject_GetAttrString(module.get(), "datetime"));
    if (!state->datetime_class) return nullptr;
  }

  PyObject* type = iterator_type();
  if (type == nullptr) return nullptr;
  auto* tp = reinterpret_cast<PyTypeObject*>(type);
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(tp, Py_tp_alloc));
  PyObject* self = alloc(tp, 0);
  if (self == nullptr) return nullptr;
  RecoverIteratorObject* obj = as_iter(self);
  Py_INCREF(owner);
  obj->owner = owner;
  obj->state = state.release();
  return self;
}

}  // namespace quarlet::py
