// Page header and tag array.
//
// A page starts with a 40-byte header (80 bytes for Extended pages of
// databases with pages above 8192 bytes) and ends with the tag array: 4-byte
// slots filled from the last byte backwards, tag i at [L-4(i+1), L-4i). Each
// slot locates one value (one B-tree entry) relative to the end of the header.
//
//   small layout:       size = w0 & 0x1FFF, offset = w1 & 0x1FFF, flags = w1 >> 13
//   large-page layout:  size = w0 & 0x7FFF, offset = w1 & 0x7FFF, flags are the
//                       top 3 bits of the value's second byte
//
// The large-page layout applies to format 0x620 revision 17+ with pages above
// 8192 bytes.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "error/error.hpp"
#include "util/endian.hpp"

namespace quarlet {

enum class PageHeaderFormat : uint8_t { Legacy, Revised, Extended };

// Page flag bits the reader interprets.
constexpr uint32_t kPageLeaf = 0x02;
constexpr uint32_t kPageSpaceTree = 0x20;
constexpr uint32_t kPageIndex = 0x40;
constexpr uint32_t kPageLongValue = 0x80;

struct Page {
  PageHeaderFormat format = PageHeaderFormat::Legacy;
  uint64_t checksum = 0;             // not interpreted
  uint64_t modification_time = 0;    // not interpreted
  uint32_t previous_page = 0;        // not interpreted
  uint32_t next_page = 0;            // right sibling on the same level, 0 = none
  uint32_t owning_object = 0;        // not interpreted
  uint16_t available_data_size = 0;  // bounds the tag count on large pages
  uint16_t available_uncommitted_data_size = 0;
  uint16_t first_available_data_offset = 0;
  uint16_t available_tag_count = 0;  // the raw 16-bit word at offset 34
  uint32_t flags = 0;                // page flags
  std::array<uint8_t, 40> extension{};  // header bytes 40..79 when present
  ByteView bytes;                    // the whole page, a view into the mapping
  uint32_t header_size = 40;         // 40 or 80
  uint32_t number = 0;               // page number, set by Database::read_page

  bool is_leaf() const { return (flags & kPageLeaf) != 0; }
};

PageHeaderFormat header_format(uint32_t version, uint32_t revision);

// Parses the header of `bytes`. Fails with PageDataTooShort when the bytes
// cannot hold the header.
Result<Page> parse_page(ByteView bytes, uint32_t version, uint32_t revision, uint32_t page_size);

bool is_large_layout(uint32_t version, uint32_t revision, uint32_t page_size);

// Usable tag count: the low 12 bits of the available tag count (newer
// builds keep other data in the top 4 bits), bounded on pages above 8192
// bytes by the space the available data size leaves for slots.
uint16_t tag_count(ByteView page_bytes, uint32_t page_size);

struct Tag {
  uint8_t flags = 0;  // 3 tag flag bits: 0x4 common key size present, 0x2 deleted
  ByteView value;     // view into the page
};

struct TagOwned {
  uint8_t flags = 0;
  std::vector<uint8_t> value;  // own copy; large layout: flag bits cleared
};

// The view through which the tags of one page are read.
struct TagReader {
  ByteView bytes;
  uint32_t header_size = 40;
  uint32_t version = 0;
  uint32_t revision = 0;
  uint32_t page_size = 0;
  uint16_t count = 0;  // tag_count of the page
  bool large = false;  // large-page layout

  TagReader() = default;
  TagReader(const Page& page, uint32_t version, uint32_t revision, uint32_t page_size);
};

// Tag i as a view. Large layout: the view's second byte still carries the flags.
Result<Tag> get_tag(const TagReader& reader, uint16_t i);
// Tag i as an owned copy. Large layout: flag bits removed from the copy, and a
// value past the page gives an empty tag with flags 0 instead of an error.
Result<TagOwned> get_tag_owned(const TagReader& reader, uint16_t i);

// Fast path used by the walks: tag i as a view plus its flags, with
// `strip_byte1` telling the caller that the value's second byte must be read
// with its top 3 bits cleared (large layout). Same outcomes as get_tag_owned
// in the large layout and get_tag in the small one, without copying.
struct TagSpan {
  uint8_t flags = 0;
  ByteView value;
  bool strip_byte1 = false;
};
Result<TagSpan> get_tag_span(const TagReader& reader, uint16_t i);

}  // namespace quarlet
