// One record as one JSON object: members sorted by the keys' UTF-8 bytes,
// no whitespace, raw UTF-8, hex strings for binary values, shortest
// round-trip floats (fixed notation for exponents -5..15, else scientific).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "record/value.hpp"

namespace quarlet {

// Appends the JSON text of `v`.
void append_json_value(std::string& out, const ColumnValue& v);
// Appends `s` (UTF-8) as a JSON string with the project's escaping rules.
void append_json_string(std::string& out, std::string_view s);
// Appends a finite double in the export's float format (NaN/inf give 0).
void append_json_double(std::string& out, double d);
// A finite double in its shortest round-trip digits: positional when its
// decimal exponent lies in [lowest_fixed_exponent, 15] (".0" on integers),
// else d[.ddd]e(+|-)X with at least `exponent_digits` exponent digits.
void append_shortest_double(std::string& out, double d, int lowest_fixed_exponent,
                            int exponent_digits);

// Key order for a table's records, computed once per table: positions into
// the record's fields in member order, with duplicates (equal key text) kept
// only for the last field, and the keys pre-escaped.
struct JsonKeyPlan {
  std::vector<uint32_t> order;     // field indexes in output order
  std::vector<std::string> keys;   // escaped "key": text per output member
  std::vector<const ColumnDef*> columns;  // the record fields the plan was built for
  static JsonKeyPlan build(const std::vector<const ColumnDef*>& columns);
  // True when `record` (a Record or a DecodedRecord: anything whose `fields`
  // carry a `column`) has exactly the fields the plan was built for.
  template <class RecordT>
  bool fits(const RecordT& record) const {
    if (record.fields.size() != columns.size()) return false;
    for (size_t i = 0; i < columns.size(); ++i) {
      if (record.fields[i].column != columns[i]) return false;
    }
    return true;
  }
};

// Appends the object text of `record` (no line feed). A record the plan does
// not fit is encoded with a plan built from its own fields.
void encode_record(std::string& out, const Record& record, const JsonKeyPlan& plan);
// Convenience form that builds the key plan from the record itself.
std::string encode_record(const Record& record);
// The column of each field of `record` (a Record or a DecodedRecord), in
// record order (input of build).
template <class RecordT>
std::vector<const ColumnDef*> record_columns(const RecordT& record) {
  std::vector<const ColumnDef*> columns;
  columns.reserve(record.fields.size());
  for (const auto& field : record.fields) columns.push_back(field.column);
  return columns;
}

}  // namespace quarlet
