// A view's row program: the dict of one output row made straight from a
// decoded record, for the artefact views (quarlet.artifacts). Each output
// value is a field of the record as iter_table(decode=True) gives it, taken
// as it is, looked up in a mapping, or passed to a callable; the row ends
// with the record's provenance (`source_table`, `source_key`).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "decode/decoded_record.hpp"
#include "python/capi.hpp"
#include "python/convert.hpp"
#include "record/parser.hpp"

namespace quarlet::py {

// _sort_pairs(keys, targets): two bytes objects of native int32 (a link
// map's keys and targets) as a tuple of two bytes objects, the pairs
// sorted by key, pairs of one key in their order. TypeError or ValueError
// for bytes of other forms.
PyObject* sort_pairs(PyObject* module, PyObject* args);

class ViewProgram {
 public:
  // `outputs`: a sequence of (name, source, op, how): the output key (str),
  // the column it reads (str, or None for an always-None value), and op
  // None (the value as it is), a mapping (how true: `op[value]`, or
  // `op(value)` for a value that cannot be a key) or a callable (how false:
  // `op(value)`); with how a str, op is a callable that the program runs
  // itself for the values it knows (see Native) and calls for the others.
  // `table` is the source_table value; `key_prefix` and `key_column` make
  // source_key `key_prefix + str(value)`, or with key_column None
  // `key_prefix % position`; with key_prefix None the rows end without
  // source_table and source_key. `batch_size` (null or 0: none) makes the
  // rows columns: see begin_batch. `where` (null or None: none) is one more
  // output, not given: a record whose value is false gives no row. Columns
  // are found in `plan`. False with an exception set (TypeError,
  // OverflowError, ValueError for a column not in the plan).
  bool init(PyObject* outputs, PyObject* table, PyObject* key_prefix, PyObject* key_column,
            PyObject* batch_size, PyObject* where, const ColumnPlan& plan);

  // Rows per batch when the rows are given as columns; 0 when as dicts.
  size_t batch_size() const { return batch_size_; }
  // Columnar rows: begin_batch starts empty column lists (one per output,
  // then source_table and source_key), append adds a record's row to them,
  // take_batch hands them over as a list of lists (new reference). append
  // gives 1 for a row added, 0 for a record `where` rejects, -1 with an
  // exception set when the interpreter fails; begin_batch false and
  // take_batch null likewise.
  bool begin_batch();
  int append(const std::vector<DecodedField>& fields, PyObject* datetime_class,
             Py_ssize_t position);
  PyObject* take_batch();

  // The row of one record (fields in plan order, or any order after
  // damage: a column the record lacks gives None). An op that raises on a
  // value gives None for it, as an undecodable column does. New reference;
  // null without an exception for a record `where` rejects, null with one
  // when the interpreter fails.
  PyObject* make(const std::vector<DecodedField>& fields, PyObject* datetime_class,
                 Py_ssize_t position) const;

 private:
  // Conversions the program runs itself, by name: "filetime", "filetime_le",
  // "filetime_be": a FILETIME (100 ns since 1601, UTC) as an aware datetime,
  // from an int (0 and below: not set) or from 8 bytes in either byte order
  // (0 and 1: not set), None for anything else; "text": a str that does not
  // end in U+0000 as it is; "texts": a str, or a list of str, none ending
  // in U+0000, as a new list; "uint_le8": 8 bytes as a little-endian
  // integer; "seconds": whole seconds since 1601 (a directory's generalized time) as
  // an aware datetime (0 and below: not set); "sid_last_be" / "rid_last_be":
  // a SID whose last sub-authority is big-endian (as a directory stores
  // it) as `S-1-...` text / that sub-authority; "guid_le": 16 bytes (Data1-3
  // little-endian) as lowercase GUID text; "dn": an object's distinguished
  // name from a name map (see Names); "links": the names of the targets of
  // a key in a link map (see Links), as a list. Every conversion but
  // "links" gives None for None. Values a conversion does not know go to
  // its callable.
  enum class Native {
    kNone, kFiletime, kFiletimeLe, kFiletimeBe, kText, kTexts, kUintLe8, kSeconds, kSid, kRid,
    kGuid, kDn, kLinks
  };

  // Links by key, as the callable's `tables` give them (or a function of
  // none that gives them, called when the rows start): bytes of native
  // int32 keys, sorted, and of their targets, and a mapping of a target to
  // its name.
  struct Links {
    PyRef keys, targets, names;
    Py_ssize_t count = 0;  // links
    Py_ssize_t at = 0;     // where the last key's targets began
    std::unordered_map<int32_t, PyRef> found;  // names taken from `names` (a bounded number)
  };

  // A directory's name map, as the callable's `tables` give it: objects
  // sorted by DNT (bytes of native int32 DNTs, parent DNTs and RDN types,
  // of int64 ends of each RDN in `text`, escaped UTF-8), the DNs of parents
  // built so far (DNT -> str) and the RDN prefixes by type ("CN=", type ->
  // str).
  struct Names {
    PyRef dnts, parents, types, ends, text, cache, prefixes;
    Py_ssize_t count = 0;   // objects
    Py_ssize_t hint = -1;   // the last object found: rows come in DNT order
    // UTF-8 of the parents' DNs met so far (from `cache`) and of the RDN
    // prefixes: a DN is made in one piece from them.
    std::unordered_map<int32_t, std::string> parent_text;
    std::unordered_map<int32_t, std::string> prefix_text;
    std::string scratch;
  };

