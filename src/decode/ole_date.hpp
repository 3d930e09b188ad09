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

}  // namespace quarlet
