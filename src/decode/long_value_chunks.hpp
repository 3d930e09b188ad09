// Decompression of long values whose chunks are stored compressed in the
// long-value tree.
//
// A long value's root gives its logical (decompressed) size; each chunk is
// keyed by the logical offset of the bytes it supplies. A chunk supplies the
// bytes up to the next chunk's offset (the last one up to the total size). A
// chunk stored shorter than that is compressed: it begins with its own
// compression header and decodes to exactly the bytes it supplies. The record
// that references such a value carries no compression bit.
#pragma once

#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "util/endian.hpp"

namespace quarlet {

enum class LongValueDecode : uint8_t {
  NotCompressed,  // no chunk is stored compressed; keep the plainly joined bytes
  Decompressed,   // `out` holds the logical value
  Damaged,        // a compressed chunk, or the chunk layout, does not decode
};

// One chunk: its logical offset and its stored bytes.
using LongValueChunk = std::pair<uint32_t, ByteView>;

// Builds the logical value of `total_size` bytes from `chunks` sorted by
// offset. Returns NotCompressed when there are no chunks, `total_size` is 0,
// or every chunk is stored at least as long as the bytes it supplies.
// Otherwise the chunks must tile [0, total_size): the first at offset 0,
// offsets strictly increasing and below `total_size` (else Damaged); each
// compressed chunk must decode to exactly the bytes it supplies, and a plain
// chunk must not run into the next one (the last is cut at `total_size`).
// `out` holds the value only on Decompressed and is empty otherwise. Memory
// grows only as chunks decode; nothing of `total_size` is reserved up front.
LongValueDecode decompress_long_value(std::span<const LongValueChunk> chunks, uint32_t total_size,
                                      std::vector<uint8_t>& out);

}  // namespace quarlet
