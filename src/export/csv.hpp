// CSV rows of a table's records (RFC 4180): one cell per column in the
// table's column order, cells quoted when they hold a comma, a quote or a
// line break (quotes doubled), rows ended by CRLF.
//
// Cell text: empty for null; true / false; integers in decimal; floats as
// their shortest round-trip text (fixed notation for exponents -4..15, else
// d.ddde±XX; nan, inf, -inf); bytes as lowercase hex; text as it is; in the
// decoded view dates as ISO 8601 (naive UTC) and multi-valued columns as
// compact JSON arrays. With `excel_safe`, a text cell (a name, a text or a
// GUID) that starts with =, +, -, @, tab or carriage return gets a leading
// ' so that spreadsheets do not read it as a formula.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "decode/decoded_record.hpp"
#include "record/value.hpp"

namespace quarlet {

// Appends a double as its shortest round-trip text (the cell rule above).
void append_csv_double(std::string& out, double d);

// Appends `text` as one cell: without its trailing U+0000 and with any
// other U+0000 as U+FFFD (no cell holds a NUL byte), quoted when needed, the
// Excel-safe rule applied first when asked.
void append_csv_text_cell(std::string& out, std::string_view text, bool excel_safe);

// Appends the cell of one raw or decoded scalar value (dates as ISO 8601 in
// the decoded view).
void append_csv_value(std::string& out, const ColumnValue& v, bool decoded, bool excel_safe);

// The cells of one table's rows: which record field gives each column (the
// last field of a name, as a record read by name gives it) and the header.
struct CsvPlan {
  std::vector<uint32_t> fields;  // per header column, the field index
  std::string header;            // the header row, CRLF included
  // Columns by their fields (a record's fields, in record order).
  static CsvPlan build(const std::vector<const ColumnDef*>& columns, bool excel_safe);
};

// Appends one row (CRLF included).
void append_csv_row(std::string& out, const Record& record, const CsvPlan& plan, bool excel_safe);
void append_csv_row(std::string& out, const DecodedRecord& record, const CsvPlan& plan,
                    bool excel_safe);

}  // namespace quarlet
