// Whole-tree walk over the B-tree cursor.
#include "btree/walk.hpp"

namespace quarlet {

Status walk_tree(const PageSource& source, uint32_t root, const LeafVisitor& visitor) {
  CursorOptions options;
  options.include_tag0 = true;
  options.skip_past_file = true;
  TreeCursor cursor(source, root, options);
  for (cursor.start(); cursor.valid(); cursor.next()) {
    Status s = visitor(cursor.entry());
    if (!s.ok()) return s;
  }
  return cursor.status();
}

}  // namespace quarlet
