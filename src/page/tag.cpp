// Page header parsing and tag slot decoding for both tag layouts.
#include "page/tag.hpp"

#include <algorithm>
#include <cstring>

namespace quarlet {

PageHeaderFormat header_format(uint32_t version, uint32_t revision) {
  if (version < 0x620 || (version == 0x620 && revision < 11)) return PageHeaderFormat::Legacy;
  if (version == 0x620 && revision <= 16) return PageHeaderFormat::Revised;
  return PageHeaderFormat::Extended;
}

bool is_large_layout(uint32_t version, uint32_t revision, uint32_t page_size) {
  return version == 0x620 && revision >= 17 && page_size > 8192;
}

Result<Page> parse_page(ByteView bytes, uint32_t version, uint32_t revision, uint32_t page_size) {
  Page page;
  page.format = header_format(version, revision);
  const uint64_t len = bytes.size();
  if (len < 40) return EseError::page_data_too_short(40, static_cast<uint32_t>(len));
  if (page.format == PageHeaderFormat::Extended && page_size > 8192) {
    if (len < 80) return EseError::page_data_too_short(80, static_cast<uint32_t>(len));
    std::memcpy(page.extension.data(), bytes.data() + 40, 40);
    page.header_size = 80;
  }
  const uint8_t* p = bytes.data();
  page.checksum = load_u64le(p);
  page.modification_time = load_u64le(p + 8);
  page.previous_page = load_u32le(p + 16);
  page.next_page = load_u32le(p + 20);
  page.owning_object = load_u32le(p + 24);
  page.available_data_size = load_u16le(p + 28);
  page.available_uncommitted_data_size = load_u16le(p + 30);
  page.first_available_data_offset = load_u16le(p + 32);
  page.available_tag_count = load_u16le(p + 34);
  page.flags = load_u32le(p + 36);
  page.bytes = bytes;
  return page;
}

uint16_t tag_count(ByteView b, uint32_t page_size) {
  const uint64_t len = b.size();
  if (len < 40) return 0;
  const uint16_t available = load_u16le(b.data() + 34) & 0x0FFF;
  if (page_size <= 8192) return available;
  const uint16_t data_size = load_u16le(b.data() + 28);
  uint16_t q = 0;
  if (data_size <= len) q = static_cast<uint16_t>((len - data_size) / 4);
  return std::min(available, q);
}

TagReader::TagReader(const Page& page, uint32_t v, uint32_t r, uint32_t ps)
    : bytes(page.bytes),
      header_size(page.header_size),
      version(v),
      revision(r),
      page_size(ps),
      count(tag_count(page.bytes, ps)),
      large(is_large_layout(v, r, ps)) {}

namespace {

// Slot of tag i decoded into (offset, size), after the count and slot checks.
struct Slot {
  uint32_t offset;
  uint32_t size;
  uint32_t w1;
};

Result<Slot> read_slot(const TagReader& r, uint16_t i) {
  if (i >= r.count) return EseError::invalid_tag_number(i);
  const uint64_t len = r.bytes.size();
  const uint64_t need = 4ull * (static_cast<uint64_t>(i) + 1);
  if (len < need) {
    return EseError::page_data_too_short(static_cast<uint32_t>(need), static_cast<uint32_t>(len));
  }
  const uint8_t* s = r.bytes.data() + (len - need);
  const uint16_t w0 = load_u16le(s);
  const uint16_t w1 = load_u16le(s + 2);
  const uint32_t mask = r.large ? 0x7FFF : 0x1FFF;
  return Slot{static_cast<uint32_t>(w1 & mask), static_cast<uint32_t>(w0 & mask), w1};
}

}  // namespace

Result<Tag> get_tag(const TagReader& r, uint16_t i) {
  auto slot = read_slot(r, i);
  if (!slot) return slot.error();
  const uint64_t len = r.bytes.size();
  const uint64_t start = static_cast<uint64_t>(r.header_size) + slot->offset;
  const uint64_t end = start + slot->size;
  if (end > len) {
    return EseError::tag_offset_out_of_bounds(slot->offset, slot->size,
                                              static_cast<uint32_t>(len));
  }
  Tag tag;
  tag.value = r.bytes.subspan(start, slot->size);
  if (r.large) {
    tag.flags = slot->size >= 2 ? static_cast<uint8_t>(tag.value[1] >> 5) : 0;
  } else {
    tag.flags = static_cast<uint8_t>(slot->w1 >> 13);
  }
  return tag;
}

Result<TagSpan> get_tag_span(const TagReader& r, uint16_t i) {
  if (!r.large) {
    auto tag = get_tag(r, i);
    if (!tag) return tag.error();
    return TagSpan{tag->flags, tag->value, false};
  }
  auto slot = read_slot(r, i);
  if (!slot) return slot.error();
  const uint64_t start = static_cast<uint64_t>(r.header_size) + slot->offset;
  const uint64_t end = start + slot->size;
  if (end > r.bytes.size() || slot->size == 0) return TagSpan{};
  TagSpan span;
  span.value = r.bytes.subspan(start, slot->size);
  if (slot->size >= 2) {
    span.flags = static_cast<uint8_t>(span.value[1] >> 5);
    span.strip_byte1 = true;
  }
  return span;
}

Result<TagOwned> get_tag_owned(const TagReader& r, uint16_t i) {
  auto span = get_tag_span(r, i);
  if (!span) return span.error();
  TagOwned tag;
  tag.flags = span->flags;
  tag.value.assign(span->value.begin(), span->value.end());
  if (span->strip_byte1) tag.value[1] &= 0x1F;
  return tag;
}

}  // namespace quarlet
