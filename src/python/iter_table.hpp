// EseDatabase.iter_table: a lazy iterator over one table's records, raw or
// decoded, one dict per step.
#pragma once

#include "database/database.hpp"
#include "decode/decoded_record.hpp"
#include "python/capi.hpp"

namespace quarlet::py {

// A shared borrow of an EseDatabase instance, held while one of its methods
// or one iterator step runs: `*counter` is raised for the borrow's lifetime.
// Only touched with the interpreter lock held.
class SharedBorrow {
 public:
  explicit SharedBorrow(Py_ssize_t* counter) : counter_(counter) { ++*counter_; }
  ~SharedBorrow() { --*counter_; }
  SharedBorrow(const SharedBorrow&) = delete;
  SharedBorrow& operator=(const SharedBorrow&) = delete;

 private:
  Py_ssize_t* counter_;
};

// The Python value of one decoded field: DateTime values become
// `datetime_class` (datetime.datetime) objects when they are valid dates in
// 1601..9999, multi-values lists of their elements, everything else as in
// the raw view. New reference, or null with an exception set.
PyObject* decoded_field(const DecodedField& field, PyObject* datetime_class);

// Docstring of EseDatabase.iter_table (text signature first).
extern const char kIterTableDoc[];

// Implements EseDatabase.iter_table(table_name, decode=False, columns=None)
// for the instance `owner`, whose open database is `db` and whose
// shared-borrow counter is `*borrows`. The iterator keeps a strong reference
// to `owner` (so `db` and `borrows` stay valid) and holds a shared borrow
// only while a step runs. New reference, or null with an exception set:
// TypeError for bad arguments, ValueError for a table or column that does
// not exist, OSError when the table's first page cannot be read.
PyObject* new_table_iterator(PyObject* owner, const Database* db, Py_ssize_t* borrows,
                             PyObject* args, PyObject* kwargs);

// EseDatabase._view_rows(table_name, columns, outputs, key_prefix,
// key_column, batch_size=0, where=None): the decoded records of `columns` of the table
// made into the rows of an artefact view (ViewProgram, view_rows.hpp), one
// dict per step, or with batch_size > 0 one list of column lists of up to
// that many rows per step; otherwise as new_table_iterator.
PyObject* new_view_iterator(PyObject* owner, const Database* db, Py_ssize_t* borrows,
                            PyObject* args, PyObject* kwargs);

}  // namespace quarlet::py
