// EseDatabase.arrow: an object implementing the Arrow PyCapsule interface
// (__arrow_c_stream__, __arrow_c_schema__) over one table's records.
#pragma once

#include <memory>

#include "database/database.hpp"
#include "export/arrow/abi.hpp"
#include "python/capi.hpp"

namespace quarlet::py {

// A filled stream or schema struct handed out in its capsule
// ("arrow_array_stream", "arrow_schema"; new reference) for the binding's
// Arrow producers. A struct the consumer never takes is released when the
// capsule goes; when the capsule cannot be made, the struct is released and
// null returned with the exception set.
PyObject* stream_capsule(std::unique_ptr<ArrowArrayStream> stream);
PyObject* schema_capsule(std::unique_ptr<ArrowSchema> schema);

// Docstring of EseDatabase.arrow (text signature first).
extern const char kArrowDoc[];

// Implements EseDatabase.arrow(table_name, decode=False, columns=None,
// batch_size=65536) for the instance `owner` (open database `db`,
// shared-borrow counter `*borrows`). The object keeps a strong reference to
// `owner`; each __arrow_c_stream__ call starts a new pass over the table,
// and every stream keeps `owner` alive until it is released. New reference,
// or null with an exception set: TypeError for bad arguments, ValueError for
// a missing table or column or a batch size of 0, OSError when the table's
// first page cannot be read.
PyObject* new_arrow_table(PyObject* owner, const Database* db, Py_ssize_t* borrows,
                          PyObject* args, PyObject* kwargs);

}  // namespace quarlet::py
