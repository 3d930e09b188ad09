// Decompression of compressed column values: the header byte selects the
// scheme (7-bit ASCII, 7-bit Unicode, XPRESS plain LZ77, LZ4 block).
//
// A compressed value is `H | data`; scheme = H >> 3:
//   1  7-bit ASCII    H & 7 = bits used in the last data byte, minus one
//   2  7-bit Unicode  same packing; each character becomes a UTF-16LE unit
//   3  XPRESS         u16 decompressed size, then a plain LZ77 stream
//   7  LZ4            u16 decompressed size, then an LZ4 block
// The low 3 bits of H carry nothing for XPRESS and LZ4 and are not checked.
// Schemes 0 and 4..6 (and anything above 7) are not decoded.
//
// Every decoder is bounded: it never reads outside its input, never writes
// more than the declared size, and reports damage instead of guessing. On
// failure the output vector is left as it was before the call (the append
// forms) or empty (the plain forms), so callers keep the raw bytes.
#pragma once

#include <cstdint>
#include <vector>

#include "util/endian.hpp"

namespace quarlet {

enum class DecompressStatus : uint8_t {
  Ok,             // output holds the decompressed value
  UnknownScheme,  // header names a scheme this decoder does not implement
  Damaged,        // known scheme, but the data does not decode consistently
};

// Compression scheme numbers (the header byte shifted right by 3).
inline constexpr uint8_t kScheme7BitAscii = 1;
inline constexpr uint8_t kScheme7BitUnicode = 2;
inline constexpr uint8_t kSchemeXpress = 3;
inline constexpr uint8_t kSchemeScrub = 4;
inline constexpr uint8_t kSchemeLz4 = 7;

inline uint8_t compression_scheme(uint8_t header) { return static_cast<uint8_t>(header >> 3); }

// Decompresses `payload` (header byte included) into `out`, replacing its
// contents. Empty payload: Damaged. On anything but Ok, `out` is empty.
DecompressStatus decompress_value(ByteView payload, std::vector<uint8_t>& out);

// As decompress_value, but appends to `out`; on failure `out` is restored to
// its size before the call.
DecompressStatus decompress_value_append(ByteView payload, std::vector<uint8_t>& out);

// Unpacks the 7-bit scheme: `payload` starts with the header byte H (only its
// low 3 bits are used). The character count comes from the bit count
// 8 * (L - 1) + (H & 7) + 1 of the L data bytes, never from L alone; leftover
// bits (fewer than 7) are padding. `unicode` emits each character as two
// bytes (c, 0). No data bytes gives an empty value. Fails only when `payload`
// is empty. Replaces the contents of `out`.
bool decode_7bit(ByteView payload, bool unicode, std::vector<uint8_t>& out);

// Decodes an XPRESS plain LZ77 stream (the bytes after H and the u16 size)
// whose decompressed length is declared as `size`. Allocates `size` bytes.
// Fails on a truncated match, a back-reference before the start of the
// output, output that would exceed `size`, or a result shorter than `size`.
// Replaces the contents of `out` (empty on failure).
bool xpress_decompress(ByteView stream, uint32_t size, std::vector<uint8_t>& out);

// Decodes an LZ4 block (the bytes after H and the u16 size) whose
// decompressed length is declared as `size`. Allocates `size` bytes. Fails on
// truncated lengths or offsets, offset 0, a back-reference before the start,
// output that would exceed `size`, or a result shorter than `size`. The block
// may end after a literal run or after a match. Replaces the contents of
// `out` (empty on failure).
bool lz4_decompress(ByteView block, uint32_t size, std::vector<uint8_t>& out);

}  // namespace quarlet
