// Leaf and branch entries: the values of B-tree page tags.
//
//   [u16 common key size, when tag flag 0x4] [u16 local key size (low 15 bits)]
//   [local key bytes] then leaf: record data to the end / branch: u32 child page
//
// Entries are views into the bytes they were decoded from; the caller keeps
// those bytes alive. `strip_byte1` reads the value's second byte with its top
// three bits cleared (large-page layout, where they hold the tag flags).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "error/error.hpp"
#include "page/tag.hpp"
#include "util/endian.hpp"

namespace quarlet {

// A hint to load the cache line holding `p`; never faults. Forced inline,
// as is every caller: a function whose only effect is a prefetch passes for
// one without effects, and GCC drops calls to it.
#if defined(__GNUC__) || defined(__clang__)
#define QUARLET_PREFETCH_INLINE [[gnu::always_inline]] inline
#else
#define QUARLET_PREFETCH_INLINE inline
#endif
QUARLET_PREFETCH_INLINE void prefetch_bytes(const uint8_t* p) {
#if defined(__GNUC__) || defined(__clang__)
  __builtin_prefetch(p, 0, 3);
#else
  (void)p;
#endif
}

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

// The tags of one leaf page, read as entries one after another: the page's
// bytes, slot mask, header size and layout taken out of the reader once, so
// a walk decoding tag after tag does no per-entry setup.
struct LeafTags {
  const uint8_t* base = nullptr;  // first byte of the page
  size_t length = 0;              // bytes in the page
  uint32_t header_size = 40;
  uint32_t mask = 0x1FFF;         // slot size and offset bits
  uint16_t count = 0;             // usable tags: the reader's count, bounded
                                  // by the slots the page has room for
  bool large = false;             // large-page layout

  LeafTags() = default;
  explicit LeafTags(const TagReader& reader)
      : base(reader.bytes.data()),
        length(reader.bytes.size()),
        header_size(reader.header_size),
        mask(reader.large ? 0x7FFF : 0x1FFF),
        count(static_cast<uint16_t>(std::min<size_t>(reader.count, reader.bytes.size() / 4))),
        large(reader.large) {}

  // Asks the processor to start loading the first bytes of tag i's value
  // (nothing when the slot or the value lies outside the page): a walk
  // calls it a few tags ahead so the loads of several entries overlap.
  QUARLET_PREFETCH_INLINE void prefetch(uint16_t i) const {
    if (i >= count) return;
    const uint8_t* s = base + (length - 4 * (static_cast<size_t>(i) + 1));
    const size_t start = header_size + (load_u16le(s + 2) & mask);
    if (start < length) prefetch_bytes(base + start);
  }

  // Tag i decoded as an entry into `out` (views into the page); false, with
  // `out` untouched, when the tag cannot be read, is empty or does not
  // decode. The same outcome as get_tag_span then decode_leaf_entry, with
  // no error values built on the way: the hot path of every tree walk.
  bool decode(uint16_t i, LeafEntry& out) const {
    if (i >= count) return false;
    const uint8_t* s = base + (length - 4 * (static_cast<size_t>(i) + 1));
    const uint32_t w1 = load_u16le(s + 2);
    const size_t size = load_u16le(s) & mask;
    const size_t start = header_size + (w1 & mask);
    // A value of fewer than 2 bytes (empty included) holds no key size.
    if (size < 2 || start + size > length) return false;
    const uint8_t* v = base + start;
    // Large layout: the value's second byte carries the tag flags in its top
    // three bits, cleared where it is read as part of a size.
    const uint8_t flags = large ? static_cast<uint8_t>(v[1] >> 5) : static_cast<uint8_t>(w1 >> 13);
    const uint32_t first = v[0] | (static_cast<uint32_t>(v[1] & (large ? 0x1F : 0xFF)) << 8);
    size_t p = 2;
    uint32_t declared = first;
    if (flags & 0x4) {
      if (size < 4) return false;
      declared = load_u16le(v + 2);
      p = 4;
      out.common_key_size = static_cast<uint16_t>(first);
    } else {
      out.common_key_size.reset();
    }
    const size_t take = std::min<size_t>(declared & 0x7FFF, size - p);
    out.key = ByteView(v + p, take);
    out.data = ByteView(v + p + take, size - p - take);
    out.local_key_size = static_cast<uint16_t>(take);
    out.tag_flags = flags;
    return true;
  }
};

// Tag i of a leaf page decoded as an entry into `out` (views into the page);
// false when the tag cannot be read, is empty or does not decode.
inline bool decode_leaf_tag(const TagReader& reader, uint16_t i, LeafEntry& out) {
  return LeafTags(reader).decode(i, out);
}

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
