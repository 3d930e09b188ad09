// Record layout: where the fixed, variable and tagged parts of a record lie,
// shared by the table reader, the catalog and the tree cursor.
//
//   0 u8 last fixed id F | 1 u8 last variable id V | 2 u16 variable offset array O
//   4.. fixed columns in id order, then the fixed-column null bitmap:
//       ceil(F/8) bytes ending at O (bit set = column is NULL)
//   O.. n = V-127 u16 end offsets (0x8000 = absent), relative to S = O + 2n
//   S.. variable data, then the tagged area T
//
// Positions are 64-bit and not checked against the record here: readers
// check each one before they read.
#pragma once

#include <cstdint>

#include "util/endian.hpp"

namespace quarlet {

struct RecordLayout {
  uint64_t length = 0;         // L
  uint32_t last_fixed = 0;     // F
  uint32_t last_variable = 0;  // V
  uint64_t var_offsets = 0;    // O: the variable-column offset array
  uint64_t var_count = 0;      // n: number of variable offset entries (V >= 128)
  uint64_t var_data = 0;       // S = O + 2n
  bool null_bitmap = false;    // the fixed-column null bitmap lies inside the record
  uint64_t bitmap_start = 0;   // O - ceil(F/8)

  explicit RecordLayout(ByteView d) : length(d.size()) {
    if (length >= 4) {
      last_fixed = d[0];
      last_variable = d[1];
      var_offsets = load_u16le(d.data() + 2);
    }
    var_count = last_variable >= 128 ? last_variable - 127 : 0;
    var_data = var_offsets + 2 * var_count;
    const uint64_t bitmap_size = (last_fixed + 7) / 8;
    null_bitmap = 4 + bitmap_size <= var_offsets && var_offsets <= length;
    bitmap_start = var_offsets - bitmap_size;
  }

  // Start of the tagged area T.
  uint64_t tagged_start(ByteView d) const {
    if (last_variable < 128) return var_offsets;
    if (length < var_data) return var_data;
    return var_data + (u16_at(d, var_data - 2) & 0x7FFF);
  }
};

// A header no record can have: shorter than 4 bytes, last variable id below
// 127, or a variable-area offset below 4 or past the record. Every record the
// engine writes passes; entries that fail are garbage (a torn page).
inline bool impossible_record_header(ByteView d) {
  if (d.size() < 4) return true;
  if (d[1] < 127) return true;
  const uint32_t offset = load_u16le(d.data() + 2);
  return offset < 4 || offset > d.size();
}

}  // namespace quarlet
