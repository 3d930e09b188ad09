// STUB: replaced by the tree walk implementation.
#include "database/tree.hpp"
namespace quarlet {
Status walk_tree(const Database&, uint32_t, const LeafVisitor&) { return Status::Ok(); }
Result<Page> first_leaf(const Database& db, uint32_t root) { return db.read_page(root); }
LeafCursor::LeafCursor(const Database& db, Page page) : db_(&db), page_(page), reader_(db.tags(page)) {}
Result<std::optional<LeafEntry>> LeafCursor::next() { return std::optional<LeafEntry>(); }
LongValueIndex LongValueIndex::build(const Database&, uint32_t) { return {}; }
const LongValueChunks* LongValueIndex::find(uint64_t, int) const { return nullptr; }
}  // namespace quarlet
