// Recovery of deleted records: the page pass over each table's pages and
// the three sources (deleted entries, orphan pages, slack).
#include "recover/recovery.hpp"

#include <algorithm>
#include <cstring>

#include "btree/cursor.hpp"
#include "btree/page_map.hpp"
#include "page/checksum.hpp"
#include "page/leaf.hpp"
#include "recover/dropped.hpp"

namespace quarlet {

namespace {

constexpr uint8_t kTagDeleted = 0x2;
// Page flag: the engine zeroed the page's free bytes.
constexpr uint32_t kPageScrubbed = 0x4000;
// Resident file pages are handed back after this many bytes of pages read.

uint64_t mix64(uint64_t x) {
  x ^= x >> 33;
  x *= 0xff51afd7ed558ccdULL;
  x ^= x >> 33;
  x *= 0xc4ceb9fe1a85ec53ULL;
  x ^= x >> 33;
  return x;
}

// A 64-bit hash of `bytes` (their length included). Equal hashes are taken
// for equal bytes: a collision can only hide a record, never invent one.
uint64_t hash_bytes(const uint8_t* p, size_t n) {
  uint64_t h = mix64(0x9E3779B97F4A7C15ULL ^ n);
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t w;
    std::memcpy(&w, p + i, 8);
    h = mix64(h ^ w) + 0x9E3779B97F4A7C15ULL;
  }
  uint64_t w = 0;
  for (size_t k = 0; i + k < n; ++k) w |= static_cast<uint64_t>(p[i + k]) << (8 * k);
  return mix64(h ^ w);
}

uint64_t hash_bytes(ByteView v) { return hash_bytes(v.data(), v.size()); }

bool sorted_contains(const std::vector<uint64_t>& v, uint64_t x) {
  return std::binary_search(v.begin(), v.end(), x);
}

// A leaf page whose entries may be records: not a space-tree, index or
// long-value page.
bool record_leaf(uint32_t flags) {
  return (flags & kPageLeaf) != 0 &&
         (flags & (kPageSpaceTree | kPageIndex | kPageLongValue)) == 0;
}



}  // namespace

const char* source_name(RecoverSource source) {
  switch (source) {
    case RecoverSource::Deleted:
      return "deleted";
    case RecoverSource::Orphan:
      return "orphan";
    case RecoverSource::Slack:
      return "slack";
  }
  return "";
}

Result<std::unique_ptr<Recovery>> Recovery::open(const Database& db, const Name* table_name,
                                                 unsigned sources) {
  std::unique_ptr<Recovery> r(new Recovery(db));
  r->sources_ = sources & kAllSources;
  std::vector<std::unique_ptr<TableDef>> dropped = find_dropped_tables(db);
  if (table_name != nullptr) {
    const TableDef* live = db.tables().find(*table_name);
    if (live != nullptr) r->targets_.push_back({live, false});
    for (auto& def : dropped) {
      if (def->name == *table_name) r->dropped_.push_back(std::move(def));
    }
    if (r->targets_.empty() && r->dropped_.empty()) return EseError::table_not_found(*table_name);
  } else {
    for (const auto& entry : db.tables()) r->targets_.push_back({&entry.second, false});
    r->dropped_ = std::move(dropped);
  }
  for (const auto& def : r->dropped_) r->targets_.push_back({def.get(), true});

  if (r->sources_ != 0 && !r->targets_.empty()) {
    const PageMap map = PageMap::build(db);
    for (uint32_t n = 1; n <= map.total_pages(); ++n) {
      if (map.owner(n) != 0 && record_leaf(map.flags(n))) {
        r->owned_.push_back(static_cast<uint64_t>(map.owner(n)) << 32 | n);
      }
    }
    std::sort(r->owned_.begin(), r->owned_.end());
  }
  return r;
}

