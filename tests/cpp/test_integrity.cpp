// Tests of the integrity pass: the entry counts it takes from leaf tag arrays
// are the ones the cursor's entry pass gives, on both tag layouts, on sound
// and torn pages; pages of no tree and leaves no walk reaches are found.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "catalog_image.hpp"
#include "database/integrity.hpp"
#include "test_image.hpp"

namespace quarlet {
namespace {

using test::Bytes;
using test::Image;
using test::TestTag;

constexpr uint32_t kTable = 20;  // object id of table "t", root page 6

TestTag entry(const std::string& key, const Bytes& data, uint8_t flags = 0) {
  return {flags, test::leaf_value(test::str(key), data)};
}

// Table "t" of two leaves under a branch page (5 -> 6, 7), with entries
// that decode and entries that do not.
Image odd_entries_image(uint32_t page_size, bool torn) {
  Image image(page_size, 12);
  test::set_catalog_page(image, {test::table_record(kTable, "t", 5)});
  image.set_owner(4, 2);
  image.set_page(5, 0, {{0, {}}, {0, test::branch_value(test::str("k"), 6)},
                        {0, test::branch_value({}, 7)}});
  const Bytes record = {0x01, 0x80, 0x05, 0x00, 0x07};
  image.set_page(6, kPageLeaf,
                 {{0, {}}, entry("a", record), entry("b", record, 0x2),
                  {0, {0x01}},                 // one byte: no entry
                  {0x4, {0x00, 0x00, 0x01}},   // common key size but 3 bytes: no entry
                  {0, {}},                     // empty
                  entry("c", Bytes(4, 0)),     // an impossible record
                  entry("d", {}, 0x2)},
                 7);
  image.set_page(7, kPageLeaf, {{0, {}}, entry("e", record)});
  // A leaf of "t" no branch lists, and a page of no object.
  image.set_page(9, kPageLeaf, {{0, {}}, entry("z", record)});
  image.set_page(10, kPageLeaf, {{0, {}}, entry("z", record)});
  for (uint32_t n : {5u, 6u, 7u, 9u}) image.set_owner(n, kTable);
  image.set_owner(10, 99);
  if (torn) image.tear(6);
  return image;
}

TEST(IntegrityCheck, EntryCountsMatchTheCursor) {
  for (const uint32_t page_size : {4096u, 32768u}) {
    for (const bool torn : {false, true}) {
      SCOPED_TRACE(std::to_string(page_size) + (torn ? " torn" : " sound"));
      auto db = odd_entries_image(page_size, torn).open();
      ASSERT_TRUE(db.ok()) << message(db.error());
      const IntegrityReport report = check_integrity(**db);
      ASSERT_EQ(report.trees.size(), 2u);
      const TreeCheck& t = report.trees[1];
      EXPECT_EQ(t.table, "t");

      TreeStats expected;
      CursorOptions options;
      options.filter = EntryFilter::Any;
      options.stats = &expected;
      TreeCursor cursor(**db, 5, options);
      for (cursor.start(); cursor.valid(); cursor.next()) {
      }
      EXPECT_EQ(t.stats.leaf_entries, expected.leaf_entries);
      EXPECT_EQ(t.stats.live, expected.live);
      EXPECT_EQ(t.stats.deleted, expected.deleted);
      EXPECT_EQ(t.stats.rejected, expected.rejected);
      EXPECT_EQ(t.stats.live + t.stats.deleted + t.stats.rejected, 5u);
      EXPECT_EQ(t.stats.rejected, torn ? 2u : 0u);  // "c" and the empty "d"
      EXPECT_EQ(t.stats.branch_pages, 1u);
      EXPECT_EQ(t.stats.leaf_pages, 2u);
      EXPECT_EQ(t.orphans, std::vector<uint32_t>{9});
      EXPECT_EQ(report.pages.unowned, 1u);
      EXPECT_EQ(t.bad_pages, torn ? std::vector<uint32_t>{6} : std::vector<uint32_t>{});
      EXPECT_EQ(t.anomalous(), true);  // the orphan
      EXPECT_EQ(report.pages.checked, (*db)->total_pages());
    }
  }
}

}  // namespace
}  // namespace quarlet
