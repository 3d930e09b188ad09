// Catalog records and the tables map built from the catalog tree at page 4.
#include "database/catalog.hpp"

#include <unordered_map>
#include <vector>

#include "btree/walk.hpp"
#include "page/record_layout.hpp"

namespace quarlet {

namespace {

// Record length from which each kind's fixed fields are all present.
constexpr size_t kMinRecord = 14;      // through the id at 10..14
constexpr size_t kMinTableLike = 22;   // through space usage at 18..22 (table, long value)
constexpr size_t kMinColumnLike = 30;  // through code page / locale at 26..30 (column, index)
constexpr uint32_t kColumnTypeLimit = 19;  // column types are 0..18

// Reads the name: the first variable column of the record. Fails with
// InvalidCatalogEntry when the record has no variable column or when the
// name's length field or bytes lie outside the record.
Result<Name> parse_name(ByteView d) {
  const RecordLayout lay(d);
  const uint64_t len = lay.length;
  const uint64_t v = lay.var_offsets;
  if (len < v + 2) return EseError::invalid_catalog_entry();
  // Below 128 there are no variable columns, so no name.
  if (lay.last_variable < 128) return EseError::invalid_catalog_entry();
  const uint64_t n = load_u16le(d.data() + v);
  const uint64_t start = lay.var_data;
  if (len < start + n) return EseError::invalid_catalog_entry();
  return Name(reinterpret_cast<const char*>(d.data() + start), n);
}

// Variable column id of a column record's default value (DefaultValue).
constexpr uint32_t kDefaultValueColumn = 131;

// Reads the default value of a column record: variable column 131. Absent
// when the record has fewer variable columns, the column is null (0x8000) or
// empty, or its offsets are reversed or lie outside the record. Never fails:
// a damaged default only means no default.
std::optional<std::vector<uint8_t>> parse_default_value(ByteView d) {
  const RecordLayout lay(d);
  const uint64_t len = lay.length;
  if (lay.last_variable < kDefaultValueColumn) return std::nullopt;
  const uint64_t v = lay.var_offsets;
  const uint64_t j = kDefaultValueColumn - 128;
  const uint64_t entry_at = v + 2 * j;
  if (entry_at + 2 > len) return std::nullopt;
  const uint16_t end_entry = load_u16le(d.data() + entry_at);
  if (end_entry & 0x8000) return std::nullopt;
  const uint64_t end = end_entry;
  const uint64_t start = load_u16le(d.data() + entry_at - 2) & 0x7FFF;
  const uint64_t data = lay.var_data;
  if (start >= end || data + end > len) return std::nullopt;
  return std::vector<uint8_t>(d.begin() + static_cast<ptrdiff_t>(data + start),
                              d.begin() + static_cast<ptrdiff_t>(data + end));
}

}  // namespace

Result<CatalogRecord> parse_catalog_record(ByteView d) {
  const size_t len = d.size();
  if (len < 4) return CatalogRecord{};
  if (len < kMinRecord) return EseError::invalid_catalog_entry();
  const uint16_t type = load_u16le(d.data() + 8);
  if (type < 1 || type > 5) return EseError::unsupported_catalog_type(type);

  CatalogEntry entry;
  entry.type = static_cast<CatalogType>(type);
  switch (entry.type) {
    case CatalogType::Table:
    case CatalogType::LongValue:
      if (len < kMinTableLike) return EseError::invalid_catalog_entry();
      entry.root_page = load_u32le(d.data() + 14);
      entry.space_usage = load_u32le(d.data() + 18);
      break;
    case CatalogType::Column:
      if (len < kMinColumnLike) return EseError::invalid_catalog_entry();
      entry.column_type = load_u32le(d.data() + 14);
      if (entry.column_type >= kColumnTypeLimit) {
        return EseError::unsupported_column_type(entry.column_type);
      }
      entry.space_usage = load_u32le(d.data() + 18);
      entry.flags = load_u32le(d.data() + 22);
      entry.codepage = load_u32le(d.data() + 26);
      break;
    case CatalogType::Index:
      if (len < kMinColumnLike) return EseError::invalid_catalog_entry();
      entry.root_page = load_u32le(d.data() + 14);
      entry.space_usage = load_u32le(d.data() + 18);
      entry.flags = load_u32le(d.data() + 22);
      entry.codepage = load_u32le(d.data() + 26);
      break;
    case CatalogType::Callback:
      return EseError::callback_catalog_type();
  }
  entry.owning_table = load_u32le(d.data() + 4);
  entry.id = load_u32le(d.data() + 10);

  auto name = parse_name(d);
  if (!name.ok()) return name.error();
  entry.name = std::move(*name);
  if (entry.type == CatalogType::Column) entry.default_value = parse_default_value(d);

  if (entry.type == CatalogType::Table) {
    return CatalogRecord{
        TableRecord{entry.id, entry.root_page, entry.space_usage, std::move(entry.name)}};
  }
  return CatalogRecord{std::move(entry)};
}

ColumnDef column_def(const CatalogEntry& e) {
  ColumnDef column;
  column.codepage = e.codepage;
  column.column_type = e.column_type;
  column.name = e.name;
  column.id = e.id;
  column.size = e.space_usage;
  column.flags = e.flags;
  column.default_value = e.default_value;
  return column;
}

Result<Tables> load_catalog(const PageSource& source) {
  Tables tables;
  std::unordered_map<uint32_t, Name> table_names;  // table object id -> name
  std::vector<CatalogEntry> entries;               // columns, indexes, long values
  // Small-page databases fail on a malformed record; larger ones skip it.
  const bool strict = source.page_size() <= 8192;

  Status walked = walk_tree(source, kCatalogRootPage, [&](const LeafEntry& leaf) -> Status {
    auto record = parse_catalog_record(leaf.data);
    if (!record.ok()) {
      if (strict) return record.error();
      return Status::Ok();
    }
    if (auto* table = std::get_if<TableRecord>(&*record)) {
      table_names[table->object_id] = table->name;
      TableDef def;
      def.root_page = table->root_page;
      def.space_usage = table->space_usage;
      def.name = table->name;
      def.object_id = table->object_id;
      tables.insert(table->name, std::move(def));
    } else if (auto* entry = std::get_if<CatalogEntry>(&*record)) {
      entries.push_back(std::move(*entry));
    }
    return Status::Ok();
  });
  if (!walked.ok()) return walked.error();

  // Attached after the walk, so no record order hides a column from its table.
  for (CatalogEntry& e : entries) {
    auto owner = table_names.find(e.owning_table);
    if (owner == table_names.end()) continue;
    TableDef* table = tables.find(owner->second);
    if (table == nullptr) continue;
    switch (e.type) {
      case CatalogType::Column:
        table->columns.insert(e.name, column_def(e));
        break;
      case CatalogType::Index:
        table->indexes.insert(e.name,
                              IndexDef{e.name, e.id, e.root_page, e.space_usage, e.flags,
                                       e.codepage});
        break;
      case CatalogType::LongValue:
        table->long_values.insert(e.name,
                                  LongValueDef{e.name, e.id, e.root_page, e.space_usage});
        break;
      case CatalogType::Table:
      case CatalogType::Callback:
        break;
    }
  }
  return tables;
}

}  // namespace quarlet
