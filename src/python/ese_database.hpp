// The EseDatabase class: one open, read-only ESE database per instance.
#pragma once

#include "python/capi.hpp"

namespace quarlet::py {

// Creates the EseDatabase heap type. New reference, or null with an
// exception set.
PyObject* create_ese_database_type();

}  // namespace quarlet::py
