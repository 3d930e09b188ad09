// Dropped tables: tables whose catalog rows survive only as deleted-flagged
// nodes of the catalog tree. Their pages keep the table's object id until
// they are reused, so their records can still be read from those pages.
#pragma once

#include <memory>
#include <vector>

#include "database/catalog.hpp"
#include "database/database.hpp"

namespace quarlet {

// Every table whose table row is deleted-flagged and whose object id no live
// table has, in catalog order (once per object id), with the columns of
// every catalog row (deleted or not) that names it as owner. Its long-value
// tree is kept only when the tree's root page still carries the tree's own
// object id. Tables without a column are left out: nothing can be read of
// them. Damaged catalog rows are skipped.
std::vector<std::unique_ptr<TableDef>> find_dropped_tables(const Database& db);

}  // namespace quarlet
