// A view's row program: the dict of one output row made straight from a
// decoded record, for the artefact views (quarlet.artifacts). Each output
// value is a field of the record as iter_table(decode=True) gives it, taken
// as it is, looked up in a mapping, or passed to a callable; the row ends
// with the record's provenance (`source_table`, `source_key`).
#pragma once

#include <vector>

#include "decode/decoded_record.hpp"
#include "python/capi.hpp"
#include "python/convert.hpp"
#include "record/parser.hpp"

namespace quarlet::py {

class ViewProgram {
 public:
  // `outputs`: a sequence of (name, source, op, is_lookup): the output key
  // (str), the column it reads (str, or None for an always-None value), and
  // None, a mapping (is_lookup true: `op[value]`) or a callable (`op(value)`).
  // `table` is the source_table value; `key_prefix` and `key_column` make
  // source_key `key_prefix + str(value)`, or with key_column None
  // `key_prefix % position`. Columns are found in `plan`. False with an
  // exception set (TypeError, ValueError for a column not in the plan).
  bool init(PyObject* outputs, PyObject* table, PyObject* key_prefix, PyObject* key_column,
            const ColumnPlan& plan);

  // The row of one record (fields in plan order, or any order after
  // damage: a column the record lacks gives None). An op that raises on a
  // value gives None for it, as an undecodable column does. New reference,
  // or null with an exception set when the interpreter fails.
  PyObject* make(const std::vector<DecodedField>& fields, PyObject* datetime_class,
                 Py_ssize_t position) const;

 private:
  struct Output {
    int source = -1;      // index into the plan's columns; -1: always None
    PyRef op;             // mapping or callable; null: the value as it is
    bool lookup = false;  // op is a mapping
  };
  PyObject* apply(const Output& out, PyObject* value) const;  // steals `value`

  std::vector<const ColumnDef*> columns_;  // the plan's columns, by index
  std::vector<Output> outputs_;
  std::vector<PyRef> keys_;  // output names, then "source_table", "source_key"
  PyRef template_;           // every key -> None, in order
  PyRef table_;              // the source_table value
  PyRef key_prefix_;
  int key_source_ = -1;      // index of the key column; -1: the position
  mutable std::vector<PyRef> values_;  // scratch of make(): values by column
};

}  // namespace quarlet::py