void Recovery::start_table() {
  target_ = targets_[next_target_++];
  const TableDef& table = *target_.table;
  in_table_ = true;
  shape_ = RecordShape::build(table, db_->large_layout());
  plan_ = ColumnPlan::build(table);
  lv_.emplace(db_, &table);
  deleted_.clear();
  next_deleted_ = 0;
  tree_sets_built_ = false;
  tree_keys_.clear();
  tree_data_.clear();
  given_.clear();
  reached_.reset(db_->total_pages());
  walk_ok_ = target_.dropped;  // a dropped table has no tree: every page is an orphan

  const uint64_t owner = table.object_id;
  next_owned_ = std::lower_bound(owned_.begin(), owned_.end(), owner << 32) - owned_.begin();
  end_owned_ = std::lower_bound(owned_.begin(), owned_.end(), (owner + 1) << 32) - owned_.begin();
  if (owner == 0) end_owned_ = next_owned_;

  if (target_.dropped || sources_ == 0) return;
  CursorOptions options;
  options.filter = EntryFilter::Deleted;
  options.reached = &reached_;
  TreeCursor cursor(*db_, table.root_page, options);
  // The walk reads every leaf: its resident pages are handed back as it goes.
  if ((sources_ & kSourceDeleted) != 0) {
    uint32_t last_page = 0;
    for (cursor.start(); cursor.valid(); cursor.next()) {
      if (cursor.page().number != last_page) {
        last_page = cursor.page().number;
        count_page_read();
      }
      deleted_.push_back(static_cast<uint64_t>(cursor.page().number) << 16 | cursor.tag());
    }
    std::sort(deleted_.begin(), deleted_.end());
  } else {
    cursor.start_pages();
    while (cursor.next_page()) count_page_read();
  }
  walk_ok_ = cursor.status().ok() && !cursor.root_failed();
}

bool Recovery::next(RecoveredItem& out) {
  for (;;) {
    if (next_pending_ < pending_.size()) {
      out = pending_[next_pending_++];
      return true;
    }
    pending_.clear();
    next_pending_ = 0;
    if (in_table_ && next_owned_ < end_owned_) {
      const uint32_t page = static_cast<uint32_t>(owned_[next_owned_++] & 0xFFFFFFFFu);
      const bool orphan = !reached_.contains(page);
      if (!orphan || walk_ok_) read_page(page, orphan);
      continue;
    }
    in_table_ = false;
    if (next_target_ >= targets_.size()) return false;
    start_table();
  }
}

uint32_t Recovery::page_checks(const Page& page) {
  if (page_sound_ < 0) {
    const PageChecksum c = check_page_checksum(page.bytes, page.number, page.header_size == 80);
    page_sound_ = c.verdict == ChecksumVerdict::Bad ? 0 : 1;
  }
  return page_sound_ == 1 ? uint32_t{kCheckChecksum} : 0u;
}

void Recovery::push(const Page& page, RecoverSource source, ByteView data, uint32_t checks,
                    const std::vector<uint8_t>* key, bool has_record) {
  // Records are given once per table; nodes without one each stand alone.
  if (has_record && !given_.insert(hash_bytes(data)).second) return;
  RecoveredItem item;
  item.table = target_.table;
  item.dropped = target_.dropped;
  item.source = source;
  item.page = page.number;
  const uint64_t within = static_cast<uint64_t>(data.data() - page.bytes.data());
  item.offset = (static_cast<uint64_t>(page.number) + 1) * db_->page_size() + within;
  item.checks = checks | page_checks(page);
  item.data = data;
  item.has_record = has_record;
  if (key != nullptr) {
    item.has_key = true;
    item.key = *key;
  }
  pending_.push_back(std::move(item));
}

void Recovery::count_page_read() { resident_.page_read(); }

void Recovery::read_page(uint32_t number, bool orphan) {
  auto page = db_->read_page(number);
  if (!page.ok()) return;
  count_page_read();
  page_sound_ = -1;
  const TagReader reader = db_->tags(*page);
  if (orphan) {
    if ((sources_ & (kSourceDeleted | kSourceOrphan)) != 0) {
      for (uint16_t i = 1; i < reader.count; ++i) add_entry(*page, reader, i, true);
    }
  } else {
    const uint64_t first = static_cast<uint64_t>(number) << 16;
    while (next_deleted_ < deleted_.size() && deleted_[next_deleted_] < first) ++next_deleted_;
    while (next_deleted_ < deleted_.size() && (deleted_[next_deleted_] >> 16) == number) {
      add_entry(*page, reader, static_cast<uint16_t>(deleted_[next_deleted_++] & 0xFFFF), false);
    }
  }
  if ((sources_ & kSourceSlack) != 0 && (page->flags & kPageScrubbed) == 0) add_slack(*page, reader);
  std::stable_sort(pending_.begin(), pending_.end(),
                   [](const RecoveredItem& a, const RecoveredItem& b) { return a.offset < b.offset; });
}

