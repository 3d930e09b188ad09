// Column selection: narrows a table's column plan to the columns a caller
// names, so a pass parses, resolves and decodes only those.
#pragma once

#include <vector>

#include "database/catalog.hpp"
#include "error/error.hpp"
#include "record/parser.hpp"

namespace quarlet {

// Keeps in `plan` only the columns of `table` whose names are in `names`
// (matched byte for byte; duplicates count once), in the plan's own order
// (ascending id). ColumnNotFound, `plan` unchanged, for the first name the
// table does not have. Fixed offsets are kept: they depend on the table's
// columns, not on the selection.
Status select_columns(const TableDef& table, const std::vector<Name>& names, ColumnPlan& plan);

}  // namespace quarlet
