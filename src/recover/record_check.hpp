// Credibility of a candidate record against its table's catalog columns.
//
// A record (F = byte 0, V = byte 1, O = bytes 2-3) is credible for a table
// when:
//   header    V is 127 or names a variable column of the table (>= 128);
//             F is 0 or names a fixed column of the table; O = 4 + the sum
//             of the sizes of the fixed columns 1..F + ceil(F / 8), and
//             4 <= O <= length;
//   variable  the V - 127 end offsets at O rise and the last one ends inside
//             the record;
//   tagged    the tagged area after the variable data is empty, or its
//             4-byte entries have strictly rising ids that name tagged
//             columns of the table, and rising data offsets inside the record.
// Every live record of real databases passes the header rule; bytes that are
// not records (zeros, text, random bytes) almost never do, because O must
// equal one exact value.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "database/catalog.hpp"
#include "util/endian.hpp"

namespace quarlet {

// Which checks a recovered record passed (bits of RecoveredItem::checks).
enum RecordCheck : uint32_t {
  kCheckHeader = 0x01,      // F, V and O fit the table's columns
  kCheckVariable = 0x02,    // variable offsets rise and end inside the record
  kCheckTagged = 0x04,      // tagged ids rise and name columns; offsets inside
  kCheckChecksum = 0x08,    // the page holding the record passes its checksum
  kCheckKeyNotLive = 0x10,  // the entry's key is not held by the table's tree
  kCheckNodeKey = 0x20,     // a key-size field of an old node leads to the record
};
// All three layout checks: what makes a record credible.
constexpr uint32_t kCheckLayout = kCheckHeader | kCheckVariable | kCheckTagged;

// Name of each check bit, lowest bit first ("header", "variable", ...).
const char* record_check_name(uint32_t bit);

// What a table's columns allow in a record header, computed once per table.
class RecordShape {
 public:
  static RecordShape build(const TableDef& table, bool large_layout);

  // The header rule on the first 4 bytes of `d` (false when d is shorter).
  bool header_fits(ByteView d) const;
  // End of the variable data (the tagged area's start T) of a record whose
  // header fits, when its variable offsets rise and end at or before
  // `limit` (<= d.size()); 0 otherwise (T is never 0).
  uint64_t variable_end(ByteView d, uint64_t limit) const;
  // The last tagged value of a record: where it starts (its flags byte
  // included, relative to the record), its column id, whether it has a
  // flags byte.
  struct TaggedTail {
    uint64_t start = 0;
    uint32_t id = 0;
    bool flags_byte = false;
  };
  // The tagged rule for the bytes [t, limit) of `d`: empty, or an entry
  // array with rising ids of tagged columns and rising offsets inside.
  // `tail` (when given) describes the last value.
  bool tagged_fits(ByteView d, uint64_t t, uint64_t limit, TaggedTail* tail) const;
  // Whether the bytes at `t` open a tagged entry array (first id names a
  // tagged column, first offset a non-zero multiple of 4 inside `limit`).
  bool tagged_start(ByteView d, uint64_t t, uint64_t limit) const;
  // The layout checks a record of exactly `d` passes (kCheck* bits).
  uint32_t check(ByteView d) const;

  bool has_tagged() const { return !tagged_.empty(); }
  // Whether tagged column `id` holds UTF-16 text (code page 1200), whose
  // values have an even number of bytes.
  bool is_utf16_tagged(uint32_t id) const;
  // Tagged offsets: 15 bits and a flags byte on every value (large-page
  // layout), else 14 bits with 0x4000 marking a flags byte.
  bool large_layout() const { return large_; }

 private:
  bool is_tagged(uint32_t id) const;

  std::array<int32_t, 128> offset_of_f_{};  // O for each F; -1: F names no fixed column
  std::array<bool, 128> variable_{};        // id 128 + i is a variable column
  std::vector<uint32_t> tagged_;            // tagged column ids, ascending, unique
  std::vector<uint32_t> utf16_tagged_;      // those holding UTF-16 text, ascending
  bool large_ = false;                      // 15-bit tagged offsets, flags byte always
};

}  // namespace quarlet
