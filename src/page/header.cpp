// Header facts from the header page and its shadow copy.
#include "page/header.hpp"

#include <algorithm>
#include <cstring>

#include "page/checksum.hpp"

namespace quarlet {

namespace {

// u32 at `off` of `v`, or 0 when it does not lie inside `v`.
uint32_t u32_at(ByteView v, uint64_t off) {
  return off + 4 <= v.size() ? load_u32le(v.data() + off) : 0;
}

uint64_t u64_at(ByteView v, uint64_t off) {
  return off + 8 <= v.size() ? load_u64le(v.data() + off) : 0;
}

LogTime time_at(ByteView v, uint64_t off) {
  LogTime t;
  if (off + 8 <= v.size()) std::memcpy(t.raw.data(), v.data() + off, 8);
  return t;
}

LogPosition position_at(ByteView v, uint64_t off) {
  LogPosition p;
  p.offset = u16_at(v, off);
  p.sector = u16_at(v, off + 2);
  p.generation = u32_at(v, off + 4);
  return p;
}

bool leap_year(uint32_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

}  // namespace

const char* state_name(uint32_t state) {
  switch (static_cast<DatabaseState>(state)) {
    case DatabaseState::JustCreated: return "just created";
    case DatabaseState::DirtyShutdown: return "dirty shutdown";
    case DatabaseState::CleanShutdown: return "clean shutdown";
    case DatabaseState::BeingConverted: return "being converted";
    case DatabaseState::ForceDetach: return "force detach";
  }
  return nullptr;
}

bool LogTime::is_valid() const {
  if (!is_set()) return false;
  if (second() > 59 || minute() > 59 || hour() > 23) return false;
  if (month() < 1 || month() > 12 || day() < 1) return false;
  static constexpr uint8_t kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  uint32_t days = kDays[month() - 1];
  if (month() == 2 && leap_year(year())) days = 29;
  return day() <= days;
}

HeaderFacts parse_header(ByteView file) {
  const ByteView h = file.first(static_cast<size_t>(std::min<uint64_t>(file.size(), kHeaderChecksummedBytes)));
  HeaderFacts f;
  f.format_version = u32_at(h, 8);
  f.file_type = u32_at(h, 12);
  f.database_time = u64_at(h, 16);
  f.creation_time = time_at(h, 28);
  f.state = u32_at(h, 52);
  f.consistent_position = position_at(h, 56);
  f.consistent_time = time_at(h, 64);
  f.attach_time = time_at(h, 72);
  f.attach_position = position_at(h, 80);
  f.detach_time = time_at(h, 88);
  f.detach_position = position_at(h, 96);
  f.last_object_id = u32_at(h, 212);
  f.windows_major = u32_at(h, 216);
  f.windows_minor = u32_at(h, 220);
  f.windows_build = u32_at(h, 224);
  f.windows_service_pack = u32_at(h, 228);
  f.format_revision = u32_at(h, 232);
  f.page_size = u32_at(h, 236);
  f.repair_count = u32_at(h, 240);
  f.repair_time = time_at(h, 244);
  f.required_log_low = u32_at(h, 296);
  f.required_log_high = u32_at(h, 300);
  f.creation_format_version = u32_at(h, 340);
  f.creation_format_revision = u32_at(h, 344);
  f.committed_log = u32_at(h, 416);

  const HeaderChecksum sum = header_checksum(h);
  f.checksum_stored = sum.stored;
  f.checksum_computed = sum.computed;

  // The shadow copy is one header's worth of bytes at offset page_size.
  const uint64_t at = f.page_size;
  if (at != 0 && at <= file.size() && file.size() - at >= h.size() && h.size() >= 8) {
    const ByteView shadow = file.subspan(static_cast<size_t>(at), h.size());
    f.shadow_present = true;
    f.shadow_checksum_ok = header_checksum(shadow).ok();
    f.shadow_matches = std::equal(shadow.begin(), shadow.end(), h.begin());
  }
  return f;
}

}  // namespace quarlet
