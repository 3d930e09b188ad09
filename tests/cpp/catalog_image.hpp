// Catalog record builders for the C++ unit tests: records laid out as the
// catalog stores them, ready to be placed as leaf data on page 4 of an Image.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "test_image.hpp"

namespace quarlet::test {

// Fixed fields of one catalog record, offsets 4..30.
struct CatalogFields {
  uint16_t type = 1;      // 1 table, 2 column, 3 index, 4 long value
  uint32_t owner = 0;     // owning table's object id
  uint32_t id = 0;        // object id or column id
  uint32_t at14 = 0;      // column type or root page
  uint32_t at18 = 0;      // space usage / column size
  uint32_t at22 = 0;      // flags
  uint32_t at26 = 0;      // code page / locale
};

// A 30-byte fixed part, then the variable offset array at 30 (one entry: the
// name's end offset) and the name bytes. `last_variable` is the byte at 1.
inline Bytes catalog_record(const CatalogFields& f, const std::string& name,
                            uint8_t last_variable = 128) {
  Bytes r(30, 0);
  r[0] = 9;
  r[1] = last_variable;
  put16(r, 2, 30);
  put32(r, 4, f.owner);
  put16(r, 8, f.type);
  put32(r, 10, f.id);
  put32(r, 14, f.at14);
  put32(r, 18, f.at18);
  put32(r, 22, f.at22);
  put32(r, 26, f.at26);
  return cat({r, le16(static_cast<uint16_t>(name.size())), str(name)});
}

inline Bytes table_record(uint32_t object_id, const std::string& name, uint32_t root_page,
                          uint32_t space_usage = 1) {
  return catalog_record({1, object_id, object_id, root_page, space_usage, 0, 0}, name);
}

inline Bytes column_record(uint32_t table_id, uint32_t column_id, const std::string& name,
                           uint32_t column_type, uint32_t size = 4, uint32_t codepage = 1252,
                           uint32_t flags = 0) {
  return catalog_record({2, table_id, column_id, column_type, size, flags, codepage}, name);
}

inline Bytes index_record(uint32_t table_id, uint32_t index_id, const std::string& name,
                          uint32_t root_page, uint32_t flags = 0, uint32_t locale = 1033) {
  return catalog_record({3, table_id, index_id, root_page, 1, flags, locale}, name);
}

inline Bytes long_value_record(uint32_t table_id, uint32_t lv_id, const std::string& name,
                               uint32_t root_page) {
  return catalog_record({4, table_id, lv_id, root_page, 1, 0, 0}, name);
}

// Catalog leaf page 4 holding `records` as the data of entries keyed 1, 2, ...
// (tag 0 empty). `flags` gives each entry's tag flags (0x2 = deleted).
inline void set_catalog_page(Image& image, const std::vector<Bytes>& records,
                             const std::vector<uint8_t>& flags = {}) {
  std::vector<TestTag> tags{{0, {}}};
  for (size_t i = 0; i < records.size(); ++i) {
    const uint8_t f = i < flags.size() ? flags[i] : 0;
    tags.push_back({f, leaf_value(le16(static_cast<uint16_t>(i + 1)), records[i])});
  }
  image.set_page(kCatalogRootPage, kPageLeaf, tags);
}

}  // namespace quarlet::test
