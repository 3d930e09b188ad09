// The decoded view of a table's records: compressed values decompressed and
// decoded by their column's type, multi-valued values split into decoded
// elements, compressed long values decompressed, text without its trailing
// U+0000, and catalog defaults for the columns a record does not hold.
//
// The decoded view is built on top of the raw one (parse_record) and never
// changes it. Anything that does not decode (an unknown scheme, a damaged
// stream, a size that does not match, an inconsistent multi-value) keeps the
// value the raw view gives, so decoding never fails a record and never loses
// bytes. DateTime values stay DateTimeValue here; consumers turn them into
// dates (stored_date_to_utc) and keep the raw integer when that fails. Long long
// and Currency values are signed 64-bit integers (I64) here, as the engine
// defines them; the raw view reads the same bytes unsigned.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "database/database.hpp"
#include "btree/cursor.hpp"
#include "database/long_value.hpp"
#include "record/parser.hpp"
#include "record/value.hpp"

namespace quarlet {

// Largest logical size of a long value the decoded view decompresses. A
// larger one (a damaged or hostile root can claim 4 GiB) keeps its raw bytes.
// In-record values need no such cap: their declared sizes are 16-bit and the
// 7-bit schemes grow at most 16/7-fold over their input.
inline constexpr uint32_t kMaxDecompressedLongValue = uint32_t{64} << 20;

// One column of a decoded record.
struct DecodedField {
  const ColumnDef* column = nullptr;
  ColumnValue value;                  // the value; Null when is_list
  std::vector<ColumnValue> elements;  // a multi-value's decoded elements, in order
  bool is_list = false;               // the value is the list `elements`
};

struct DecodedRecord {
  std::vector<DecodedField> fields;  // one per column, in the plan's order
};

// Decodes the bytes `data` of a value of `column` (already decompressed) into
// `out`: as decode_value, except that text of an unknown code page keeps its
// bytes (Binary) instead of becoming Null.
void decode_bytes_into(ByteView data, const ColumnDef& column, ColumnValue& out);

// Decompresses `payload` (its compression header first) and decodes the
// result by the column's type into `out`. False, with `out` untouched, when
// the payload does not decompress. `buffer` is working storage.
bool decode_compressed_into(ByteView payload, const ColumnDef& column,
                            std::vector<uint8_t>& buffer, ColumnValue& out);

// The long-value index of one table, built on first use (one scan of the
// leaf level of the table's first long-value tree).
class LongValueSource {
 public:
  // `db` null: the table is taken to have no long-value tree.
  LongValueSource(const Database* db, const TableDef* table);
  // Whether the table has a long-value tree.
  bool has_tree() const { return has_tree_; }
  // The index; null when the table has no tree or the descent to its first
  // leaf failed.
  const LongValueIndex* index();

 private:
  const Database* db_;
  uint32_t root_ = 0;
  bool has_tree_ = false;
  bool built_ = false;
  std::optional<LongValueIndex> index_;
};

// Decodes one record of a table into `out` (replaced). Separated values are
// looked up in `lv`. `scratch` and `buffer` are working storage reused
// between records. Never fails.
void decode_record(ByteView data, const ColumnPlan& plan, bool large_layout, LongValueSource& lv,
                   RecordScratch& scratch, std::vector<uint8_t>& buffer, DecodedRecord& out);

// The decoded value of tagged entry `s` of record `d` for `column` into
// `field` (replaced), as decode_record gives it but with text as decoded
// (strip_text_terminators not applied).
void decode_tagged_entry(ByteView d, const RecordScratch::TaggedSlot& s, const ColumnDef& column,
                         LongValueSource& lv, std::vector<uint8_t>& buffer, DecodedField& field);
// A plain value of `column` as the decoded view holds it: Long long and
// Currency as signed 64-bit integers, anything else unchanged.
void signed_view(const ColumnDef& column, ColumnValue& value);
// The value decode_record gives a column the record does not hold (its
// catalog default, or Null) into `field` (replaced); text as decoded
// (strip_text_terminators not applied).
void decode_default(const ColumnDef& column, DecodedField& field);

// Text of the decoded view: a text value without its trailing U+0000
// (applications end their strings with one, and fixed buffers are padded
// with many); any other value unchanged.
void strip_text_terminators(ColumnValue& value);

// Iterates over the decoded records of one table, in the order TableRecords
// gives them (the same leaf walk).
class DecodedTableRecords {
 public:
  // TableNotFound, or the error of the descent to the first leaf.
  static Result<std::unique_ptr<DecodedTableRecords>> open(const Database& db, const Name& name);

  // Decodes the next record into `out`: true, false at the end, or the error
  // of an unreadable page.
  Result<bool> next(DecodedRecord& out);
  // The next record's bytes only (nothing decoded): true, false at the end.
  // Do not mix with next() on one pass.
  Result<bool> next_data(ByteView& data);
  // The table's long values and decompression working storage, for callers
  // that decode the records given by next_data themselves.
  LongValueSource& long_values() { return lv_; }
  std::vector<uint8_t>& buffer() { return buffer_; }

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
  DecodedTableRecords(const Database& db, const TableDef& table, TreeCursor cursor);

  const Database* db_;
  const TableDef* table_;
  ColumnPlan plan_;
  TreeCursor cursor_;
  bool primed_ = true;  // cursor_ is on the next record
  RecordScratch scratch_;                   // reused by every record of the pass
  std::vector<uint8_t> buffer_;             // decompression working storage
  LongValueSource lv_;                      // the table's long values, built lazily
};

}  // namespace quarlet
