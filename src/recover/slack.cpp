// Free regions of a page and the scan of one region for old records.
#include "recover/slack.hpp"

#include <algorithm>

namespace quarlet {

namespace {

// A run of zeros at least this long at the end of a region is space never
// written since the page was formatted, not the end of a value.
constexpr uint32_t kUnwrittenRun = 16;
// Longest key a node in free bytes is looked for with.
constexpr uint32_t kMaxNodeKey = 255;

// Start of the node whose record begins at `r`: the key-size field k bytes
// before the key that ends at `r`, for the smallest k >= 1 that fits after
// `floor`, and the common-key-size field before it when the page's nodes
// have one (a value from 1 to `max_common`); `r` itself when there is no
// key-size field. The top three bits of the first field are flags on large
// pages and are ignored.
uint32_t node_start(ByteView page, uint32_t r, uint32_t floor, uint32_t max_common, bool* found) {
  *found = false;
  if (r < floor + 3) return r;
  const uint32_t room = std::min<uint32_t>(kMaxNodeKey, r - floor - 2);
  for (uint32_t k = 1; k <= room; ++k) {
    if ((load_u16le(page.data() + r - 2 - k) & 0x1FFF) == k) {
      *found = true;
      uint32_t start = r - 2 - k;
      if (max_common > 0 && start >= floor + 2) {
        const uint32_t common = load_u16le(page.data() + start - 2) & 0x1FFF;
        if (common >= 1 && common <= max_common) start -= 2;
      }
      return start;
    }
  }
  return r;
}

}  // namespace

void free_regions(const TagReader& reader, std::vector<ByteRange>& spans,
                  std::vector<ByteRange>& out) {
  out.clear();
  spans.clear();
  const uint64_t size = reader.bytes.size();
  const uint64_t begin = reader.header_size;
  const uint64_t tags = 4 * static_cast<uint64_t>(reader.count);
  if (begin + tags >= size) return;
  const uint64_t end = size - tags;  // the tag array starts here
  for (uint16_t i = 0; i < reader.count; ++i) {
    auto tag = get_tag_span(reader, i);
    if (!tag.ok() || tag->value.empty()) continue;
    const uint64_t start = static_cast<uint64_t>(tag->value.data() - reader.bytes.data());
    spans.push_back({static_cast<uint32_t>(start),
                     static_cast<uint32_t>(start + tag->value.size())});
  }
  const auto by_begin = [](const ByteRange& a, const ByteRange& b) { return a.begin < b.begin; };
  if (!std::is_sorted(spans.begin(), spans.end(), by_begin)) {
    std::sort(spans.begin(), spans.end(), by_begin);
  }
  uint64_t at = begin;
  for (const ByteRange& s : spans) {
    if (s.begin > at && at < end) {
      out.push_back({static_cast<uint32_t>(at), static_cast<uint32_t>(std::min<uint64_t>(s.begin, end))});
    }
    at = std::max<uint64_t>(at, s.end);
  }
  if (at < end) out.push_back({static_cast<uint32_t>(at), static_cast<uint32_t>(end)});
}

uint32_t common_key_limit(const TagReader& reader) {
  // A page left with no entry has lost its key prefix too: its old nodes
  // may have shared one of any length.
  if (reader.count < 2) return kMaxNodeKey;
  auto tag0 = get_tag_span(reader, 0);
  if (!tag0.ok() || tag0->value.empty()) return 0;
  for (uint16_t i = 1; i < reader.count; ++i) {
    auto tag = get_tag_span(reader, i);
    if (tag.ok() && (tag->flags & 0x4) != 0) return static_cast<uint32_t>(tag0->value.size());
  }
  return 0;
}

void scan_region(const RecordShape& shape, ByteView page, ByteRange region, uint32_t max_common,
                 SlackScratch& scratch, std::vector<SlackRecord>& out) {
  const uint32_t a = region.begin;
  const uint32_t b = std::min<uint64_t>(region.end, page.size());
  if (a >= b || b - a < 5) return;

  // Every offset whose bytes open a record that fits the table.
  std::vector<SlackScratch::Candidate>& cand = scratch.candidates;
  cand.clear();
  for (uint32_t r = a; r + 4 <= b; ++r) {
    const ByteView rec = page.subspan(r, b - r);
    if (!shape.header_fits(rec)) continue;
    const uint64_t t = shape.variable_end(rec, rec.size());
    if (t == 0) continue;
    cand.push_back({r, static_cast<uint32_t>(r + t)});
  }
  if (cand.empty()) return;

  // The open end of a record with tagged data: the region's end, less a
  // trailing run of unwritten zeros.
  uint32_t open_end = b;
  while (open_end > a && page[open_end - 1] == 0) --open_end;
  if (b - open_end < kUnwrittenRun) open_end = b;

  uint32_t taken = a;  // records found so far end here
  for (size_t i = 0; i < cand.size(); ++i) {
    const uint32_t r = cand[i].begin;
    const uint32_t t = cand[i].var_end;
    if (r < taken) continue;
    const ByteView rec = page.subspan(r, b - r);
    uint32_t end = t;
    if (shape.tagged_start(rec, t - r, b - r)) {
      RecordShape::TaggedTail tail;
      if (!shape.tagged_fits(rec, t - r, b - r, &tail)) continue;
      // The record runs to the next credible node that starts after its last
      // value does, else to the open end of the region.
      const uint64_t last = r + tail.start;
      uint32_t limit = static_cast<uint32_t>(std::min<uint64_t>(b, std::max<uint64_t>(open_end, last + 1)));
      bool by_node = false;
      for (size_t j = i + 1; j < cand.size(); ++j) {
        bool linked = false;
        const uint32_t start = node_start(page, cand[j].begin, static_cast<uint32_t>(last), max_common,
                                          &linked);
        if (start > last) {
          by_node = start < limit;
          limit = std::min(limit, start);
          break;
        }
      }
      // UTF-16 text has an even length: a zero taken for unwritten space
      // belongs to the last character.
      const uint64_t value = last + (tail.flags_byte ? 1 : 0);
      if (!by_node && limit < b && limit >= value && (limit - value) % 2 == 1 &&
          shape.is_utf16_tagged(tail.id)) {
        ++limit;
      }
      if (!shape.tagged_fits(rec, t - r, limit - r, &tail)) continue;
      end = limit;
    } else if (rec[0] == 0 && rec[1] == 127) {
      continue;  // a record holding no column at all tells nothing
    }
    bool linked = false;
    node_start(page, r, taken, max_common, &linked);
    // A record of fixed columns alone is checked by its 4-byte header only:
    // it must also be the record of a node (its key-size field before it).
    if (!linked && rec[1] == 127 && end == t) continue;
    out.push_back({r, end, linked});
    taken = end;
  }
}

}  // namespace quarlet
