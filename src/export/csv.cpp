// CSV cells and rows of raw and decoded records.
#include "export/csv.hpp"

#include <charconv>
#include <cmath>
#include <cstring>
#include <unordered_map>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "decode/ole_date.hpp"
#include "export/json.hpp"
#include "export/json_decoded.hpp"

namespace quarlet {

namespace {

template <class Int>
void append_int(std::string& out, Int v) {
  char buf[24];
  const auto r = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, static_cast<size_t>(r.ptr - buf));
}

void append_hex(std::string& out, const std::vector<uint8_t>& bytes) {
  const size_t at = out.size();
  out.resize(at + 2 * bytes.size());
  write_hex(bytes.data(), bytes.size(), out.data() + at);
}

// Whether a cell must be quoted: it holds a delimiter, a quote or a line break.
bool needs_quotes(std::string_view s) {
  const char* p = s.data();
  const char* const end = p + s.size();
#if defined(__SSE2__)
  // 16 bytes at a time: any of the four bytes in the block.
  const __m128i comma = _mm_set1_epi8(',');
  const __m128i quote = _mm_set1_epi8('"');
  const __m128i cr = _mm_set1_epi8('\r');
  const __m128i lf = _mm_set1_epi8('\n');
  for (; end - p >= 16; p += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i delimiters = _mm_or_si128(_mm_cmpeq_epi8(v, comma), _mm_cmpeq_epi8(v, quote));
    const __m128i breaks = _mm_or_si128(_mm_cmpeq_epi8(v, cr), _mm_cmpeq_epi8(v, lf));
    const __m128i hit = _mm_or_si128(delimiters, breaks);
    if (_mm_movemask_epi8(hit) != 0) return true;
  }
#endif
  for (; p < end; ++p) {
    const char c = *p;
    if (c == ',' || c == '"' || c == '\r' || c == '\n') return true;
  }
  return false;
}

bool formula_start(std::string_view s) {
  if (s.empty()) return false;
  const char c = s[0];
  return c == '=' || c == '+' || c == '-' || c == '@' || c == '\t' || c == '\r';
}

// The bytes of the value a multi-valued element's bytes hold.
const std::vector<uint8_t>* bytes_of(const ColumnValue& v) {
  if (const auto* b = std::get_if<BinaryValue>(&v)) return &b->bytes;
  if (const auto* m = std::get_if<MultiValueValue>(&v)) return &m->bytes;
  if (const auto* l = std::get_if<LongBinaryValue>(&v)) return &l->bytes;
  return nullptr;
}

// One element of a list cell as compact JSON: floats as in a cell, but
// NaN, Infinity and -Infinity for the values JSON has no number for.
void append_json_element(std::string& out, const ColumnValue& v) {
  double d = 0;
  if (const auto* f = std::get_if<float>(&v)) {
    d = static_cast<double>(*f);
  } else if (const auto* g = std::get_if<double>(&v)) {
    d = *g;
  } else {
    append_decoded_json_value(out, v);
    return;
  }
  if (std::isnan(d)) {
    out.append("NaN");
  } else if (std::isinf(d)) {
    out.append(d < 0 ? "-Infinity" : "Infinity");
  } else {
    append_csv_double(out, d);
  }
}

// Appends the cell of a scalar value (numbers, hex and dates never need
// quotes); false for a text value, whose cell follows the text rule and is
// not appended, with `*text` set.
bool append_scalar_cell(std::string& out, const ColumnValue& v, bool decoded,
                        std::string_view* text, char* guid) {
  switch (kind_of(v)) {
    case ValueKind::Null: return true;
    case ValueKind::Boolean: out.append(std::get<bool>(v) ? "true" : "false"); return true;
    case ValueKind::I8: append_int(out, static_cast<int>(std::get<int8_t>(v))); return true;
    case ValueKind::U8: append_int(out, static_cast<unsigned>(std::get<uint8_t>(v))); return true;
    case ValueKind::I16: append_int(out, static_cast<int>(std::get<int16_t>(v))); return true;
    case ValueKind::U16:
      append_int(out, static_cast<unsigned>(std::get<uint16_t>(v)));
      return true;
    case ValueKind::I32: append_int(out, std::get<int32_t>(v)); return true;
    case ValueKind::U32: append_int(out, std::get<uint32_t>(v)); return true;
    case ValueKind::I64: append_int(out, std::get<int64_t>(v)); return true;
    case ValueKind::U64: append_int(out, std::get<uint64_t>(v)); return true;
    case ValueKind::F32: append_csv_double(out, static_cast<double>(std::get<float>(v))); return true;
    case ValueKind::F64: append_csv_double(out, std::get<double>(v)); return true;
    case ValueKind::DateTime: {
      const uint64_t raw = std::get<DateTimeValue>(v).raw;
      if (decoded) {
        if (const std::optional<DateTimeParts> parts = stored_date_to_utc(raw)) {
          append_iso_datetime(out, *parts);
          return true;
        }
      }
      append_int(out, raw);
      return true;
    }
    case ValueKind::Currency: append_int(out, std::get<CurrencyValue>(v).raw); return true;
    case ValueKind::Guid:
      format_guid_into(std::get<GuidValue>(v).bytes.data(), guid);
      *text = std::string_view(guid, kGuidTextSize);
      return false;
    case ValueKind::Text:
      *text = std::get<TextValue>(v).utf8;
      return false;
    case ValueKind::Binary:
    case ValueKind::MultiValue:
    case ValueKind::LongBinary:
      append_hex(out, *bytes_of(v));
      return true;
  }
  return true;
}

// Appends the cell `prefix` + `cell`, quoted when needed (`prefix` needs no
// quotes itself).
void append_cell(std::string& out, std::string_view cell, std::string_view prefix = {}) {
  if (!needs_quotes(cell)) {
    out.append(prefix);
    out.append(cell);
    return;
  }
  out.push_back('"');
  out.append(prefix);
  for (char c : cell) {
    if (c == '"') out.push_back('"');
    out.push_back(c);
  }
  out.push_back('"');
}

// A row whose only cell is empty is written as "" so that it is not read
// as a blank line.
void end_row(std::string& out, size_t row_start, size_t cells) {
  if (cells == 1 && out.size() == row_start) out.append("\"\"");
  out.append("\r\n");
}

}  // namespace

