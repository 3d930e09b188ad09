// Rows computed in Python as Arrow data: the field list of an ArrowRows
// object, its struct schema, and the conversion of one batch of Python
// column lists into a struct array whose buffers live in C++ memory.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "export/arrow/abi.hpp"
#include "python/capi.hpp"

namespace quarlet::py {

// The value types a field may have, each with the Python values it takes.
enum class RowType : uint8_t {
  Bool,         // bool
  Int64,        // int (not bool)
  UInt64,       // int (not bool), 0 .. 2**64-1
  Float64,      // float, or int (not bool)
  Utf8,         // str
  Binary,       // bytes, bytearray, memoryview
  TimestampUs,  // int: microseconds since 1970-01-01 UTC
  ListUtf8,     // list or tuple of str (no None inside)
};

// The type named `name` ("bool", "int64", ... "list_utf8") into *out.
// False for any other name.
bool row_type_from_name(std::string_view name, RowType* out);

// The names of every type, comma separated, for messages.
extern const char kRowTypeNames[];

// One output column.
struct RowField {
  std::string name;       // UTF-8, holds no NUL
  RowType type;
  std::string type_name;  // the type's name, for messages
  std::vector<std::pair<std::string, std::string>> metadata;  // UTF-8 key, value
};

using RowFields = std::vector<RowField>;

// Fills *out with a struct schema of `fields` (every child nullable).
// `out` owns what it points to until its release callback runs, which needs
// no interpreter lock. May throw std::bad_alloc (then *out is untouched).
void export_row_schema(const RowFields& fields, ArrowSchema* out);

// Converts `batch` (a list or tuple holding one list or tuple of values per
// field, all of one length; None is null) into a struct array in *out,
// whose release callback needs no interpreter lock. `batch_index` numbers
// the batch in messages. Needs the interpreter lock. Returns 0, or an errno
// value with *error describing the fault (column, row, exception type and
// text): EINVAL for a value or shape the fields don't take, ENOMEM when
// memory runs out. No Python exception is left set either way.
int batch_to_array(const RowFields& fields, PyObject* batch, uint64_t batch_index, ArrowArray* out,
                   std::string* error);

}  // namespace quarlet::py
