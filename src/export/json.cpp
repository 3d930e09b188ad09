// One record as one JSON object: escaped strings, exact integers, shortest
// round-trip floats, lowercase hex for binary values and sorted keys.
#include "export/json.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstring>
#include <numeric>
#include <type_traits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace quarlet {

namespace {

// kEscape[b]: 0 = copy the byte unchanged; otherwise the character after the
// backslash ('u' = \u00xx form).
constexpr std::array<char, 256> make_escape_table() {
  std::array<char, 256> t{};
  for (int b = 0; b < 0x20; ++b) t[b] = 'u';
  t['\b'] = 'b';
  t['\t'] = 't';
  t['\n'] = 'n';
  t['\f'] = 'f';
  t['\r'] = 'r';
  t['"'] = '"';
  t['\\'] = '\\';
  return t;
}
constexpr std::array<char, 256> kEscape = make_escape_table();

constexpr char kHexDigits[] = "0123456789abcdef";

template <class Int>
void append_integer(std::string& out, Int v) {
  char buf[24];
  auto r = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, static_cast<size_t>(r.ptr - buf));
}

// Appends `bytes` as a JSON string of lowercase hex digit pairs.
void append_hex_string(std::string& out, const std::vector<uint8_t>& bytes) {
  const size_t start = out.size();
  out.resize(start + 2 + 2 * bytes.size());
  char* p = out.data() + start;
  *p++ = '"';
  p = write_hex(bytes.data(), bytes.size(), p);
  *p = '"';
}

// Number of leading bytes of [p, end) that need no escape, counted 16 at a
// time; stops at the first block holding a control byte, '"' or '\\'.
inline size_t plain_prefix(const char* p, const char* end) {
  size_t n = 0;
#if defined(__SSE2__)
  const __m128i max_control = _mm_set1_epi8(0x1F);
  const __m128i quote = _mm_set1_epi8('"');
  const __m128i backslash = _mm_set1_epi8('\\');
  while (end - (p + n) >= 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + n));
    const __m128i special =
        _mm_or_si128(_mm_cmpeq_epi8(_mm_max_epu8(v, max_control), max_control),
                     _mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, backslash)));
    if (_mm_movemask_epi8(special) != 0) break;
    n += 16;
  }
#else
  (void)p;
  (void)end;
#endif
  return n;
}

}  // namespace

void append_json_string(std::string& out, std::string_view s) {
  out.push_back('"');
  const char* p = s.data();
  const char* end = p + s.size();
  const char* run = p;  // start of the bytes not yet copied
  for (; p != end; ++p) {
    p += plain_prefix(p, end);
    if (p == end) break;
    const uint8_t b = static_cast<uint8_t>(*p);
    const char e = kEscape[b];
    if (e == 0) continue;
    out.append(run, static_cast<size_t>(p - run));
    run = p + 1;
    if (e == 'u') {
      const char esc[6] = {'\\', 'u', '0', '0', kHexDigits[b >> 4], kHexDigits[b & 0xF]};
      out.append(esc, 6);
    } else {
      const char esc[2] = {'\\', e};
      out.append(esc, 2);
    }
  }
  out.append(run, static_cast<size_t>(end - run));
  out.push_back('"');
}

void append_shortest_double(std::string& out, double d, int lowest_fixed_exponent,
                            int exponent_digits) {
  if (d == 0.0) {
    out.append(std::signbit(d) ? "-0.0" : "0.0");
    return;
  }
  // Shortest round-trip digits in scientific form: [-]d[.ddd]e(+|-)XX.
  char sci[40];
  const auto r = std::to_chars(sci, sci + sizeof sci, d, std::chars_format::scientific);
  const char* p = sci;
  const char* const end = r.ptr;
  if (*p == '-') {
    out.push_back('-');
    ++p;
  }
  char digits[24];
  int n = 0;
  for (; p != end && *p != 'e'; ++p) {
    if (*p != '.' && n < static_cast<int>(sizeof digits)) digits[n++] = *p;
  }
  while (n > 1 && digits[n - 1] == '0') --n;  // shortest forms carry none; be safe
  int exponent = 0;
  bool exp_negative = false;
  if (p != end) ++p;  // 'e'
  if (p != end && (*p == '+' || *p == '-')) exp_negative = (*p++ == '-');
  for (; p != end; ++p) exponent = exponent * 10 + (*p - '0');
  if (exp_negative) exponent = -exponent;

  if (exponent >= lowest_fixed_exponent && exponent <= 15) {
    if (exponent >= n - 1) {  // an integer value
      out.append(digits, static_cast<size_t>(n));
      out.append(static_cast<size_t>(exponent - n + 1), '0');
      out.append(".0");
    } else if (exponent >= 0) {
      out.append(digits, static_cast<size_t>(exponent + 1));
      out.push_back('.');
      out.append(digits + exponent + 1, static_cast<size_t>(n - exponent - 1));
    } else {
      out.append("0.");
      out.append(static_cast<size_t>(-exponent - 1), '0');
      out.append(digits, static_cast<size_t>(n));
    }
    return;
  }
  out.push_back(digits[0]);
  if (n >= 2) {
    out.push_back('.');
    out.append(digits + 1, static_cast<size_t>(n - 1));
  }
  out.push_back('e');
  out.push_back(exponent > 0 ? '+' : '-');
  const int magnitude = exponent > 0 ? exponent : -exponent;
  if (exponent_digits >= 2 && magnitude < 10) out.push_back('0');
  append_integer(out, magnitude);
}

