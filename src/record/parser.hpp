// Record layout: a table row split into fixed, variable and tagged columns.
//
//   0 u8 last fixed id F | 1 u8 last variable id V | 2 u16 variable offset array O
//   4.. fixed columns in id order, each `size` bytes, then the fixed-column
//       null bitmap: ceil(F/8) bytes ending at O (bit set = column is NULL)
//   O.. n = V-127 u16 end offsets (0x8000 = absent), relative to S = O + 2n
//   S.. variable data, then the tagged area T: 4-byte entries (u16 column id,
//       u16 offset: 14 bits + 0x4000 flags-byte bit; large-page layout: 15 bits,
//       always a flags byte), then the values.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "database/database.hpp"
#include "btree/cursor.hpp"
#include "database/long_value.hpp"
#include "page/record_layout.hpp"
#include "record/value.hpp"

namespace quarlet {

// Per-table plan computed once per pass: columns in ascending id order
// (stable for equal ids) with their fixed offsets.
struct ColumnPlan {
  struct Item {
    const ColumnDef* column;
    uint32_t fixed_offset;  // id < 256: offset of its bytes when the record's F covers it
  };
  std::vector<Item> items;
  size_t first_tagged = 0;  // index of the first item with id >= 256 (items.size() if none)
  // The order callers give the columns in: output[k] is the index in
  // `items` of the k-th column given. Empty: the items' own order.
  std::vector<uint32_t> output;
  size_t output_index(size_t k) const { return output.empty() ? k : output[k]; }
  static ColumnPlan build(const TableDef& table);
};

// Working storage reused from record to record by parse_record.
struct RecordScratch {
  // One usable tagged entry: its value is bytes [begin, end) of the record.
  struct TaggedSlot {
    uint32_t id = 0;
    uint32_t begin = 0;
    uint32_t end = 0;
    uint8_t flags = 0;  // the value's flags byte, 0 when it has none
  };
  std::vector<TaggedSlot> tagged;
  // Set by parse_record: indexes into Record::fields of the LongBinary values
  // that are long-value references (tagged flags byte 0x04), in field order.
  std::vector<uint32_t> long_refs;
  // A parsed record kept for callers that decode it further (its value
  // buffers are reused from record to record).
  Record record;
};

// Splits record bytes into the table's columns. Never fails; anything out of
// range is Null. `large_layout` selects the tagged-area rules of 32 KiB pages.
Record parse_record(ByteView data, const ColumnPlan& plan, bool large_layout);
// The same with caller-owned working storage (the hot path).
Record parse_record(ByteView data, const ColumnPlan& plan, bool large_layout,
                    RecordScratch& scratch);
// The same into `out`, whose field vector and value buffers are reused:
// passes that decode record after record allocate almost nothing.
void parse_record_into(ByteView data, const ColumnPlan& plan, bool large_layout,
                       RecordScratch& scratch, Record& out);

// The bytes of fixed column `column` (id <= F) at `offset` into `out`: false
// (Null) when its bit in the null bitmap is set or when it does not fit in the
// record. Will not read past the record.
inline bool fixed_column_bytes(ByteView d, const RecordLayout& lay, const ColumnDef& column,
                               uint64_t offset, ByteView& out) {
  const uint32_t id = column.id;
  if (lay.null_bitmap && id >= 1) {
    const uint8_t bits = d[lay.bitmap_start + (id - 1) / 8];
    if (bits & (1u << ((id - 1) % 8))) return false;
  }
  if (offset + column.size > lay.length) return false;
  out = d.subspan(offset, column.size);
  return true;
}
// The bytes of variable column `column` (128 <= id <= V) into `out`: false
// (Null) when its offset entry lies past the record or is marked absent, or
// when its data range is reversed or past the record.
inline bool variable_column_bytes(ByteView d, const RecordLayout& lay, const ColumnDef& column,
                                  ByteView& out) {
  const uint64_t j = column.id - 128;
  const uint64_t entry_at = lay.var_offsets + 2 * j;
  if (entry_at + 2 > lay.length) return false;
  const uint16_t end_entry = load_u16le(d.data() + entry_at);
  if (end_entry & 0x8000) return false;
  const uint64_t end = end_entry;
  const uint64_t start = j == 0 ? 0 : (load_u16le(d.data() + entry_at - 2) & 0x7FFF);
  if (lay.var_data + end > lay.length || start > end) return false;
  out = d.subspan(lay.var_data + start, end - start);
  return true;
}

// Fills `slots` with the record's usable tagged entries, ordered by column id
// (stable, so among equal ids the later entry comes last). Entries whose data
// range is reversed or past the record are dropped.
void parse_tagged(ByteView d, const RecordLayout& lay, bool large_layout,
                  std::vector<RecordScratch::TaggedSlot>& slots);
// parse_tagged appending to `slots` (what it holds stays).
void append_tagged(ByteView d, const RecordLayout& lay, bool large_layout,
                   std::vector<RecordScratch::TaggedSlot>& slots);
// Index in `slots` (sorted by id) of the entry that gives column `id`'s value:
// the last of its entries; slots.size() when it has none. `at` is a cursor
// for a merge over ascending ids: start it at 0, pass it back unchanged.
size_t last_tagged_slot(const std::vector<RecordScratch::TaggedSlot>& slots, uint32_t id,
                        size_t& at);
// Value of a tagged column from its entry into `out` (replaced): long-value
// references (flags 0x04, LongBinaryValue), compressed (0x02, BinaryValue)
// and multi-valued data (0x08, MultiValueValue) are passed on undecoded.
void tagged_value(ByteView d, const RecordScratch::TaggedSlot& s, const ColumnDef& column,
                  ColumnValue& out);

// A long-value id read from a reference: 8 bytes or more hold a 64-bit id,
// 4 to 7 bytes a 32-bit id (little-endian); shorter references hold none.
struct LongValueRef {
  uint64_t id = 0;
  int width = 4;  // 4 or 8
};
std::optional<LongValueRef> long_value_ref(ByteView reference);

// Contents of a long value from the chunks found for it (null: none found):
// chunks joined in ascending offset order (stable; gaps and overlaps are not
// corrected), cut to the total size when that is smaller; decoded as text for
// Text and Long Text columns (code page 1252 when absent), Binary when the
// column is of another type or its code page is unknown.
ColumnValue long_value_from_chunks(const LongValueChunks* found, const ColumnDef& column);

// The start of a pass over a table's records: its definition and a cursor
// over its data tree, already on the first record. TableNotFound, or the
// error of an unreadable root page.
struct TableStart {
  const TableDef* table;
  TreeCursor cursor;
};
Result<TableStart> start_table(const Database& db, const Name& name);

// One step of a pass over a table's records: true with the next record's
// bytes in `data`, false at the end (and on every later call), or the error
// that ended the pass (on every later call too). `primed`: the cursor is on
// the record to give (true after start_table), cleared by the call.
inline Result<bool> next_record_data(TreeCursor& cursor, bool& primed, ByteView& data) {
  if (!primed) cursor.next();
  primed = false;
  if (cursor.valid()) {
    data = cursor.entry().data;
    return true;
  }
  if (!cursor.status().ok()) return cursor.status().error();
  return false;
}

// Many steps of next_record_data at once: the bytes of up to `most` next
// records appended to `out`. True when more may follow, false at the end,
// or the error that ended the pass (the records before it appended).
inline Result<bool> next_records_data(TreeCursor& cursor, bool& primed,
                                      std::vector<ByteView>& out, size_t most) {
  for (size_t n = 0; n < most; ++n) {
    if (!primed) cursor.next();
    primed = false;
    if (!cursor.valid()) {
      if (!cursor.status().ok()) return cursor.status().error();
      return false;
    }
    out.push_back(cursor.entry().data);
  }
  return true;
}

// Iterates over the records of one table, long values resolved.
class TableRecords {
 public:
  // TableNotFound, or the error of the descent to the first leaf.
  static Result<std::unique_ptr<TableRecords>> open(const Database& db, const Name& name);

