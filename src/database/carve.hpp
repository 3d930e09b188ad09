// Carving UTF-16LE strings out of database pages, in five scopes: page
// slack, whole pages, tag data, and whole or slack of long-value pages.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "database/database.hpp"

namespace quarlet {

enum class CarveScope : uint8_t { Slack, All, TagData, LvAll, LvSlack };

// Parses one of "slack", "all", "tag_data", "lv_all", "lv_slack" (exact).
std::optional<CarveScope> parse_carve_scope(std::string_view text);

struct CarveHit {
  uint32_t page = 0;
  uint32_t offset = 0;       // from the start of the page, always even
  uint32_t slack_start = 0;  // region bounds within the page
  uint32_t slack_end = 0;
  const char* region_kind = "";  // "slack", "all" or "tag_data" (static text)
  uint32_t page_flags = 0;
  const char* page_type = "";    // "long_value", "space_tree", "index", "leaf", "branch"
  const Name* table = nullptr;   // owning table name (points into the catalog), or none
  std::string text;              // printable ASCII only
};

struct CarveSettings {
  std::string needle;      // empty = no filter
  uint32_t min_chars = 2;  // at least 2
  uint32_t max_hits = 1;   // at least 1
};

// Scans page bytes [start, end) for UTF-16LE printable-ASCII runs and appends hits.
// Runs start at even page offsets; only maximal runs of at least min_chars
// characters that contain the needle are reported, in offset order, and the
// scan stops as soon as `hits` holds max_hits entries. An `end` past the page
// is treated as the page end; min_chars below 2 counts as 2 and max_hits 0 as 1.
void carve_region(uint32_t page_number, ByteView page, uint32_t start, uint32_t end,
                  const char* region_kind, uint32_t page_flags, const char* page_type,
                  const Name* table, const CarveSettings& settings, std::vector<CarveHit>& hits);

// Carves the database in one scope. Never fails. min_chars below 2 is raised
// to 2 and max_hits 0 to 1.
std::vector<CarveHit> carve_pages(const Database& db, CarveScope scope, std::string_view needle,
                                  uint32_t min_chars, uint32_t max_hits);

// One table as the owning-table search sees it.
struct CarveTable {
  const Name* name = nullptr;  // reported in hits; must outlive the PageOwners
  uint32_t root_page = 0;      // root of the table's data tree
};

// Page-to-table attribution for carving. Page n belongs to the first table,
// in the given order, whose tree walk reads n as one of its leaves (the
// leaves its branch pages list, and the unlisted leaves of the tree that
// next-page links reach; pages of other objects are never the tree's).
// Tables are walked lazily, in order, only as far as the queries need; a
// root walked for an earlier table is not walked again (the same walk would
// find only pages already attributed).
class PageOwners {
 public:
  PageOwners(const Database& db, std::vector<CarveTable> tables);

  // Name of the table that owns page n, or null when no walk reaches it.
  const Name* owner(uint32_t n);

 private:
  void walk_table(size_t index);

  const Database& db_;
  std::vector<CarveTable> tables_;
  size_t next_table_ = 0;                 // tables before this one are walked
  std::vector<uint32_t> owner_;           // page -> table index + 1, 0 = none; lazily sized
  std::unordered_set<uint32_t> walked_roots_;
};

}  // namespace quarlet