void append_json_double(std::string& out, double d) {
  if (!std::isfinite(d)) {
    out.push_back('0');
    return;
  }
  append_shortest_double(out, d, -5, 1);
}

void append_json_value(std::string& out, const ColumnValue& v) {
  switch (kind_of(v)) {
    case ValueKind::Null:
      out.append("null");
      return;
    case ValueKind::Boolean:
      out.append(std::get<bool>(v) ? "true" : "false");
      return;
    case ValueKind::I8:
      append_integer(out, static_cast<int>(std::get<int8_t>(v)));
      return;
    case ValueKind::U8:
      append_integer(out, static_cast<unsigned>(std::get<uint8_t>(v)));
      return;
    case ValueKind::I16:
      append_integer(out, static_cast<int>(std::get<int16_t>(v)));
      return;
    case ValueKind::U16:
      append_integer(out, static_cast<unsigned>(std::get<uint16_t>(v)));
      return;
    case ValueKind::I32:
      append_integer(out, std::get<int32_t>(v));
      return;
    case ValueKind::U32:
      append_integer(out, std::get<uint32_t>(v));
      return;
    case ValueKind::I64:
      append_integer(out, std::get<int64_t>(v));
      return;
    case ValueKind::U64:
      append_integer(out, std::get<uint64_t>(v));
      return;
    case ValueKind::F32:
      // Widening float to double is exact; the double is then formatted.
      append_json_double(out, static_cast<double>(std::get<float>(v)));
      return;
    case ValueKind::F64:
      append_json_double(out, std::get<double>(v));
      return;
    case ValueKind::DateTime:
      append_integer(out, std::get<DateTimeValue>(v).raw);
      return;
    case ValueKind::Currency:
      append_integer(out, std::get<CurrencyValue>(v).raw);
      return;
    case ValueKind::Guid: {
      // Hex digits and dashes: nothing to escape.
      char text[kGuidTextSize + 2];
      text[0] = '"';
      format_guid_into(std::get<GuidValue>(v).bytes.data(), text + 1);
      text[kGuidTextSize + 1] = '"';
      out.append(text, sizeof text);
      return;
    }
    case ValueKind::Binary:
      append_hex_string(out, std::get<BinaryValue>(v).bytes);
      return;
    case ValueKind::Text:
      append_json_string(out, std::get<TextValue>(v).utf8);
      return;
    case ValueKind::MultiValue:
      append_hex_string(out, std::get<MultiValueValue>(v).bytes);
      return;
    case ValueKind::LongBinary:
      append_hex_string(out, std::get<LongBinaryValue>(v).bytes);
      return;
  }
  out.append("null");  // unreachable: every variant is handled above
}

JsonKeyPlan JsonKeyPlan::build(const std::vector<const ColumnDef*>& columns) {
  const size_t count = columns.size();
  std::vector<std::string> texts(count);
  for (size_t i = 0; i < count; ++i) {
    if (columns[i] != nullptr) texts[i] = utf8_lossy(columns[i]->name);
  }
  // Stable sort by key bytes (std::string compares as unsigned bytes), so
  // equal keys stay in record order and the last of each run is the one kept.
  std::vector<uint32_t> idx(count);
  std::iota(idx.begin(), idx.end(), 0u);
  std::stable_sort(idx.begin(), idx.end(),
                   [&](uint32_t a, uint32_t b) { return texts[a] < texts[b]; });

  JsonKeyPlan plan;
  plan.columns = columns;
  plan.order.reserve(count);
  plan.keys.reserve(count);
  for (size_t i = 0; i < count; ++i) {
    if (i + 1 < count && texts[idx[i]] == texts[idx[i + 1]]) continue;
    std::string key;
    append_json_string(key, texts[idx[i]]);
    key.push_back(':');
    plan.order.push_back(idx[i]);
    plan.keys.push_back(std::move(key));
  }
  return plan;
}

void encode_record(std::string& out, const Record& record, const JsonKeyPlan& plan) {
  // A plan made for other fields would index or name them wrongly.
  if (!plan.fits(record)) {
    encode_record(out, record, JsonKeyPlan::build(record_columns(record)));
    return;
  }
  out.push_back('{');
  for (size_t i = 0; i < plan.order.size(); ++i) {
    if (i != 0) out.push_back(',');
    out.append(plan.keys[i]);
    append_json_value(out, record.fields[plan.order[i]].value);
  }
  out.push_back('}');
}

std::string encode_record(const Record& record) {
  std::string out;
  encode_record(out, record, JsonKeyPlan::build(record_columns(record)));
  return out;
}

}  // namespace quarlet
