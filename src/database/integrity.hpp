// Integrity report of a database: the header's facts, every page's checksum
// verdict, and what a counting walk of each tree meets (pages, entries,
// foreign pages, stale links, orphans, unreadable pages).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "btree/cursor.hpp"
#include "database/database.hpp"
#include "page/header.hpp"

namespace quarlet {

// A page whose checksum fails.
struct BadPage {
  uint32_t number = 0;
  uint8_t blocks = 0;   // bit k set: block k fails (bit 0 only on one-block pages)
  uint32_t owner = 0;   // owner id the page carries (header offset 24)
  int64_t tree = -1;    // index in IntegrityReport::trees of the checked tree
                        // whose owner id and kind the page carries; -1 none
  bool reached = false; // a tree walk read the page
};

// Checksum verdicts of pages 1 to total_pages (page 0 is the shadow header,
// judged with the header).
struct PageChecks {
  uint64_t checked = 0;      // pages looked at
  uint64_t sound = 0;        // checksum holds
  uint64_t unused = 0;       // all zeros: never written
  uint64_t bad = 0;          // checksum fails
  uint64_t no_checksum = 0;  // written without checksums (every field zero)
  std::vector<BadPage> bad_pages;           // ascending page numbers
  std::vector<uint32_t> no_checksum_pages;  // ascending page numbers
  // Written pages that no tree walk reaches and whose owner id is no object
  // of the catalog (nor the database's own, 1).
  uint64_t unowned = 0;
};

// What a tree is to its table.
enum class TreeRole : uint8_t { Catalog, Data, LongValue, Index };

// "catalog", "data", "long_value" or "index".
const char* tree_role_name(TreeRole role);

// One tree and what its counting walk met.
struct TreeCheck {
  Name table;      // the table the tree belongs to; empty for a catalog no table names
  Name name;       // the long value's or index's name; the table's for data and catalog
  Name primary_index;  // data and catalog trees: the index whose key orders the
                       // tree (it shares the tree's root); empty for none
  TreeRole role = TreeRole::Data;
  uint32_t root = 0;
  uint32_t owner = 0;              // owner id of the root page: the tree's object
  TreeStats stats;                 // pages, entries and anomalies of the walk
  std::vector<uint32_t> orphans;   // leaves of the tree's object and kind that no
                                   // walk reached and that are not flagged empty
  std::vector<uint32_t> freed;     // such leaves flagged empty: emptied and released
                                   // by the engine (their free bytes can hold
                                   // deleted data); not an anomaly
  std::vector<uint32_t> bad_pages; // pages the walk read whose checksum fails
  std::string error;               // why the walk ended early; empty when it did not

  // True when the walk met anything but sound pages of its own read in
  // order, or the tree has leaves it does not reach.
  bool anomalous() const;
};

struct IntegrityReport {
  HeaderFacts header;
  PageChecks pages;
  std::vector<TreeCheck> trees;  // the catalog first, then each table's trees,
                                 // each tree once
};

// The header facts of an open database (reads the two header copies only).
HeaderFacts header_facts(const Database& db);

// True when pages of this database carry four checksummed blocks (the
// 80-byte page header of 16 and 32 KiB pages).
bool checksums_by_block(const Database& db);

// Checks the database: walks every tree of the catalog (the catalog itself,
// and each table's data, long-value and index trees), or only the trees of
// `only` when it is set, counting what each walk meets; then reads every
// page once, in file order, for its checksum and to find the leaves no walk
// reached. Resident pages are handed back to the kernel as it goes, so
// memory stays a few bytes per page. Never fails: damage is reported.
IntegrityReport check_integrity(const Database& db, const TableDef* only = nullptr);

}  // namespace quarlet
