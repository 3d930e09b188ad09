// The database file header: the facts an examiner asks of it first (state,
// logs needed, times, writer), read from the header page and its shadow copy.
//
// Header page at file offset 0, shadow copy at offset page_size; all
// integers little-endian. Offsets read:
//
//   0 checksum        4 signature        8 format version   12 file type
//   16 database time (u64)              28 creation time (LOGTIME)
//   52 state          56 consistent position (LGPOS)        64 consistent time
//   72 attach time    80 attach position  88 detach time     96 detach position
//   212 last object id                   216..228 Windows major, minor, build,
//   service pack      232 format revision  236 page size     240 repair count
//   244 repair time   296 required log generations, lowest and highest
//   340 / 344 format version / revision at creation           416 committed log
//
// LOGTIME: 8 bytes: second, minute, hour, day, month, year - 1900, then two
// bytes that are not part of the time. A year byte of 0 means "not set".
// LGPOS: 8 bytes: u16 byte offset in the sector, u16 sector, u32 generation.
#pragma once

#include <array>
#include <cstdint>

#include "util/endian.hpp"

namespace quarlet {

// The bytes the header checksum covers, and thus the size of one header copy.
constexpr uint64_t kHeaderChecksummedBytes = 4096;

// Values of the header's state field.
enum class DatabaseState : uint32_t {
  JustCreated = 1,
  DirtyShutdown = 2,
  CleanShutdown = 3,
  BeingConverted = 4,
  ForceDetach = 5,
};

// The text of a state value ("dirty shutdown"), or null when it has none.
const char* state_name(uint32_t state);

// A LOGTIME as stored. The time is UTC.
struct LogTime {
  std::array<uint8_t, 8> raw{};  // the stored bytes

  uint32_t second() const { return raw[0]; }
  uint32_t minute() const { return raw[1]; }
  uint32_t hour() const { return raw[2]; }
  uint32_t day() const { return raw[3]; }
  uint32_t month() const { return raw[4]; }
  uint32_t year() const { return 1900u + raw[5]; }
  // False when the year byte is 0: the engine never set this time.
  bool is_set() const { return raw[5] != 0; }
  // True when set and a real calendar date and time of day (no month 13,
  // no 31 April, no second 60).
  bool is_valid() const;
};

// A log position: a byte in a sector of one log generation.
struct LogPosition {
  uint32_t generation = 0;
  uint16_t sector = 0;
  uint16_t offset = 0;  // byte offset in the sector
};

struct HeaderFacts {
  uint32_t file_type = 0;  // 0 database, 1 streaming file
  uint32_t state = 0;      // see DatabaseState
  uint32_t format_version = 0;
  uint32_t format_revision = 0;
  uint32_t creation_format_version = 0;
  uint32_t creation_format_revision = 0;
  uint32_t page_size = 0;
  uint64_t database_time = 0;  // a counter of the engine, not a clock
  uint32_t last_object_id = 0;
  uint32_t windows_major = 0;  // Windows version of the writer
  uint32_t windows_minor = 0;
  uint32_t windows_build = 0;
  uint32_t windows_service_pack = 0;
  LogTime creation_time;
  LogTime consistent_time;
  LogTime attach_time;
  LogTime detach_time;
  LogPosition consistent_position;
  LogPosition attach_position;
  LogPosition detach_position;
  uint32_t required_log_low = 0;   // lowest log generation needed, 0 = none
  uint32_t required_log_high = 0;  // highest log generation needed, 0 = none
  uint32_t committed_log = 0;
  uint32_t repair_count = 0;
  LogTime repair_time;
  uint32_t checksum_stored = 0;    // header checksum field
  uint32_t checksum_computed = 0;  // checksum of the header bytes
  bool shadow_present = false;     // the file holds the shadow copy
  bool shadow_checksum_ok = false; // the shadow's own checksum holds
  bool shadow_matches = false;     // the shadow's bytes equal the header's

  bool checksum_ok() const { return checksum_stored == checksum_computed; }
};

// The header facts of a file whose bytes are `file`. Reads the header copy
// at offset 0 and the shadow at offset page_size (the page size as stored);
// nothing else. Every field past the end of the file reads as 0; a file too
// short for the shadow copy has shadow_present false.
HeaderFacts parse_header(ByteView file);

}  // namespace quarlet
