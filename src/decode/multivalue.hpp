// Splitting of multi-valued tagged column values into their elements, and the
// bits of a tagged value's flags byte.
//
// Offset-array form (flags 0x08 without 0x10): the payload P begins with N
// u16 words; word i holds the start of element i in P (bits 0..14) and bit 15
// marks element i as separated (a long-value id). N = start(0) / 2, element 0
// starting right after the array; element i ends where element i + 1 starts,
// the last one at the end of P.
//
// Two-value form (flags 0x18): P[0] is the size S of element 0, which is
// P[1 .. 1 + S); element 1 is the rest of P.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "util/endian.hpp"

namespace quarlet {

// Bits of a tagged value's flags byte.
inline constexpr uint8_t kTaggedLongValueType = 0x01;  // column is a long type (informational)
inline constexpr uint8_t kTaggedCompressed = 0x02;     // value (or element 0) is compressed
inline constexpr uint8_t kTaggedSeparated = 0x04;      // value is a long-value id
inline constexpr uint8_t kTaggedMultiValue = 0x08;     // offset-array multi-value
inline constexpr uint8_t kTaggedTwoValues = 0x10;      // two-value form (with 0x08)

struct MultiValueElement {
  ByteView bytes;           // the element as stored (a long-value id when separated)
  bool separated = false;   // bytes reference the table's long-value tree
  bool compressed = false;  // bytes start with a compression header
};

// Splits the payload `payload` (the bytes after the flags byte) of a value
// whose flags byte is `flags`. Elements are views into `payload`, in stored
// order. Returns nullopt when the flags name no multi-value form (0x08 clear)
// or the structure is inconsistent: empty payload, an odd or zero first
// start, an offset array running past the payload, a start past the payload
// or below the previous start, or a two-value size past the payload. Equal
// consecutive starts give an empty element. When `flags` has 0x02, element 0
// (and only element 0) is marked compressed, unless it is separated (the
// long-value data then carries its own compression). Bit 0x04 of `flags` is
// not looked at: a separated value is resolved before it is split.
std::optional<std::vector<MultiValueElement>> split_multivalue(uint8_t flags, ByteView payload);

}  // namespace quarlet