void Recovery::add_entry(const Page& page, const TagReader& reader, uint16_t tag, bool orphan) {
  LeafEntry entry;
  if (!decode_leaf_tag(reader, tag, entry)) return;
  const bool deleted = (entry.tag_flags & kTagDeleted) != 0;
  const RecoverSource source = deleted ? RecoverSource::Deleted : RecoverSource::Orphan;
  if ((sources_ & (1u << static_cast<unsigned>(source))) == 0) return;
  const uint32_t checks = shape_.check(entry.data);
  if ((checks & kCheckLayout) != kCheckLayout) {
    // A deleted node of the tree whose data is no record: its key is all
    // that is left of the row.
    if (orphan || !deleted) return;
    full_key(reader, entry, key_buf_);
    push(page, source, entry.data, 0, &key_buf_, false);
    return;
  }
  if (!orphan) {
    full_key(reader, entry, key_buf_);
    push(page, source, entry.data, checks, &key_buf_);
    return;
  }
  // An entry of an orphan page whose key or bytes the tree holds is a stale
  // copy of a record of the tree.
  build_tree_sets();
  full_key(reader, entry, key_buf_);
  if (sorted_contains(tree_keys_, hash_bytes(key_buf_.data(), key_buf_.size()))) return;
  if (is_copy(entry.data)) return;
  push(page, source, entry.data, checks | kCheckKeyNotLive, &key_buf_);
}

void Recovery::add_slack(const Page& page, const TagReader& reader) {
  node_bounds(reader, page.first_available_data_offset, bounds_);
  free_regions(reader, bounds_, spans_, regions_);
  if (regions_.empty()) return;
  const uint32_t max_common = common_key_limit(reader);
  for (const ByteRange& region : regions_) {
    slack_found_.clear();
    scan_region(shape_, page.bytes, region, max_common, bounds_, slack_scratch_, slack_found_);
    for (const SlackRecord& s : slack_found_) {
      const ByteView data = page.bytes.subspan(s.begin, s.end - s.begin);
      const uint32_t checks = shape_.check(data);
      if ((checks & kCheckLayout) != kCheckLayout) continue;
      build_tree_sets();
      if (is_copy(data)) continue;
      push(page, RecoverSource::Slack, data, checks | (s.node_key ? uint32_t{kCheckNodeKey} : 0u));
    }
  }
}

bool Recovery::is_copy(ByteView data) { return sorted_contains(tree_data_, hash_bytes(data)); }

void Recovery::build_tree_sets() {
  if (tree_sets_built_) return;
  tree_sets_built_ = true;
  if (target_.dropped) return;
  CursorOptions options;
  options.filter = EntryFilter::Any;
  TreeCursor cursor(*db_, target_.table->root_page, options);
  uint32_t last_page = 0;
  for (cursor.start(); cursor.valid(); cursor.next()) {
    if (cursor.page().number != last_page) {
      last_page = cursor.page().number;
      count_page_read();
    }
    if (key_buf_.size() < 256) key_buf_.resize(256);
    size_t n = cursor.key(key_buf_.data(), key_buf_.size());
    if (n > key_buf_.size()) {
      key_buf_.resize(n);
      n = cursor.key(key_buf_.data(), key_buf_.size());
    }
    tree_keys_.push_back(hash_bytes(key_buf_.data(), n));
    tree_data_.push_back(hash_bytes(cursor.entry().data));
  }
  std::sort(tree_keys_.begin(), tree_keys_.end());
  std::sort(tree_data_.begin(), tree_data_.end());
}

void Recovery::read_raw(const RecoveredItem& item, Record& out) {
  parse_record_into(item.data, plan_, db_->large_layout(), scratch_, out);
  // Long-value references resolved as the live view resolves them.
  for (uint32_t index : scratch_.long_refs) {
    RecordField& field = out.fields[index];
    const auto* ref = std::get_if<LongBinaryValue>(&field.value);
    if (ref == nullptr) continue;
    const std::optional<LongValueRef> id = long_value_ref(ref->bytes);
    if (!id || !lv_->has_tree()) {
      field.value = long_value_from_chunks(nullptr, *field.column);
      continue;
    }
    const LongValueIndex* lv = lv_->index();
    if (lv == nullptr) continue;  // the tree cannot be entered: the reference stays
    field.value = long_value_from_chunks(lv->find(id->id, id->width), *field.column);
  }
}

void Recovery::read_decoded(const RecoveredItem& item, DecodedRecord& out) {
  decode_record(item.data, plan_, db_->large_layout(), *lv_, scratch_, buffer_, out);
}

}  // namespace quarlet
