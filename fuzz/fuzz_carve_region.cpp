// Fuzz target for the UTF-16LE region scan: carve_region over the input as a
// page with region bounds, minimum length, hit limit and needle taken from
// the input's first bytes.
//
// Input: u32 start, u32 end, u8 min_chars, u8 max_hits, u8 needle length
// (mod 8), the needle, then the page. Checks every hit against the contract:
// even offset inside [start, min(end, page size)), at least min_chars
// printable ASCII characters matching the page's code units, the needle
// contained, offsets ascending, at most max_hits hits; and that a second scan
// appended to a full list adds nothing.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "database/carve.hpp"
#include "fuzz_common.hpp"

using namespace quarlet;
using quarlet::fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 11) return 0;
  const uint32_t start = load_u32le(data) % 70000;
  const uint32_t end = (data[4] & 1) ? 0xFFFFFFFFu : load_u32le(data + 4) % 70000;
  CarveSettings settings;
  settings.min_chars = data[8] % 40;
  settings.max_hits = data[9] % 16;
  const size_t needle_len = data[10] % 8;
  if (11 + needle_len > size) return 0;
  settings.needle.assign(reinterpret_cast<const char*>(data + 11), needle_len);
  const ByteView page(data + 11 + needle_len, size - 11 - needle_len);

  std::vector<CarveHit> hits;
  const Name table = "t";
  carve_region(7, page, start, end, "slack", 0x2, "leaf", &table, settings, hits);

  const uint32_t min_chars = std::max<uint32_t>(settings.min_chars, 2);
  const uint32_t max_hits = std::max<uint32_t>(settings.max_hits, 1);
  const uint64_t limit = std::min<uint64_t>(end, page.size());
  check(hits.size() <= max_hits);
  uint64_t previous_end = 0;
  for (const CarveHit& h : hits) {
    check(h.page == 7 && h.table == &table && h.slack_start == start && h.slack_end == end);
    check(h.offset % 2 == 0 && h.offset >= start);
    check(h.offset >= previous_end);
    const uint64_t stop = h.offset + 2 * static_cast<uint64_t>(h.text.size());
    check(stop <= limit);
    previous_end = stop;
    check(h.text.size() >= min_chars);
    for (size_t k = 0; k < h.text.size(); ++k) {
      const uint8_t lo = page[h.offset + 2 * k];
      const uint8_t hi = page[h.offset + 2 * k + 1];
      check(hi == 0 && lo >= 0x20 && lo <= 0x7E && static_cast<char>(lo) == h.text[k]);
    }
    if (!settings.needle.empty()) check(h.text.find(settings.needle) != std::string::npos);
  }
  if (hits.size() == max_hits) {
    carve_region(7, page, start, end, "slack", 0x2, "leaf", &table, settings, hits);
    check(hits.size() == max_hits);
  }
  return 0;
}
