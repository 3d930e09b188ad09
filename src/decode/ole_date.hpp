// OLE Automation dates: a double counting days since 1899-12-30 00:00 UTC,
// whose fractional part is the time of day.
#pragma once

#include <cstdint>
#include <optional>

namespace quarlet {

struct DateTimeParts {
  int32_t year = 0;         // 1601..9999
  uint8_t month = 0;        // 1..12
  uint8_t day = 0;          // 1..31
  uint8_t hour = 0;         // 0..23
  uint8_t minute = 0;       // 0..59
  uint8_t second = 0;       // 0..59
  uint32_t microsecond = 0; // 0..999999

  bool operator==(const DateTimeParts&) const = default;
};

// Converts an OLE date to its calendar parts, rounded to the nearest
// microsecond. The whole part (truncated toward zero) counts days from
// 1899-12-30; the time of day is the absolute value of the fractional part,
// so -1.25 is 1899-12-29 06:00 and -0.5 equals 0.5. A time that rounds up to
// 24:00 becomes 00:00 of the next day. Returns nullopt for NaN, infinities,
// and dates outside the years 1601..9999.
std::optional<DateTimeParts> ole_date_to_utc(double days);

// The last FILETIME a date of year 9999 holds: 9999-12-31 23:59:59.9999999.
inline constexpr uint64_t kMaxFiletime = 2650467743999999999ULL;

// Converts a FILETIME (100 ns units since 1601-01-01 00:00 UTC) to its
// calendar parts, truncated to the microsecond. Nullopt past year 9999.
std::optional<DateTimeParts> filetime_to_utc(uint64_t ticks);

// The date a DateTime column's stored 64-bit value stands for. The column
// holds an OLE date (the bits of a double), but some applications store a
// FILETIME there instead. The two do not overlap: an OLE date of 1900 to
// 9999 read as an unsigned integer is above 4e18 (a date before 1899-12-30
// has the sign bit set), while a FILETIME of 1601 to 9999 is at most
// kMaxFiletime (2.65e18), and read as a double is below 1e-130 days, a
// time no application writes. So a value from 1 to kMaxFiletime is taken as
// a FILETIME and anything else as an OLE date; 0 stays the OLE date
// 1899-12-30. Nullopt when the value is neither a date of 1601..9999.
std::optional<DateTimeParts> stored_date_to_utc(uint64_t raw);

}  // namespace quarlet
