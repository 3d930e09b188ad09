// Shared pieces of the fuzz targets: contract checks (a broken contract
// aborts, so libFuzzer reports it like a crash and keeps the input) and a
// column definition read from input bytes.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <string>

#include "database/catalog.hpp"
#include "util/endian.hpp"

namespace quarlet::fuzz {

inline void check(bool condition) {
  if (!condition) std::abort();
}

// Bytes read by fuzzed_column.
constexpr size_t kColumnBytes = 5;

// Column number `i` from 5 input bytes: u16 id, type (mod 20, so 19 is an
// unknown type), code page (top bit set: one of eight, known and unknown),
// declared size.
inline ColumnDef fuzzed_column(const uint8_t* p, size_t i) {
  static constexpr uint32_t kCodepages[] = {1200, 1252, 20127, 65001, 0, 437, 1250, 12000};
  ColumnDef c;
  c.id = load_u16le(p);
  c.column_type = p[2] % 20;
  if (p[3] & 0x80) c.codepage = kCodepages[p[3] & 7];
  c.size = p[4];
  c.name = "c" + std::to_string(i);
  return c;
}

}  // namespace quarlet::fuzz
