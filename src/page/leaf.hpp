// Leaf and branch entries: the values of B-tree page tags.
//
//   [u16 common key size, when tag flag 0x4] [u16 local key size (low 15 bits)]
//   [local key bytes] then leaf: record data to the end / branch: u32 child page
//
// Entries are views into the bytes they were decoded from; the caller keeps
// those bytes alive. `strip_byte1` reads the value's second byte with its top
// three bits cleared (large-page layout, where they hold the tag flags).
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "error/error.hpp"
#include "page/tag.hpp"
#include "util/endian.hpp"

namespace quarlet {

struct LeafEntry {
  ByteView key;                            // local key part (possibly shortened)
  ByteView data;                           // everything after the key
  std::optional<uint16_t> common_key_size; // present exactly when tag flag 0x4 is set
  uint16_t local_key_size = 0;             // number of key bytes taken
  uint8_t tag_flags = 0;                   // flags of the tag the entry came from
};

struct BranchEntry {
  ByteView key;
  uint32_t child_page = 0;  // 1..total_pages
  std::optional<uint16_t> common_key_size;
  uint16_t local_key_size = 0;  // the 15-bit value as stored
};

// Full key of a leaf entry: the first c bytes of the page's common key
// prefix (tag 0; `prefix_strip`: its second byte carries flag bits to clear),
// c = the entry's common key size capped at the prefix length (0 when it has
// none), then the entry's own key. Writes at most `limit` bytes to `out` and
// returns the full key's length.
size_t full_key(ByteView prefix, bool prefix_strip, const LeafEntry& entry, uint8_t* out,
                size_t limit);

// Tag i of a leaf page decoded as an entry into `out` (views into the page);
// false when the tag cannot be read, is empty or does not decode.
bool decode_leaf_tag(const TagReader& reader, uint16_t i, LeafEntry& out);

// The page's common key prefix (tag 0; empty when it cannot be read) and
// whether its second byte carries flag bits.
TagSpan key_prefix(const TagReader& reader);

// The full key of `entry`, on the page read through `reader`, into `out`.
void full_key(const TagReader& reader, const LeafEntry& entry, std::vector<uint8_t>& out);

Result<LeafEntry> decode_leaf_entry(uint8_t flags, ByteView value, bool strip_byte1 = false);

// `max_child_page` is the database's page count: a child outside
// 1..max_child_page is a Parse error.
Result<BranchEntry> decode_branch_entry(uint8_t flags, ByteView value, uint32_t max_child_page,
                                        bool strip_byte1 = false);

}  // namespace quarlet
