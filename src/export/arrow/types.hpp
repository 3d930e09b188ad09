// Arrow types and schema of a table's columns: the Arrow type each column
// maps to in the raw and the decoded view, format strings, and the schema
// struct of a batch.
#pragma once

#include <cstdint>
#include <vector>

#include "database/catalog.hpp"
#include "export/arrow/abi.hpp"

namespace quarlet {

// Catalog column flag of a multi-valued column (checked on real databases:
// every column holding a multi-valued entry carries it).
inline constexpr uint32_t kColumnMultiValued = 0x8;

// The Arrow types a column maps to.
enum class ArrowType : uint8_t {
  Null, Bool, UInt8, Int16, UInt16, Int32, UInt32, Int64, UInt64, Float32, Float64,
  Utf8, Binary, TimestampUs,
};

// One column of a batch: its catalog definition and Arrow type; a list
// column holds lists of `type`.
struct ArrowColumn {
  const ColumnDef* column = nullptr;
  ArrowType type = ArrowType::Null;
  bool is_list = false;
};

// The Arrow type of a column in the raw view (the values TableRecords
// gives; multi-valued columns as their stored bytes, but text columns as
// text) or the decoded one (DecodedTableRecords: dates as timestamps,
// signed Long long and Currency, multi-valued columns as lists).
ArrowColumn arrow_column(const ColumnDef& column, bool decoded);

// The Arrow format string of a type ("b", "C", "tsu:UTC", ...).
const char* arrow_format(ArrowType type);

// Microseconds since 1970-01-01 00:00 UTC of a DateTime column's stored
// value, read as stored_date_to_utc reads it (an OLE date, or a FILETIME);
// false when it is no date of the years 1601..9999.
bool stored_date_to_unix_micros(uint64_t raw, int64_t* out);

// The schema of a batch of `columns`: a struct with one nullable field per
// column, each carrying the metadata "ese.type" (the type's display name)
// and "ese.column_id".
void table_schema(const std::vector<ArrowColumn>& columns, ArrowSchema* out);

}  // namespace quarlet
