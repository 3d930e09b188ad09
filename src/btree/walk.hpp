// Whole-tree walk with a visitor (the catalog) over the B-tree cursor.
#pragma once

#include <cstdint>
#include <functional>

#include "btree/cursor.hpp"
#include "source/page_source.hpp"
#include "error/error.hpp"
#include "page/leaf.hpp"

namespace quarlet {

// Called with every accepted leaf entry, in key order. The entry's views are
// valid while the database lives. An error ends the walk.
using LeafVisitor = std::function<Status(const LeafEntry&)>;

// Visits every live entry of the record tree below `root`, tag 0 of each leaf
// included; branch entries whose child lies past the file are skipped. An
// unreadable root ends the walk with its error.
Status walk_tree(const PageSource& source, uint32_t root, const LeafVisitor& visitor);

}  // namespace quarlet
