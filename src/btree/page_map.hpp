// The page-to-owner map: each page's owner id and flags, read once from the
// page headers, for the walks that must know which pages an object holds
// beyond those its tree reaches (integrity report, recovery).
#pragma once

#include <cstdint>
#include <vector>

#include "source/page_source.hpp"

namespace quarlet {

class PageMap {
 public:
  // Reads the header of pages 1..total_pages. Pages that cannot be read
  // (none, in a file whose length gave the page count) keep owner 0 and
  // flags 0. Eight bytes a page.
  static PageMap build(const PageSource& source);

  uint32_t total_pages() const { return static_cast<uint32_t>(owner_.size()) - 1; }
  // Owner id (page header offset 24) of page n; 0 outside 1..total_pages.
  uint32_t owner(uint32_t n) const { return n < owner_.size() ? owner_[n] : 0; }
  // Page flags of page n; 0 outside 1..total_pages.
  uint32_t flags(uint32_t n) const { return n < flags_.size() ? flags_[n] : 0; }

 private:
  std::vector<uint32_t> owner_;  // index 0 unused
  std::vector<uint32_t> flags_;
};

}  // namespace quarlet
