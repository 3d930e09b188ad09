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

// Whether the node starting at `start` has its record at `r`: its key-size
// field (after a common-key-size field, when the node has one) says the key
// ends there. The top three bits of the first field are flags on large
// pages and are ignored.
bool record_of_node(ByteView page, uint32_t start, uint32_t r) {
  if (static_cast<uint64_t>(start) + 2 > r) return false;
  if (start + 2 + (load_u16le(page.data() + start) & 0x1FFF) == r) return true;
  return static_cast<uint64_t>(start) + 4 <= r &&
         start + 4 + (load_u16le(page.data() + start + 2) & 0x1FFF) == r;
}

}  // namespace

void node_bounds(const TagReader& reader, uint16_t first_free, NodeBounds& out) {
  out.removed = ByteRange{};
  const uint64_t size = reader.bytes.size();
  const uint64_t header = reader.header_size;
  const uint64_t live = 4 * static_cast<uint64_t>(reader.count);
  out.tag_array = static_cast<uint32_t>(std::min(size, header));
  out.first_free = out.tag_array;
  if (header + live >= size) return;
  out.tag_array = static_cast<uint32_t>(size - live);
  // Where the live values lie: the first free offset bounds data only when
  // every live value lies below it, as on every sound page.
  uint64_t live_end = header;
  for (uint16_t i = 0; i < reader.count; ++i) {
    auto tag = get_tag_span(reader, i);
    if (!tag.ok() || tag->value.empty()) continue;
    const uint64_t start = static_cast<uint64_t>(tag->value.data() - reader.bytes.data());
    live_end = std::max<uint64_t>(live_end, start + tag->value.size());
  }
  const uint64_t free_at = header + first_free;
  out.first_free = free_at >= live_end && free_at <= out.tag_array
                       ? static_cast<uint32_t>(free_at)
                       : out.tag_array;
  // The stale slot just below the live tag array: it names a value of at
  // least 2 bytes (the smallest node) inside the data area, below itself.
  const uint32_t mask = reader.large ? 0x7FFF : 0x1FFF;
  if (out.tag_array < header + 4) return;
  const uint64_t slot = out.tag_array - 4;
  const uint64_t length = load_u16le(reader.bytes.data() + slot) & mask;
  const uint64_t begin = header + (load_u16le(reader.bytes.data() + slot + 2) & mask);
  if (length < 2 || begin + length > slot) return;
  out.tag_array = static_cast<uint32_t>(slot);
  for (uint16_t i = 0; i < reader.count; ++i) {
    auto tag = get_tag_span(reader, i);
    if (!tag.ok() || tag->value.empty()) continue;
    const uint64_t start = static_cast<uint64_t>(tag->value.data() - reader.bytes.data());
    if (start < begin + length && begin < start + tag->value.size()) return;
  }
  out.removed = {static_cast<uint32_t>(begin), static_cast<uint32_t>(begin + length)};
}

void free_regions(const TagReader& reader, const NodeBounds& bounds,
                  std::vector<ByteRange>& spans, std::vector<ByteRange>& out) {
  out.clear();
  spans.clear();
  const uint64_t size = reader.bytes.size();
  const uint64_t begin = reader.header_size;
  const uint64_t tags = 4 * static_cast<uint64_t>(reader.count);
  if (begin + tags >= size) return;
  // The tag array starts here (with the stale slot just below it).
  const uint64_t end = std::min<uint64_t>(size - tags, bounds.tag_array);
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
                 const NodeBounds& bounds, SlackScratch& scratch, std::vector<SlackRecord>& out) {
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
    // Where the page says the record's node ends: the end of the stale node
    // holding it (exact), else the first free byte when it starts below it.
    uint32_t node_end = b;
    bool exact = false;
    const ByteRange node = bounds.removed;
    if (node.begin < r && t <= node.end && node.end <= b && node.begin >= a &&
        record_of_node(page, node.begin, r)) {
      node_end = node.end;
      exact = true;
    }
    if (!exact && r < bounds.first_free && t <= bounds.first_free && bounds.first_free < b) {
      node_end = bounds.first_free;
      exact = true;
    }
    ByteView rec = page.subspan(r, node_end - r);
    uint32_t end = t;
    RecordShape::TaggedTail tail;
    if (exact && shape.tagged_start(rec, t - r, node_end - r) &&
        !shape.tagged_fits(rec, t - r, node_end - r, &tail)) {
      // Tagged data past the node's end: the bound is not this record's.
      exact = false;
      node_end = b;
      rec = page.subspan(r, b - r);
    }
    if (shape.tagged_start(rec, t - r, node_end - r)) {
      if (!shape.tagged_fits(rec, t - r, node_end - r, &tail)) continue;
      // The record runs to the next credible node that starts after its last
      // value does, else to the end of its node, else to the open end of the
      // region.
      const uint64_t last = r + tail.start;
      uint32_t limit = exact ? node_end
                             : static_cast<uint32_t>(std::min<uint64_t>(
                                   b, std::max<uint64_t>(open_end, last + 1)));
      bool by_node = exact;
      for (size_t j = i + 1; j < cand.size(); ++j) {
        bool linked = false;
        const uint32_t start = node_start(page, cand[j].begin, static_cast<uint32_t>(last), max_common,
                                          &linked);
        if (start > last) {
          if (start < limit) {
            by_node = true;
            limit = start;
          }
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
