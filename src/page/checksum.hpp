// Page and header checksums: XOR of little-endian 32-bit words with a seed.
//
//   header (and its shadow):  u32 at 0 = XOR32(bytes 4..4096, 0x89ABCDEF)
//   page n, one block:        u32 at 0 = XOR32(bytes 8..end, n)
//                             (older form: XOR32(bytes 4..end, 0x89ABCDEF))
//   page n, 80-byte header:   four equal blocks; u32 at 0 = XOR32(bytes 8 to
//                             the end of block 0, n); block k = 1..3: u32 at
//                             40 + 8(k-1) = XOR32(all of block k, n)
//
// The other half of each 8-byte checksum field is an error-correcting code
// whose algorithm is not published; it is not interpreted. A page of zeros
// was never written: it is unused, not damaged.
#pragma once

#include <cstdint>

#include "util/endian.hpp"

namespace quarlet {

// XOR of `seed` and every little-endian 32-bit word of `bytes`; a trailing
// partial word is ignored.
uint32_t xor32(ByteView bytes, uint32_t seed);

// Verdict of one page's checksum.
enum class ChecksumVerdict : uint8_t { Sound, Unused, Bad };

struct PageChecksum {
  ChecksumVerdict verdict = ChecksumVerdict::Sound;
  uint8_t bad_blocks = 0;  // bit k set: block k fails (block 0 only for one-block pages)
};

// Checks page `number` whose bytes are `page` (one whole page). `blocks` is
// true for pages with the 80-byte header (four checksummed blocks).
PageChecksum check_page_checksum(ByteView page, uint32_t number, bool blocks);

// True when every checksum field of a page that is not all zeros holds zero
// (bytes 0..8, and 40..64 for pages with four blocks): the page was written
// without checksums, as every page of a temporary database is. Such a page
// fails check_page_checksum; callers that tell it apart from damage use this.
bool checksum_fields_blank(ByteView page, bool blocks);

// Stored and computed checksum of a header copy (at least 4096 bytes are
// covered when present; fewer when the copy is shorter).
struct HeaderChecksum {
  uint32_t stored = 0;
  uint32_t computed = 0;
  bool ok() const { return stored == computed; }
};
HeaderChecksum header_checksum(ByteView header);

}  // namespace quarlet
