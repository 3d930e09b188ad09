// EseDatabase.recover: a lazy iterator over the deleted records the file
// still holds, one dict per recovered record.
#pragma once

#include "database/database.hpp"
#include "python/capi.hpp"

namespace quarlet::py {

// Docstring of EseDatabase.recover (text signature first).
extern const char kRecoverDoc[];

// Implements EseDatabase.recover(table_name=None, decode=False, sources=None)
// for the instance `owner`, whose open database is `db` and whose
// shared-borrow counter is `*borrows` (as new_table_iterator does). New
// reference, or null with an exception set: TypeError for bad arguments,
// ValueError for an unknown table or source name.
PyObject* new_recover_iterator(PyObject* owner, const Database* db, Py_ssize_t* borrows,
                               PyObject* args, PyObject* kwargs);

}  // namespace quarlet::py
