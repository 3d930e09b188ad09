// B-tree walks over the mapped pages: the whole-tree walk, the leftmost
// descent, the leaf cursor and the one-pass index of a long-value tree.
//
// Every walk decodes entries from tag views; in the large-page layout the
// value's second byte is read with its three flag bits cleared (strip_byte1),
// so keys, child pages and long values are never misread. No walk recurses,
// and each one remembers the pages it has entered, so damaged child or
// next-page links that form cycles end the walk instead of looping.
#include "database/tree.hpp"

#include <algorithm>
#include <cstdint>
#include <string>

namespace quarlet {

namespace {

// Tag flag 0x2: the engine has deleted the node and not yet cleaned it up.
constexpr uint8_t kTagDeleted = 0x2;
// A leaf page whose flags also carry space-tree, index or long-value bits
// holds no table or catalog records.
constexpr uint32_t kRecordPageMask = kPageLeaf | kPageSpaceTree | kPageIndex | kPageLongValue;

bool holds_records(const Page& page) { return (page.flags & kRecordPageMask) == kPageLeaf; }

// Decodes tag i of a leaf page as a live leaf entry. Returns false when the
// tag cannot be read, is empty, does not decode or is deleted. The entry's
// views point into the page.
bool live_leaf_entry(const TagReader& reader, uint16_t i, LeafEntry* out) {
  auto tag = get_tag_span(reader, i);
  if (!tag.ok() || tag->value.empty()) return false;
  auto entry = decode_leaf_entry(tag->flags, tag->value, tag->strip_byte1);
  if (!entry.ok() || (entry->tag_flags & kTagDeleted) != 0) return false;
  *out = *entry;
  return true;
}

// Runs the visitor over the live entries of one leaf page, tag 0 included.
Status leaf_pass(const Database& db, const Page& page, const LeafVisitor& visitor) {
  if ((page.flags & (kPageSpaceTree | kPageIndex | kPageLongValue)) != 0) return Status::Ok();
  const TagReader reader = db.tags(page);
  LeafEntry entry;
  for (uint16_t i = 0; i < reader.count; ++i) {
    if (!live_leaf_entry(reader, i, &entry)) continue;
    Status s = visitor(entry);
    if (!s.ok()) return s;
  }
  return Status::Ok();
}

// One branch page of walk_tree's explicit stack and the next tag to follow.
struct WalkFrame {
  Page page;
  TagReader reader;
  uint16_t next_tag = 0;
};

}  // namespace

Status walk_tree(const Database& db, uint32_t root, const LeafVisitor& visitor) {
  auto root_page = db.read_page(root);
  if (!root_page.ok()) return root_page.error();
  if (root_page->is_leaf()) return leaf_pass(db, *root_page, visitor);

  std::unordered_set<uint32_t> visited{root};
  std::vector<WalkFrame> stack;
  stack.push_back(WalkFrame{*root_page, db.tags(*root_page), 0});
  while (!stack.empty()) {
    WalkFrame& top = stack.back();
    if (top.next_tag >= top.reader.count) {
      stack.pop_back();
      continue;
    }
    const uint16_t i = top.next_tag++;
    auto tag = get_tag_span(top.reader, i);
    if (!tag.ok() || tag->value.empty()) continue;
    // Branch entries are followed whatever their tag flags.
    auto branch = decode_branch_entry(tag->flags, tag->value, db.total_pages(), tag->strip_byte1);
    if (!branch.ok()) continue;
    const uint32_t child = branch->child_page;
    if (!visited.insert(child).second) continue;
    auto child_page = db.read_page(child);
    if (!child_page.ok()) return child_page.error();
    if (child_page->is_leaf()) {
      Status s = leaf_pass(db, *child_page, visitor);
      if (!s.ok()) return s;
    } else {
      // `top` may dangle after this push; it is not used again.
      stack.push_back(WalkFrame{*child_page, db.tags(*child_page), 0});
    }
  }
  return Status::Ok();
}

Result<Page> first_leaf(const Database& db, uint32_t root) {
  auto first = db.read_page(root);
  if (!first.ok()) return first.error();
  Page page = *first;
  std::unordered_set<uint32_t> on_path{root};
  while (!page.is_leaf()) {
    const TagReader reader = db.tags(page);
    if (reader.count < 2) return page;
    // get_tag keeps the bounds error of a value past the page.
    auto tag = get_tag(reader, 1);
    if (!tag.ok()) return tag.error();
    auto branch = decode_branch_entry(tag->flags, tag->value, db.total_pages(), reader.large);
    if (!branch.ok()) return branch.error();
    const uint32_t child = branch->child_page;
    if (!on_path.insert(child).second) {
      return EseError::parse("Cycle in tree at page " + std::to_string(child));
    }
    auto next = db.read_page(child);
    if (!next.ok()) return next.error();
    page = *next;
  }
  return page;
}

LeafCursor::LeafCursor(const Database& db, Page page)
    : db_(&db), page_(page), reader_(db.tags(page)) {
  visited_.insert(page_.number);
  if (!holds_records(page_)) next_tag_ = reader_.count;
}

Result<std::optional<LeafEntry>> LeafCursor::next() {
  LeafEntry entry;
  for (;;) {
    while (next_tag_ >= reader_.count) {
      if (ended_) return std::optional<LeafEntry>();
      const uint32_t p = page_.next_page;
      if (p == 0 || visited_.count(p) != 0) {
        ended_ = true;
        return std::optional<LeafEntry>();
      }
      auto next_page = db_->read_page(p);
      // Nothing changes on failure: a later call tries the same page again.
      if (!next_page.ok()) return next_page.error();
      visited_.insert(p);
      page_ = *next_page;
      reader_ = db_->tags(page_);
      // A page that holds no records is passed over through its own link.
      next_tag_ = holds_records(page_) ? 1 : reader_.count;
    }
    const uint16_t i = next_tag_++;
    if (live_leaf_entry(reader_, i, &entry)) return std::optional<LeafEntry>(entry);
  }
}

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

}  // namespace

