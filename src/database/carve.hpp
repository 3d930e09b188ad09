// Carving UTF-16LE strings out of database pages, in five scopes: page
// slack, whole pages, tag data, and whole or slack of long-value pages.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
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
void carve_region(uint32_t page_number, ByteView page, uint32_t start, uint32_t end,
                  const char* region_kind, uint32_t page_flags, const char* page_type,
                  const Name* table, const CarveSettings& settings, std::vector<CarveHit>& hits);

// Carves the database in one scope. Never fails. min_chars below 2 is raised
// to 2 and max_hits 0 to 1.
std::vector<CarveHit> carve_pages(const Database& db, CarveScope scope, std::string_view needle,
                                  uint32_t min_chars, uint32_t max_hits);

}  // namespace quarlet
