// The page-to-owner map, from one pass over the page headers.
#include "btree/page_map.hpp"

#include <algorithm>

namespace quarlet {

PageMap PageMap::build(const PageSource& source) {
  PageMap map;
  const uint32_t total = source.total_pages();
  map.owner_.assign(static_cast<size_t>(total) + 1, 0);
  map.flags_.assign(static_cast<size_t>(total) + 1, 0);
  // Only headers are read, but a huge file still touches a page in each
  // page-size stride: hand them back as the pass goes.
  ResidentBudget resident(source);
  for (uint32_t n = 1; n <= total; ++n) {
    resident.page_read();
    auto page = source.read_page(n);
    if (!page.ok()) continue;
    map.owner_[n] = page->owning_object;
    map.flags_[n] = page->flags;
  }
  return map;
}

}  // namespace quarlet
