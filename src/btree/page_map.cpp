// The page-to-owner map, from one pass over the page headers.
#include "btree/page_map.hpp"

namespace quarlet {

PageMap PageMap::build(const Database& db) {
  PageMap map;
  const uint32_t total = db.total_pages();
  map.owner_.assign(static_cast<size_t>(total) + 1, 0);
  map.flags_.assign(static_cast<size_t>(total) + 1, 0);
  for (uint32_t n = 1; n <= total; ++n) {
    auto page = db.read_page(n);
    if (!page.ok()) continue;
    map.owner_[n] = page->owning_object;
    map.flags_[n] = page->flags;
    // Only headers are read, but a huge file still touches a page in each
    // page-size stride: hand them back now and then.
    if (n % 65536 == 0) db.release_resident();
  }
  return map;
}

}  // namespace quarlet
