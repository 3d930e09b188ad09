// The catalog: the B-tree rooted at page 4 whose leaf entries describe
// tables, columns, indexes and long-value stores.
//
// Catalog record (little-endian):
//   0 u8 last fixed id | 1 u8 last variable id | 2 u16 variable offset array O
//   4 u32 owning table object id | 8 u16 catalog type | 10 u32 id
//   14 u32 column type / root page | 18 u32 space usage (column: size)
//   22 u32 flags | 26 u32 code page / locale
// The name is the first variable column: its length is the u16 at O and its
// bytes start at O + 2k (k = number of variable columns).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "error/error.hpp"
#include "util/endian.hpp"
#include "util/ordered_map.hpp"

namespace quarlet {

class PageSource;

constexpr uint32_t kCatalogRootPage = 4;

enum class CatalogType : uint16_t { Table = 1, Column = 2, Index = 3, LongValue = 4, Callback = 5 };

// Names are stored bytes, compared byte for byte.
using Name = std::string;

struct ColumnDef {
  std::optional<uint32_t> codepage;  // always present for catalog columns
  uint32_t column_type = 0;          // 0..18
  Name name;
  uint32_t id = 0;     // 1..127 fixed, 128..255 variable, 256+ tagged
  uint32_t size = 0;   // declared size; width of a fixed column
  uint32_t flags = 0;  // catalog column flags; 0x1 = not nullable
  // The column's default value as stored (catalog variable column 131,
  // DefaultValue); absent when the catalog record declares none.
  std::optional<std::vector<uint8_t>> default_value;
};

struct IndexDef {
  Name name;
  uint32_t object_id = 0;  // the index tree's own object id
  uint32_t root_page = 0;
  uint32_t space_usage = 0;
  uint32_t flags = 0;
  uint32_t locale = 0;
};

struct LongValueDef {
  Name name;
  uint32_t object_id = 0;  // the long-value tree's own object id
  uint32_t root_page = 0;
  uint32_t space_usage = 0;
};

struct TableDef {
  OrderedMap<Name, ColumnDef> columns;
  OrderedMap<Name, IndexDef> indexes;
  OrderedMap<Name, LongValueDef> long_values;
  uint32_t root_page = 0;
  uint32_t space_usage = 0;
  Name name;
  uint32_t object_id = 0;  // the table's object id, carried by its data pages
};

using Tables = OrderedMap<Name, TableDef>;

// One parsed catalog record other than a table.
struct CatalogEntry {
  CatalogType type = CatalogType::Column;
  uint32_t owning_table = 0;
  uint32_t id = 0;
  Name name;
  uint32_t column_type = 0;  // Column
  uint32_t root_page = 0;    // Index, LongValue
  uint32_t space_usage = 0;  // size for Column
  uint32_t flags = 0;        // Column, Index
  uint32_t codepage = 0;     // Column: code page; Index: locale
  std::optional<std::vector<uint8_t>> default_value;  // Column: DefaultValue bytes
};

struct TableRecord {
  uint32_t object_id = 0;
  uint32_t root_page = 0;
  uint32_t space_usage = 0;
  Name name;
};

// Nothing (record ignored), a table record, another catalog entry, or an error.
using CatalogRecord = std::variant<std::monostate, TableRecord, CatalogEntry>;

Result<CatalogRecord> parse_catalog_record(ByteView d);

// The column a column record describes.
ColumnDef column_def(const CatalogEntry& entry);

// Walks the catalog tree and builds the tables map.
Result<Tables> load_catalog(const PageSource& source);

}  // namespace quarlet