  // The next record, nullopt at the end, or the error of an unreadable page.
  Result<std::optional<Record>> next();
  // The same into `out` (its storage reused; see parse_record_into): true
  // with the next record, false at the end.
  Result<bool> next_into(Record& out);

  // The next record's bytes only (nothing parsed): true, false at the end.
  // Do not mix with next() and next_into() on one pass.
  Result<bool> next_data(ByteView& data);
  // The chunks of the long value `reference` names, as next() resolves it:
  // true with `*found` the chunks (null: none, the value is empty); false
  // when the long-value tree cannot be entered (the reference then stays).
  bool find_long_value(ByteView reference, const LongValueChunks** found);

  const TableDef& table() const { return *table_; }
  // Leaves the table's branch pages list.
  size_t leaf_count() const { return cursor_.listed_leaves(); }
  const TreeCursor& cursor() const { return cursor_; }
  // Up to `most` next records' bytes at once (next_records_data).
  Result<bool> next_data(std::vector<ByteView>& out, size_t most) {
    return next_records_data(cursor_, primed_, out, most);
  }
  const ColumnPlan& plan() const { return plan_; }
  // Narrows the pass to the named columns (record/selection.hpp); called
  // before the first record. ColumnNotFound for a name the table lacks.
  Status select(const std::vector<Name>& names);

 private:
  TableRecords(const Database& db, const TableDef& table, TreeCursor cursor);
  void resolve_long_values(Record& record);

  const Database* db_;
  const TableDef* table_;
  ColumnPlan plan_;
  TreeCursor cursor_;
  bool primed_ = true;                       // cursor_ is on the next record
  RecordScratch scratch_;                    // reused by every record of the pass
  bool lv_built_ = false;                    // long-value index built lazily
  std::optional<LongValueIndex> lv_index_;   // of the first LongValueDef
};

}  // namespace quarlet
