// Column selection: narrows a table's column plan to the columns a caller
// names, so a pass parses, resolves and decodes only those.
#pragma once

#include <vector>

#include "database/catalog.hpp"
#include "error/error.hpp"
#include "record/parser.hpp"

namespace quarlet {

// Keeps in `plan` only the columns of `table` whose names are in `names`,
// in the plan's own order (ascending id), and records the order `names`
// gives them in as the plan's output order (a name given twice counts
// once, where it first comes). A name matches a column's stored name byte
// for byte or, failing that, the text a listing shows for a stored name
// that is not valid UTF-8 (utf8_lossy: U+FFFD for the bad bytes), so a name
// as listed is always accepted back; such a name selects every column it
// lists. ColumnNotFound, `plan` unchanged, for the first name the table does
// not have. Fixed offsets are kept: they depend on the table's columns, not
// on the selection.
Status select_columns(const TableDef& table, const std::vector<Name>& names, ColumnPlan& plan);

}  // namespace quarlet
