// The one-pass index of a long-value tree and the joining of chunks.
#include "database/long_value.hpp"

#include <algorithm>
#include <cstring>
#include <optional>

#include "btree/cursor.hpp"

namespace quarlet {

namespace {

// Running state of one id width (4 or 8 key bytes) during the index build.
struct WidthScan {
  int width;
  bool seen = false;      // some earlier key of this width was read
  uint64_t max_id = 0;    // greatest id among those keys
  std::unordered_map<uint64_t, LongValueChunks>* ids;
  LongValueChunks* last = nullptr;  // value of the id filed last (map nodes are stable)
  uint64_t last_id = 0;
};

// Files one entry under its id for one width. `key` holds the first
// min(key_len, 12) bytes of the full key.
void index_entry(WidthScan& scan, const uint8_t* key, size_t key_len, ByteView data) {
  const size_t w = static_cast<size_t>(scan.width);
  if (key_len < w) return;
  const uint64_t id = w == 8 ? load_u64be(key) : load_u32be(key);
  // A scan for this id would already have stopped at an earlier greater key.
  const bool counts = !scan.seen || id >= scan.max_id;
  if (!scan.seen || id > scan.max_id) scan.max_id = id;
  scan.seen = true;
  if (!counts) return;
  // Chunks of one value are consecutive: skip the hash lookup for them.
  if (scan.last == nullptr || scan.last_id != id) {
    scan.last = &(*scan.ids)[id];
    scan.last_id = id;
  }
  LongValueChunks& value = *scan.last;
  if (key_len >= w + 4) {
    value.chunks.emplace_back(load_u32be(key + w), data);
  } else if (data.size() >= 8) {
    value.total_size = load_u32le(data.data() + 4);
  }
}

CursorOptions long_value_tree() {
  CursorOptions options;
  options.kind = TreeKind::LongValue;
  return options;
}

}  // namespace

LongValueIndex LongValueIndex::build(const Database& db, uint32_t root) {
  LongValueIndex index;
  index.db_ = &db;
  index.root_ = root;
  TreeStats stats;
  CursorOptions options = long_value_tree();
  options.stats = &stats;
  TreeCursor cursor(db, root, options);
  cursor.start_pages();
  // Failing before any leaf was read: the tree cannot be entered at all.
  if (!cursor.status().ok() || (!cursor.next_page() && !cursor.status().ok())) {
    index.descent_failed_ = stats.leaf_pages == 0;
  }
  return index;
}

struct LongValueIndex::Scan {
  Scan(const Database& db, uint32_t root, int width,
       std::unordered_map<uint64_t, LongValueChunks>& ids)
      : state{width, false, 0, &ids, nullptr, 0}, resident(db) {
    cursor.emplace(db, root, long_value_tree());
    cursor->start();
  }

  // Files entries until those of `id` are final: a key with a greater id
  // was read (no later entry of `id` would count), or the leaves ran out.
  void past(uint64_t id) {
    if (!cursor) return;
    uint8_t key[12];
    while (cursor->valid()) {
      if (state.seen && state.max_id > id) return;
      if (cursor->page().number != last_page) {
        last_page = cursor->page().number;
        // Resident pages are released every so often so that a large tree
        // does not stay resident.
        resident.page_read();
      }
      // Only the first 12 bytes of the full key (id and offset) are needed.
      const size_t key_len = cursor->key(key, sizeof key);
      index_entry(state, key, key_len, cursor->entry().data);
      cursor->next();
    }
    cursor.reset();  // the pass is over: its leaf list is no longer needed
  }

  WidthScan state;
  std::optional<TreeCursor> cursor;  // empty once every leaf was read
  ResidentBudget resident;
  uint32_t last_page = 0;
};

LongValueIndex::LongValueIndex() = default;
LongValueIndex::~LongValueIndex() = default;
LongValueIndex::LongValueIndex(LongValueIndex&&) noexcept = default;
LongValueIndex& LongValueIndex::operator=(LongValueIndex&&) noexcept = default;

const LongValueChunks* LongValueIndex::find(uint64_t id, int width) const {
  if (width != 4 && width != 8) return nullptr;
  if (descent_failed_ || db_ == nullptr) return nullptr;
  auto& ids = width == 8 ? ids64_ : ids32_;
  std::unique_ptr<Scan>& scan = width == 8 ? scan64_ : scan32_;
  if (!scan) scan = std::make_unique<Scan>(*db_, root_, width, ids);
  scan->past(id);
  auto it = ids.find(id);
  return it == ids.end() ? nullptr : &it->second;
}

std::span<const LongValueChunk> chunks_by_offset(const LongValueChunks& found,
                                                 std::vector<LongValueChunk>& storage) {
  const auto by_offset = [](const LongValueChunk& a, const LongValueChunk& b) {
    return a.first < b.first;
  };
  if (std::is_sorted(found.chunks.begin(), found.chunks.end(), by_offset)) return found.chunks;
  storage.assign(found.chunks.begin(), found.chunks.end());
  std::stable_sort(storage.begin(), storage.end(), by_offset);
  return storage;
}

uint64_t joined_size(const LongValueChunks& found) {
  uint64_t joined = 0;
  for (const auto& c : found.chunks) joined += c.second.size();
  return found.total_size && *found.total_size < joined ? *found.total_size : joined;
}

void join_chunks(std::span<const LongValueChunk> chunks, uint64_t size, std::vector<uint8_t>& out) {
  out.reserve(out.size() + size);
  const size_t end = out.size() + size;
  for (const LongValueChunk& c : chunks) {
    if (out.size() >= end) break;
    const size_t take = static_cast<size_t>(std::min<uint64_t>(c.second.size(), end - out.size()));
    out.insert(out.end(), c.second.begin(), c.second.begin() + take);
  }
}

size_t join_chunks_to(std::span<const LongValueChunk> chunks, uint64_t size, uint8_t* out) {
  size_t at = 0;
  for (const LongValueChunk& c : chunks) {
    if (at >= size) break;
    const size_t take = static_cast<size_t>(std::min<uint64_t>(c.second.size(), size - at));
    if (take != 0) std::memcpy(out + at, c.second.data(), take);
    at += take;
  }
  return at;
}

}  // namespace quarlet
