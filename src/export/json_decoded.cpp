// JSON text of decoded records: arrays for multi-values, ISO 8601 dates.
#include "export/json_decoded.hpp"

#include <cstring>

namespace quarlet {

namespace {

// Writes `v` as exactly `width` decimal digits (v < 10^width) at `p`;
// returns the end.
char* put_digits(char* p, uint32_t v, int width) {
  for (int i = width - 1; i >= 0; --i) {
    p[i] = static_cast<char>('0' + v % 10);
    v /= 10;
  }
  return p + width;
}

}  // namespace

void append_iso_datetime(std::string& out, const DateTimeParts& p) {
  // Formatted in place and appended once: dates are a hot path of the export.
  char buf[40];
  char* q = put_digits(buf, static_cast<uint32_t>(p.year), 4);
  *q++ = '-';
  q = put_digits(q, p.month, 2);
  *q++ = '-';
  q = put_digits(q, p.day, 2);
  *q++ = 'T';
  q = put_digits(q, p.hour, 2);
  *q++ = ':';
  q = put_digits(q, p.minute, 2);
  *q++ = ':';
  q = put_digits(q, p.second, 2);
  if (p.microsecond != 0) {
    *q++ = '.';
    q = put_digits(q, p.microsecond, 6);
  }
  // Decoded dates are UTC, and the text says so (as Python's isoformat of
  // an aware UTC datetime does).
  std::memcpy(q, "+00:00", 6);
  q += 6;
  out.append(buf, static_cast<size_t>(q - buf));
}

void append_decoded_json_value(std::string& out, const ColumnValue& value) {
  if (const auto* dt = std::get_if<DateTimeValue>(&value)) {
    if (const std::optional<DateTimeParts> parts = stored_date_to_utc(dt->raw)) {
      out.push_back('"');
      append_iso_datetime(out, *parts);
      out.push_back('"');
      return;
    }
  }
  append_json_value(out, value);
}

std::vector<const ColumnDef*> decoded_record_columns(const DecodedRecord& record) {
  return record_columns(record);
}

void encode_decoded_record(std::string& out, const DecodedRecord& record,
                           const JsonKeyPlan& plan) {
  if (!plan.fits(record)) {
    encode_decoded_record(out, record, JsonKeyPlan::build(record_columns(record)));
    return;
  }
  out.push_back('{');
  for (size_t i = 0; i < plan.order.size(); ++i) {
    if (i != 0) out.push_back(',');
    out.append(plan.keys[i]);
    const DecodedField& field = record.fields[plan.order[i]];
    if (!field.is_list) {
      append_decoded_json_value(out, field.value);
      continue;
    }
    out.push_back('[');
    for (size_t k = 0; k < field.elements.size(); ++k) {
      if (k != 0) out.push_back(',');
      append_decoded_json_value(out, field.elements[k]);
    }
    out.push_back(']');
  }
  out.push_back('}');
}

}  // namespace quarlet