LongValueIndex LongValueIndex::build(const Database& db, uint32_t root) {
  LongValueIndex index;
  index.db_ = &db;

  // Descent along tag 1 to the leftmost leaf. Only an unreadable page fails
  // it; any other damage leaves the descent where it is.
  auto root_page = db.read_page(root);
  if (!root_page.ok()) {
    index.descent_failed_ = true;
    return index;
  }
  Page page = *root_page;
  uint32_t p = root;
  std::unordered_set<uint32_t> visited{root};
  while (!page.is_leaf()) {
    const TagReader reader = db.tags(page);
    if (reader.count < 2) break;
    auto tag = get_tag(reader, 1);
    if (!tag.ok()) break;
    auto branch = decode_branch_entry(tag->flags, tag->value, db.total_pages(), reader.large);
    if (!branch.ok()) break;
    if (!visited.insert(branch->child_page).second) break;
    auto child = db.read_page(branch->child_page);
    if (!child.ok()) {
      index.descent_failed_ = true;
      return index;
    }
    page = *child;
    p = branch->child_page;
  }
  index.first_leaf_ = p;
  return index;
}

void LongValueIndex::scan(int width) const {
  const Database& db = *db_;
  // One pass over the leaf level, filing every live entry under its id.
  WidthScan scan{width, false, 0, width == 8 ? &ids64_ : &ids32_, nullptr, 0};
  std::unordered_set<uint32_t> visited;
  LeafEntry entry;
  uint8_t key[12];
  uint32_t p = first_leaf_;
  // The scan reads every leaf of the tree once; its resident pages are
  // released every so often so a large tree does not stay resident.
  constexpr uint64_t kReleaseBytes = uint64_t{32} << 20;
  uint64_t scanned_bytes = 0;
  while (p != 0 && p <= db.total_pages() && visited.insert(p).second) {
    scanned_bytes += db.page_size();
    if (scanned_bytes >= kReleaseBytes) {
      db.release_resident();
      scanned_bytes = 0;
    }
    auto leaf = db.read_page(p);
    if (!leaf.ok() || !leaf->is_leaf()) break;
    const TagReader reader = db.tags(*leaf);
    // Tag 0: the key prefix the page's entries share.
    ByteView prefix;
    bool prefix_strip = false;
    if (reader.count > 0) {
      auto tag0 = get_tag_span(reader, 0);
      if (tag0.ok()) {
        prefix = tag0->value;
        prefix_strip = tag0->strip_byte1;
      }
    }
    for (uint16_t i = 1; i < reader.count; ++i) {
      if (!live_leaf_entry(reader, i, &entry)) continue;
      const size_t common =
          entry.common_key_size ? std::min<size_t>(*entry.common_key_size, prefix.size()) : 0;
      const size_t key_len = common + entry.key.size();
      // Only the first 12 bytes of the full key (id and offset) are needed.
      const size_t take = std::min<size_t>(key_len, sizeof key);
      for (size_t j = 0; j < take; ++j) {
        uint8_t b = j < common ? prefix[j] : entry.key[j - common];
        if (j == 1 && j < common && prefix_strip) b &= 0x1F;
        key[j] = b;
      }
      index_entry(scan, key, key_len, entry.data);
    }
    p = leaf->next_page;
  }
}

const LongValueChunks* LongValueIndex::find(uint64_t id, int width) const {
  if (width != 4 && width != 8) return nullptr;
  if (descent_failed_ || db_ == nullptr) return nullptr;
  bool& scanned = width == 8 ? scanned64_ : scanned32_;
  if (!scanned) {
    scan(width);
    scanned = true;
  }
  const auto& ids = width == 8 ? ids64_ : ids32_;
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

}  // namespace quarlet
