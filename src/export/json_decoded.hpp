// One decoded record as one JSON object: the raw encoding's rules, with
// multi-valued columns as JSON arrays of their elements and DateTime values
// as ISO 8601 text ("YYYY-MM-DDTHH:MM:SS", ".ffffff" when the microseconds
// are not zero, then "+00:00": UTC), read as stored_date_to_utc reads them.
// A DateTime that is no date of the years 1601..9999 stays its raw integer.
#pragma once

#include <string>
#include <vector>

#include "decode/decoded_record.hpp"
#include "decode/ole_date.hpp"
#include "export/json.hpp"

namespace quarlet {

// Appends `parts` as ISO 8601 text with the UTC offset, without quotes.
void append_iso_datetime(std::string& out, const DateTimeParts& parts);

// Appends the JSON text of one decoded scalar.
void append_decoded_json_value(std::string& out, const ColumnValue& value);

// The column of each field of `record`, in record order.
std::vector<const ColumnDef*> decoded_record_columns(const DecodedRecord& record);

// Appends the object text of `record` (no line feed). `plan` must have been
// built for the record's columns; a record it does not fit is encoded with a
// plan built from its own fields.
void encode_decoded_record(std::string& out, const DecodedRecord& record, const JsonKeyPlan& plan);

}  // namespace quarlet
