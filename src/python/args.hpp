// Binding of positional and keyword arguments to named parameters, and the
// conversion of single arguments, with TypeError messages in the
// interpreter's own wording.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "python/capi.hpp"

namespace quarlet::py {

// Parameters of one callable. All are positional-or-keyword; the first
// `required` have no default.
struct Signature {
  const char* display_name;  // callable as named in messages: "EseDatabase.read_table()"
  const char* const* names;  // parameter names, in order
  size_t count;              // number of parameters
  size_t required;           // how many of the first parameters are required
};

// Matches `args` (a tuple) and `kwargs` (a dict, or null) to the parameters
// of `sig`. On success out[i] is a borrowed reference to parameter i, or
// null for an optional parameter that was not given, and true is returned.
// On failure a TypeError is set and false returned. Faults are reported in
// this order: too many positional arguments, then each keyword in call order
// (unknown or already given), then missing required arguments.
bool bind_arguments(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out);

// True when `obj` is a str. Otherwise sets the TypeError
// "argument 'NAME': 'TYPE' object cannot be converted to 'PyString'" and
// returns false.
bool check_str(PyObject* obj, const char* name);

// True when `obj` is None or a str; otherwise fails as check_str.
bool check_optional_str(PyObject* obj, const char* name);

// Converts an integer (an int or an object with __index__) to an unsigned
// 32-bit value. A non-integer sets TypeError "argument 'NAME': ..." with the
// interpreter's own conversion message; an integer outside 0..4294967295
// sets OverflowError "out of range integral type conversion attempted".
// Exceptions raised by the object's own __index__ other than TypeError pass
// through unchanged.
bool to_u32(PyObject* obj, const char* name, uint32_t* out);

// Sets ValueError "Table not found: NAME" for the str `name`. Returns null.
PyObject* table_not_found(PyObject* name);

// The UTF-8 bytes of a table name given as str, into `out`. A name holding a
// lone surrogate matches no stored table: false, with table_not_found's
// ValueError set.
bool table_name_utf8(PyObject* name, std::string* out);

// The column names of a `columns` argument (any iterable of str, but not a
// str or bytes itself) as UTF-8 bytes, into `out`. TypeError for another
// object or item; ValueError "Column not found: NAME" for a name holding a
// lone surrogate (it matches no stored column).
bool column_names(PyObject* obj, std::vector<std::string>* out);

}  // namespace quarlet::py
