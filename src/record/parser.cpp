// STUB
#include "record/parser.hpp"
namespace quarlet {
ColumnPlan ColumnPlan::build(const TableDef&) { return {}; }
Record parse_record(ByteView, const ColumnPlan&, bool) { return {}; }
Result<std::unique_ptr<TableRecords>> TableRecords::open(const Database& db, const Name& name) {
  auto t = db.table(name);
  if (!t) return t.error();
  auto leaf = first_leaf(db, (*t)->root_page);
  if (!leaf) return leaf.error();
  return std::unique_ptr<TableRecords>(new TableRecords(db, **t, LeafCursor(db, *leaf)));
}
TableRecords::TableRecords(const Database& db, const TableDef& table, LeafCursor cursor)
    : db_(&db), table_(&table), plan_(ColumnPlan::build(table)), cursor_(std::move(cursor)) {}
Result<std::optional<Record>> TableRecords::next() { return std::optional<Record>(); }
void TableRecords::resolve_long_values(Record&) {}
}  // namespace quarlet
