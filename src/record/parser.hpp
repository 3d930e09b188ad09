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

#include <cstdint>
#include <optional>
#include <vector>

#include "database/database.hpp"
#include "database/tree.hpp"
#include "record/value.hpp"

namespace quarlet {

// Per-table plan computed once per pass: columns in ascending id order
// (stable for equal ids) with their fixed offsets.
struct ColumnPlan {
  struct Item {
    const ColumnDef* column;
    uint32_t fixed_offset;  // for fixed columns: byte offset from the record start
  };
  std::vector<Item> items;
  bool has_tagged = false;
  static ColumnPlan build(const TableDef& table);
};

// Splits record bytes into the table's columns. Never fails; anything out of
// range is Null. `large_layout` selects the tagged-area rules of 32 KiB pages.
Record parse_record(ByteView data, const ColumnPlan& plan, bool large_layout);

// Iterates over the records of one table, long values resolved.
class TableRecords {
 public:
  // TableNotFound, or the error of the descent to the first leaf.
  static Result<std::unique_ptr<TableRecords>> open(const Database& db, const Name& name);

  // The next record, nullopt at the end, or the error of an unreadable page.
  Result<std::optional<Record>> next();

  const TableDef& table() const { return *table_; }
  const ColumnPlan& plan() const { return plan_; }

 private:
  TableRecords(const Database& db, const TableDef& table, LeafCursor cursor);
  void resolve_long_values(Record& record);

  const Database* db_;
  const TableDef* table_;
  ColumnPlan plan_;
  LeafCursor cursor_;
  bool lv_built_ = false;                    // long-value index built lazily
  std::optional<LongValueIndex> lv_index_;   // of the first LongValueDef
  bool done_ = false;
};

}  // namespace quarlet
