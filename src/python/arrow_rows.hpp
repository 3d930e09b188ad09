// ArrowRows: rows computed in Python as an Arrow C stream (the Arrow
// PyCapsule interface), for the artefact views.
#pragma once

#include "python/capi.hpp"

namespace quarlet::py {

// Creates the ArrowRows heap type. New reference, or null with an
// exception set.
PyObject* create_arrow_rows_type();

}  // namespace quarlet::py