  struct Output {
    int source = -1;      // index into the plan's columns; -1: always None
    PyRef op;             // mapping or callable; null: the value as it is
    bool lookup = false;  // op is a mapping
    Native native = Native::kNone;  // set: run by the program, op the fallback
    bool direct = false;            // the conversion can read the decoded field itself
    std::shared_ptr<Names> names;   // kDn's map
    std::shared_ptr<Links> links;   // kLinks' map
    // A lookup's last key and what it gave: neighbouring records mostly
    // repeat a value, and a comparison is cheaper than a probe.
    mutable PyRef last_key, last_found;
  };
  // Reads one output's (name, source, op, how) into `out`. False with an
  // exception set when it is not of that form.
  bool take_output(PyObject* item, Output* out);
  static bool take_links(PyObject* op, Output* out);
  // The names of the targets of the key `value` (a list), or nullptr (maybe
  // with an exception) for a value that is not an int32.
  static PyObject* targets(Links& links, PyObject* value);
  // Takes the name map of a "dn" conversion's callable. False with an
  // exception set when its tables are not of that form.
  static bool take_names(PyObject* op, Output* out);
  // The DN of the object whose DNT is `value`, when the map has it and its
  // parent's DN is cached; nullptr (maybe with an exception) otherwise.
  static PyObject* dn(Names& names, PyObject* value);
  // The output of a native conversion (new reference; null on failure).
  PyObject* native(const Output& out, PyObject* value, PyObject* datetime_class) const;
  // A FILETIME output of the native conversions; None when not set, out of
  // range or of another form. New reference, or null on failure.
  PyObject* filetime(Native kind, PyObject* value, PyObject* datetime_class) const;
  // A SID output (kSid: text, kRid: the last sub-authority); nullptr without
  // an exception for bytes of another form (they go to the callable).
  static PyObject* sid(Native kind, PyObject* value);
  static PyObject* sid(Native kind, const unsigned char* bytes, Py_ssize_t size);
  // GUID text of 16 bytes; nullptr without an exception for another form.
  static PyObject* guid(PyObject* value);
  static PyObject* guid(const unsigned char* bytes, Py_ssize_t size);
  // The datetime of an int "seconds" or "filetime" conversion reads; None
  // for 0 and below, and past year 9999.
  PyObject* number_time(Native kind, int64_t number, PyObject* datetime_class) const;
  // A FILETIME's aware datetime; None past year 9999.
  PyObject* datetime_of(uint64_t ticks, PyObject* datetime_class) const;
  // A direct conversion's output made from the current record's field
  // (new reference); nullptr without an exception when the field is of a
  // form it leaves to the usual path.
  PyObject* direct(const Output& out, PyObject* datetime_class) const;
  PyObject* apply(const Output& out, PyObject* value) const;  // steals `value`
  // An output's value for the current record (new reference; null: failed).
  PyObject* output(const Output& out, PyObject* datetime_class) const;
  // The row of a record, each value handed to `put(index, value)` (which
  // steals it; false: failed): 1 when made, 0 when `where` rejects the
  // record, -1 with an exception set on failure.
  template <class Put>
  int row(const std::vector<DecodedField>& fields, PyObject* datetime_class,
          Py_ssize_t position, Put put) const;

  std::vector<const ColumnDef*> columns_;  // the plan's columns, by index
  std::vector<Output> outputs_;
  std::vector<PyRef> keys_;  // output names, then "source_table", "source_key"
  PyRef template_;           // every key -> None, in order
  PyRef utc_;                // datetime.timezone.utc
  // The leading fields of the datetime module's C API (its capsule), whose
  // constructor makes a datetime without a call through Python; null when
  // the module gives none.
  struct DateTimeApi {
    PyTypeObject* date_type;
    PyTypeObject* datetime_type;
    PyTypeObject* time_type;
    PyTypeObject* delta_type;
    PyTypeObject* tzinfo_type;
    PyObject* utc;
    PyObject* (*date_from_date)(int, int, int, PyTypeObject*);
    PyObject* (*datetime_from_fields)(int, int, int, int, int, int, int, PyObject*,
                                      PyTypeObject*);
  };
  const DateTimeApi* datetime_api_ = nullptr;
  PyRef table_;              // the source_table value
  PyRef key_prefix_;
  int key_source_ = -1;      // index of the key column; -1: the position
  size_t batch_size_ = 0;    // rows per columnar batch; 0: dict rows
  PyRef batch_;              // the columns being filled (a list of lists)
  bool provenance_ = true;   // rows end with source_table and source_key
  bool filtered_ = false;    // where_ decides which records give rows
  Output where_;
  // The current record (set by row()): its fields, whether they are in plan
  // order, and each column's value and, for a multi-value, its tuple (the
  // key of lookups), made once however many outputs read the column.
  mutable const std::vector<DecodedField>* fields_ = nullptr;
  mutable bool fits_ = false;
  mutable std::vector<PyRef> values_;
  mutable std::vector<PyRef> tuples_;
  // The current record's field of a column, or nullptr when it lacks one.
  const DecodedField* field_of(int source) const;
  // The column's value (borrowed; null: failed).
  PyObject* value_of(int source, PyObject* datetime_class) const;
};

}  // namespace quarlet::py
