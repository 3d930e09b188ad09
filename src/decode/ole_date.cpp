// OLE Automation date conversion to calendar date and time of day.
#include "decode/ole_date.hpp"

#include <cmath>
#include <cstring>

namespace quarlet {
namespace {

constexpr int64_t kMicrosPerDay = 86400LL * 1000000LL;
// Days from 1970-01-01 back to the OLE epoch 1899-12-30.
constexpr int64_t kOleEpochUnixDays = -25569;
// Whole-day counts well outside 1601..9999; anything beyond is rejected
// before it is converted to an integer.
constexpr double kMinDays = -120000.0;
constexpr double kMaxDays = 3000000.0;

// Civil date from days since 1970-01-01 (proleptic Gregorian calendar).
void civil_from_unix_days(int64_t z, int64_t* y, unsigned* m, unsigned* d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  *d = doy - (153 * mp + 2) / 5 + 1;
  *m = mp < 10 ? mp + 3 : mp - 9;
  *y = static_cast<int64_t>(yoe) + era * 400 + (*m <= 2 ? 1 : 0);
}

}  // namespace

std::optional<DateTimeParts> ole_date_to_utc(double days) {
  if (!std::isfinite(days) || days < kMinDays || days > kMaxDays) return std::nullopt;
  const double whole = std::trunc(days);
  const double fraction = std::fabs(days - whole);  // exact: subtracting the truncation loses nothing
  int64_t day_count = static_cast<int64_t>(whole);
  int64_t micros = std::llround(fraction * static_cast<double>(kMicrosPerDay));
  if (micros >= kMicrosPerDay) {  // rounded up to midnight
    micros -= kMicrosPerDay;
    day_count += 1;
  }

  int64_t year = 0;
  unsigned month = 0;
  unsigned day = 0;
  civil_from_unix_days(day_count + kOleEpochUnixDays, &year, &month, &day);
  if (year < 1601 || year > 9999) return std::nullopt;

  DateTimeParts parts;
  parts.year = static_cast<int32_t>(year);
  parts.month = static_cast<uint8_t>(month);
  parts.day = static_cast<uint8_t>(day);
  const int64_t seconds = micros / 1000000;
  parts.microsecond = static_cast<uint32_t>(micros % 1000000);
  parts.hour = static_cast<uint8_t>(seconds / 3600);
  parts.minute = static_cast<uint8_t>(seconds / 60 % 60);
  parts.second = static_cast<uint8_t>(seconds % 60);
  return parts;
}

std::optional<DateTimeParts> filetime_to_utc(uint64_t ticks) {
  if (ticks > kMaxFiletime) return std::nullopt;
  const uint64_t micros = ticks / 10;
  constexpr uint64_t kMicrosPerDayU = static_cast<uint64_t>(kMicrosPerDay);
  // Days from 1601-01-01 back to 1970-01-01.
  constexpr int64_t kFiletimeEpochUnixDays = -134774;
  int64_t year = 0;
  unsigned month = 0;
  unsigned day = 0;
  civil_from_unix_days(static_cast<int64_t>(micros / kMicrosPerDayU) + kFiletimeEpochUnixDays,
                       &year, &month, &day);
  const uint64_t in_day = micros % kMicrosPerDayU;
  const uint64_t seconds = in_day / 1000000;
  DateTimeParts parts;
  parts.year = static_cast<int32_t>(year);
  parts.month = static_cast<uint8_t>(month);
  parts.day = static_cast<uint8_t>(day);
  parts.hour = static_cast<uint8_t>(seconds / 3600);
  parts.minute = static_cast<uint8_t>(seconds / 60 % 60);
  parts.second = static_cast<uint8_t>(seconds % 60);
  parts.microsecond = static_cast<uint32_t>(in_day % 1000000);
  return parts;
}

std::optional<DateTimeParts> stored_date_to_utc(uint64_t raw) {
  if (raw != 0 && raw <= kMaxFiletime) return filetime_to_utc(raw);
  double days;
  static_assert(sizeof days == sizeof raw);
  std::memcpy(&days, &raw, sizeof days);
  return ole_date_to_utc(days);
}

}  // namespace quarlet
