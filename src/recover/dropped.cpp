// Dropped tables rebuilt from the deleted-flagged nodes of the catalog.
#include "recover/dropped.hpp"

#include <unordered_set>

#include "btree/cursor.hpp"

namespace quarlet {

namespace {

constexpr uint8_t kTagDeleted = 0x2;

}  // namespace

std::vector<std::unique_ptr<TableDef>> find_dropped_tables(const Database& db) {
  std::unordered_set<uint32_t> live;
  for (const auto& entry : db.tables()) live.insert(entry.second.object_id);

  std::vector<std::unique_ptr<TableDef>> dropped;
  std::unordered_set<uint32_t> dropped_ids;
  std::vector<CatalogEntry> parts;  // columns and long-value trees of non-live owners

  CursorOptions options;
  options.filter = EntryFilter::Any;
  options.include_tag0 = true;
  options.skip_past_file = true;
  TreeCursor cursor(db, kCatalogRootPage, options);
  for (cursor.start(); cursor.valid(); cursor.next()) {
    const LeafEntry& leaf = cursor.entry();
    auto record = parse_catalog_record(leaf.data);
    if (!record.ok()) continue;
    if (const auto* table = std::get_if<TableRecord>(&*record)) {
      if ((leaf.tag_flags & kTagDeleted) == 0 || live.count(table->object_id) != 0) continue;
      if (!dropped_ids.insert(table->object_id).second) continue;
      auto def = std::make_unique<TableDef>();
      def->name = table->name;
      def->object_id = table->object_id;
      def->root_page = table->root_page;
      def->space_usage = table->space_usage;
      dropped.push_back(std::move(def));
    } else if (auto* entry = std::get_if<CatalogEntry>(&*record)) {
      if (live.count(entry->owning_table) != 0) continue;
      if (entry->type == CatalogType::Column || entry->type == CatalogType::LongValue) {
        parts.push_back(std::move(*entry));
      }
    }
  }

  std::vector<std::unique_ptr<TableDef>> out;
  for (auto& def : dropped) {
    for (CatalogEntry& e : parts) {
      if (e.owning_table != def->object_id) continue;
      if (e.type == CatalogType::Column) {
        def->columns.insert(e.name, column_def(e));
      } else if (def->long_values.empty()) {
        auto root = db.read_page(e.root_page);
        if (root.ok() && root->owning_object == e.id) {
          def->long_values.insert(e.name, LongValueDef{e.name, e.id, e.root_page, e.space_usage});
        }
      }
    }
    if (!def->columns.empty()) out.push_back(std::move(def));
  }
  return out;
}

}  // namespace quarlet
