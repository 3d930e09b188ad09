// Record credibility rules: header, variable offsets and tagged entries
// against the table's columns.
#include "recover/record_check.hpp"

#include <algorithm>

namespace quarlet {

const char* record_check_name(uint32_t bit) {
  switch (bit) {
    case kCheckHeader:
      return "header";
    case kCheckVariable:
      return "variable";
    case kCheckTagged:
      return "tagged";
    case kCheckChecksum:
      return "checksum";
    case kCheckKeyNotLive:
      return "key_not_live";
    case kCheckNodeKey:
      return "node_key";
    default:
      return "";
  }
}

RecordShape RecordShape::build(const TableDef& table, bool large_layout) {
  RecordShape shape;
  shape.large_ = large_layout;
  std::array<bool, 128> fixed{};
  std::array<uint64_t, 128> size{};
  for (const auto& entry : table.columns) {
    const ColumnDef& c = entry.second;
    if (c.id >= 1 && c.id <= 127) {
      fixed[c.id] = true;
      size[c.id] += c.size;  // columns sharing an id both take room, as parsing does
    } else if (c.id >= 128 && c.id <= 255) {
      shape.variable_[c.id - 128] = true;
    } else if (c.id >= 256) {
      shape.tagged_.push_back(c.id);
      const bool text = c.column_type == 10 || c.column_type == 12;
      if (text && c.codepage.value_or(1252) == 1200) shape.utf16_tagged_.push_back(c.id);
    }
  }
  std::sort(shape.tagged_.begin(), shape.tagged_.end());
  std::sort(shape.utf16_tagged_.begin(), shape.utf16_tagged_.end());
  shape.tagged_.erase(std::unique(shape.tagged_.begin(), shape.tagged_.end()),
                      shape.tagged_.end());
  uint64_t sum = 0;
  for (uint32_t f = 0; f < 128; ++f) {
    if (f > 0) sum += size[f];
    const uint64_t o = 4 + sum + (f + 7) / 8;
    // F must name a column of the table; an O past 16 bits fits no record.
    shape.offset_of_f_[f] = (f == 0 || fixed[f]) && o <= 0xFFFF ? static_cast<int32_t>(o) : -1;
  }
  return shape;
}

bool RecordShape::is_tagged(uint32_t id) const {
  return std::binary_search(tagged_.begin(), tagged_.end(), id);
}

bool RecordShape::is_utf16_tagged(uint32_t id) const {
  return std::binary_search(utf16_tagged_.begin(), utf16_tagged_.end(), id);
}

bool RecordShape::header_fits(ByteView d) const {
  if (d.size() < 4) return false;
  const uint32_t f = d[0];
  const uint32_t v = d[1];
  if (f > 127 || offset_of_f_[f] < 0) return false;
  if (v != 127 && (v < 128 || !variable_[v - 128])) return false;
  const uint32_t o = load_u16le(d.data() + 2);
  return static_cast<int32_t>(o) == offset_of_f_[f] && o <= d.size();
}

uint64_t RecordShape::variable_end(ByteView d, uint64_t limit) const {
  const uint64_t o = load_u16le(d.data() + 2);
  const uint32_t v = d[1];
  if (v < 128) return o;
  const uint64_t n = v - 127;
  const uint64_t s = o + 2 * n;
  if (s > limit) return 0;
  uint64_t previous = 0;
  for (uint64_t j = 0; j < n; ++j) {
    const uint64_t end = load_u16le(d.data() + o + 2 * j) & 0x7FFF;
    if (end < previous) return 0;
    previous = end;
  }
  return s + previous <= limit ? s + previous : 0;
}

bool RecordShape::tagged_start(ByteView d, uint64_t t, uint64_t limit) const {
  if (tagged_.empty() || t + 4 > limit) return false;
  const uint16_t mask = large_ ? 0x7FFF : 0x3FFF;
  const uint64_t first = load_u16le(d.data() + t + 2) & mask;
  return is_tagged(load_u16le(d.data() + t)) && first >= 4 && first % 4 == 0 &&
         t + first <= limit;
}

bool RecordShape::tagged_fits(ByteView d, uint64_t t, uint64_t limit, TaggedTail* tail) const {
  if (tail != nullptr) *tail = TaggedTail{limit, 0, false};
  if (t == limit) return true;
  if (!tagged_start(d, t, limit)) return false;
  const uint16_t mask = large_ ? 0x7FFF : 0x3FFF;
  const uint64_t size = limit - t;
  const uint64_t count = (load_u16le(d.data() + t + 2) & mask) / 4;
  uint32_t previous_id = 0;
  uint64_t previous_offset = 0;
  bool previous_flags_byte = false;
  for (uint64_t k = 0; k < count; ++k) {
    const uint32_t id = load_u16le(d.data() + t + 4 * k);
    const uint16_t w = load_u16le(d.data() + t + 4 * k + 2);
    const uint64_t offset = w & mask;
    if ((k > 0 && id <= previous_id) || !is_tagged(id)) return false;
    if (offset < previous_offset || offset > size) return false;
    // A value that carries a flags byte holds at least that byte.
    if (k > 0 && previous_flags_byte && offset == previous_offset) return false;
    previous_id = id;
    previous_offset = offset;
    previous_flags_byte = large_ || (w & 0x4000) != 0;
  }
  if (previous_flags_byte && previous_offset == size) return false;
  if (tail != nullptr) *tail = TaggedTail{t + previous_offset, previous_id, previous_flags_byte};
  return true;
}

uint32_t RecordShape::check(ByteView d) const {
  if (!header_fits(d)) return 0;
  const uint64_t t = variable_end(d, d.size());
  if (t == 0) return kCheckHeader;
  if (!tagged_fits(d, t, d.size(), nullptr)) return kCheckHeader | kCheckVariable;
  return kCheckLayout;
}

}  // namespace quarlet
