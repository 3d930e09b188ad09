// Integrity report of a database: the header's facts and every page's
// checksum verdict, in one pass over the file.
#pragma once

#include <cstdint>
#include <vector>

#include "database/database.hpp"
#include "page/header.hpp"

namespace quarlet {

// A page whose checksum fails.
struct BadPage {
  uint32_t number = 0;
  uint8_t blocks = 0;  // bit k set: block k fails (bit 0 only on one-block pages)
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
};

struct IntegrityReport {
  HeaderFacts header;
  PageChecks pages;
};

// The header facts of an open database (reads the two header copies only).
HeaderFacts header_facts(const Database& db);

// True when pages of this database carry four checksummed blocks (the
// 80-byte page header of 16 and 32 KiB pages).
bool checksums_by_block(const Database& db);

// Checks every page's checksum. Reads each page once, in file order, and
// hands the pages passed back to the kernel every so often, so resident
// memory does not grow with the file. Never fails: damage is reported.
IntegrityReport check_integrity(const Database& db);

}  // namespace quarlet
