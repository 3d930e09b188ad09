// Column types and decoded column values.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "database/catalog.hpp"
#include "error/error.hpp"
#include "util/endian.hpp"

namespace quarlet {

enum class ColumnType : uint32_t {
  Null = 0,
  Boolean = 1,
  UnsignedByte = 2,
  SignedShort = 3,
  SignedLong = 4,
  Currency = 5,
  SingleFloat = 6,
  DoubleFloat = 7,
  DateTime = 8,
  Binary = 9,
  Text = 10,
  LongBinary = 11,
  LongText = 12,
  Obsolete = 13,
  UnsignedLong = 14,
  LongLong = 15,
  Guid = 16,
  UnsignedShort = 17,
  Max = 18,
};

// Display name of a column type number 0..18 ("" for others).
std::string_view column_type_name(uint32_t type);

// Distinct payload types so the variant index equals the variant order.
struct DateTimeValue { uint64_t raw; };
struct CurrencyValue { uint64_t raw; };
struct GuidValue { std::array<uint8_t, 16> bytes; };
struct BinaryValue { std::vector<uint8_t> bytes; };
struct TextValue { std::string utf8; };
struct MultiValueValue { std::vector<uint8_t> bytes; };
struct LongBinaryValue { std::vector<uint8_t> bytes; };

// The 19 variants, in contract order:
// Null, Boolean, I8, U8, I16, U16, I32, U32, I64, U64, F32, F64, DateTime,
// Currency, Guid, Binary, Text, MultiValue, LongBinary.
using ColumnValue =
    std::variant<std::monostate, bool, int8_t, uint8_t, int16_t, uint16_t, int32_t, uint32_t,
                 int64_t, uint64_t, float, double, DateTimeValue, CurrencyValue, GuidValue,
                 BinaryValue, TextValue, MultiValueValue, LongBinaryValue>;

enum class ValueKind : uint8_t {
  Null, Boolean, I8, U8, I16, U16, I32, U32, I64, U64, F32, F64,
  DateTime, Currency, Guid, Binary, Text, MultiValue, LongBinary,
};

inline ValueKind kind_of(const ColumnValue& v) { return static_cast<ValueKind>(v.index()); }

// One decoded row: column entries in ascending column id order. `column`
// points at the table's ColumnDef (its name is the key) and stays valid while
// the Database lives.
struct RecordField {
  const ColumnDef* column;
  ColumnValue value;
};
struct Record {
  std::vector<RecordField> fields;
};

// Decodes one column's bytes by its type. Non-empty data shorter than the
// type's width gives Binary with the bytes present. The only error is
// UnknownCodepage from text columns.
Result<ColumnValue> decode_value(ByteView data, const ColumnDef& column);

// decode_value with Null in place of its error (the record layer's rule).
ColumnValue decode_value_or_null(ByteView data, const ColumnDef& column);
// The same, constructed in place in `out` (which it replaces; a text or byte
// buffer `out` already holds for the same type is reused).
void decode_value_into(ByteView data, const ColumnDef& column, ColumnValue& out);

// 36-character lowercase 8-4-4-4-12 text of a stored GUID.
std::string format_guid(const uint8_t* bytes16);
// The same text written to out[0, kGuidTextSize) (no terminator).
constexpr size_t kGuidTextSize = 36;
void format_guid_into(const uint8_t* bytes16, char* out);

// Writes the 2 * n lowercase hex digits of the bytes at `in` to `out`;
// returns the end of what it wrote.
char* write_hex(const uint8_t* in, size_t n, char* out);

}  // namespace quarlet