void append_csv_double(std::string& out, double d) {
  if (std::isnan(d)) {
    out.append("nan");
    return;
  }
  if (std::isinf(d)) {
    out.append(d < 0 ? "-inf" : "inf");
    return;
  }
  // Python's own float text: positional from 1e-4 on, two exponent digits.
  append_shortest_double(out, d, -4, 2);
}

void append_csv_text_cell(std::string& out, std::string_view text, bool excel_safe) {
  // A cell never holds a NUL byte (tools reading CSV stop at it or fail):
  // trailing U+0000 are a string's terminator or a buffer's padding and
  // are left out; any other U+0000 is written as U+FFFD.
  while (!text.empty() && text.back() == '\0') text.remove_suffix(1);
  const std::string_view prefix = excel_safe && formula_start(text) ? "'" : "";
  if (text.find('\0') == std::string_view::npos) {
    append_cell(out, text, prefix);
    return;
  }
  std::string clean;
  clean.reserve(text.size() + 8);
  for (const char c : text) {
    if (c == '\0') {
      clean.append("\xEF\xBF\xBD");
    } else {
      clean.push_back(c);
    }
  }
  append_cell(out, clean, prefix);
}

void append_csv_value(std::string& out, const ColumnValue& v, bool decoded, bool excel_safe) {
  std::string_view text;
  char guid[kGuidTextSize];
  if (!append_scalar_cell(out, v, decoded, &text, guid)) {
    append_csv_text_cell(out, text, excel_safe);
  }
}

CsvPlan CsvPlan::build(const std::vector<const ColumnDef*>& columns, bool excel_safe) {
  CsvPlan plan;
  std::unordered_map<std::string_view, uint32_t> last;
  for (size_t i = 0; i < columns.size(); ++i) last[columns[i]->name] = static_cast<uint32_t>(i);
  for (size_t i = 0; i < columns.size(); ++i) {
    plan.fields.push_back(last[columns[i]->name]);
    if (i != 0) plan.header.push_back(',');
    append_csv_text_cell(plan.header, utf8_lossy(columns[i]->name), excel_safe);
  }
  end_row(plan.header, 0, columns.size());
  return plan;
}

void append_csv_row(std::string& out, const Record& record, const CsvPlan& plan,
                    bool excel_safe) {
  const size_t start = out.size();
  for (size_t i = 0; i < plan.fields.size(); ++i) {
    if (i != 0) out.push_back(',');
    append_csv_value(out, record.fields[plan.fields[i]].value, false, excel_safe);
  }
  end_row(out, start, plan.fields.size());
}

void append_csv_row(std::string& out, const DecodedRecord& record, const CsvPlan& plan,
                    bool excel_safe) {
  const size_t start = out.size();
  for (size_t i = 0; i < plan.fields.size(); ++i) {
    if (i != 0) out.push_back(',');
    const DecodedField& field = record.fields[plan.fields[i]];
    if (!field.is_list) {
      append_csv_value(out, field.value, true, excel_safe);
      continue;
    }
    std::string list = "[";
    for (size_t k = 0; k < field.elements.size(); ++k) {
      if (k != 0) list.push_back(',');
      append_json_element(list, field.elements[k]);
    }
    list.push_back(']');
    append_cell(out, list);
  }
  end_row(out, start, plan.fields.size());
}

}  // namespace quarlet
