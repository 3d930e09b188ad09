// The EseDatabase class: one open, read-only ESE database per instance.
#pragma once

#include <memory>

#include "python/capi.hpp"

namespace quarlet {
class Database;
}

namespace quarlet::py {

// Creates the EseDatabase heap type. New reference, or null with an
// exception set.
PyObject* create_ese_database_type();

// Whether the EseDatabase `owner` is open: false with ValueError "I/O
// operation on closed database" once it is closed. Iterators ask it before
// every step, since a close frees what they point into.
bool database_open(PyObject* owner);

// The database of the EseDatabase `owner`, shared: a holder keeps it (and
// its source) alive across a close, for threads that may still read it.
// Null with the ValueError of database_open once closed.
std::shared_ptr<const Database> shared_database(PyObject* owner);

}  // namespace quarlet::py
