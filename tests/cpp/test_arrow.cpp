// Tests of the Arrow batches of the core: buffers and ownership of the
// exported structs (children moved out and released on their own), the
// stream's end and errors, and the date conversion of the decoded view.
#include <cerrno>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "export/arrow/stream.hpp"
#include "catalog_image.hpp"
#include "test_image.hpp"

namespace quarlet {
namespace {

TEST(ArrowDates, StoredDatesToUnixMicroseconds) {
  const auto bits = [](double d) {
    uint64_t b;
    std::memcpy(&b, &d, 8);
    return b;
  };
  int64_t us = 0;
  ASSERT_TRUE(stored_date_to_unix_micros(bits(25569.0), &us));  // 1970-01-01
  EXPECT_EQ(us, 0);
  ASSERT_TRUE(stored_date_to_unix_micros(bits(25569.5), &us));
  EXPECT_EQ(us, 43200LL * 1000000);
  ASSERT_TRUE(stored_date_to_unix_micros(bits(-109205.0), &us));  // 1601-01-01
  EXPECT_EQ(us, -11644473600LL * 1000000);
  EXPECT_FALSE(stored_date_to_unix_micros(bits(-109206.0), &us));
  EXPECT_FALSE(stored_date_to_unix_micros(0x7FF8000000000000ull, &us));  // NaN
  // FILETIMEs (below any OLE date of 1900..9999 read as an integer).
  ASSERT_TRUE(stored_date_to_unix_micros(116444736000000000ull, &us));  // 1970-01-01
  EXPECT_EQ(us, 0);
  ASSERT_TRUE(stored_date_to_unix_micros(1, &us));  // 1601-01-01, 100 ns dropped
  EXPECT_EQ(us, -11644473600LL * 1000000);
  ASSERT_TRUE(stored_date_to_unix_micros(2650467743999999999ull, &us));  // 9999-12-31
  EXPECT_EQ(us, 253402300799999999LL);
  ASSERT_TRUE(stored_date_to_unix_micros(0, &us));  // 0: the OLE date 1899-12-30
  EXPECT_EQ(us, -25569LL * 86400 * 1000000);
}

TEST(ArrowTypes, RawAndDecodedMapping) {
  ColumnDef c;
  c.column_type = 15;
  EXPECT_STREQ(arrow_format(arrow_column(c, false).type), "L");
  EXPECT_STREQ(arrow_format(arrow_column(c, true).type), "l");
  c.column_type = 8;
  EXPECT_STREQ(arrow_format(arrow_column(c, true).type), "tsu:UTC");
  c.flags = kColumnMultiValued;
  EXPECT_STREQ(arrow_format(arrow_column(c, false).type), "z");
  EXPECT_TRUE(arrow_column(c, true).is_list);
}

using test::Bytes;

// Table T, columns "n" (fixed 1, Signed long) and "t" (variable 128, Text):
// leaves 5 and 6 of three records each, linked; with `unreadable`,
// the root (page 7) lists leaf 5 and then a page past the file, and no link
// leads past leaf 5.
std::unique_ptr<Database> two_page_table(bool unreadable) {
  test::Image img(8192, 8);
  test::set_catalog_page(img, {test::table_record(2, "T", unreadable ? 7 : 5),
                               test::column_record(2, 1, "n", 4, 4),
                               test::column_record(2, 128, "t", 10, 255, 1252)});
  const auto row = [](uint32_t n, const std::string& text) {
    return test::cat({Bytes{1, 128, 9, 0}, test::le32(n), Bytes{0},
                      test::le16(static_cast<uint16_t>(text.size())), test::str(text)});
  };
  const auto page = [&](uint32_t number, uint32_t first, uint32_t next) {
    std::vector<test::TestTag> tags = {{0, Bytes{0, 0}}};
    for (uint32_t i = first; i < first + 3; ++i) {
      const Bytes key = {static_cast<uint8_t>(i)};
      tags.push_back({0, test::leaf_value(key, row(i, "r" + std::to_string(i)))});
    }
    img.set_page(number, kPageLeaf, tags, next);
  };
  page(5, 0, unreadable ? 0 : 6);
  page(6, 3, 0);
  if (unreadable) {
    img.set_page(7, 0, {{0, Bytes{0, 0}}, {0, test::branch_value(test::str("k"), 5)},
                        {0, test::branch_value(test::str(""), 99999)}});
  }
  auto db = img.open();
  EXPECT_TRUE(db.ok());
  return db.ok() ? std::move(*db) : nullptr;
}

// A stream over table T in batches of `batch_size` (the test fails if the
// table cannot be opened; the stream is then released).
ArrowArrayStream open_stream(const Database& db, uint32_t batch_size) {
  ArrowReadOptions options;
  options.batch_size = batch_size;
  auto reader = ArrowTableReader::open(db, "T", options);
  EXPECT_TRUE(reader.ok());
  ArrowArrayStream stream{};
  if (reader.ok()) {
    export_array_stream(std::make_unique<ArrowReaderSource>(std::move(*reader)), &stream);
  }
  return stream;
}

// Batch of a stream; fails the test on an error.
bool next_batch(ArrowArrayStream& stream, ArrowArray* out) {
  EXPECT_EQ(stream.get_next(&stream, out), 0) << stream.get_last_error(&stream);
  return out->release != nullptr;
}

TEST(ArrowStream, BatchesOwnTheirBuffersAndChildrenMoveOut) {
  auto db = two_page_table(false);
  ASSERT_TRUE(db);
  ArrowArrayStream stream = open_stream(*db, 4);
  ASSERT_NE(stream.release, nullptr);

  ArrowSchema schema;
  ASSERT_EQ(stream.get_schema(&stream, &schema), 0);
  ASSERT_EQ(schema.n_children, 2);
  EXPECT_STREQ(schema.format, "+s");
  EXPECT_STREQ(schema.children[0]->format, "i");
  EXPECT_STREQ(schema.children[1]->name, "t");
  // A child moved out outlives its parent and is released on its own.
  ArrowSchema moved = *schema.children[1];
  schema.children[1]->release = nullptr;
  schema.release(&schema);
  EXPECT_EQ(schema.release, nullptr);
  moved.release(&moved);

  ArrowArray batch;
  ASSERT_TRUE(next_batch(stream, &batch));
  ASSERT_EQ(batch.length, 4);
  ArrowArray text = *batch.children[1];
  batch.children[1]->release = nullptr;
  const auto* n = static_cast<const int32_t*>(batch.children[0]->buffers[1]);
  EXPECT_EQ(n[3], 3);
  batch.release(&batch);
  ASSERT_EQ(text.n_buffers, 3);
  EXPECT_EQ(text.buffers[0], nullptr);  // no nulls: no bitmap
  const auto* offsets = static_cast<const int32_t*>(text.buffers[1]);
  EXPECT_EQ(std::string(static_cast<const char*>(text.buffers[2]) + offsets[3], 2), "r3");
  text.release(&text);

  ASSERT_TRUE(next_batch(stream, &batch));
  EXPECT_EQ(batch.length, 2);  // the rest, from the second page
  batch.release(&batch);
  EXPECT_FALSE(next_batch(stream, &batch));  // the end
  EXPECT_FALSE(next_batch(stream, &batch));
  stream.release(&stream);
  EXPECT_EQ(stream.release, nullptr);
}

TEST(ArrowStream, UnreadablePageEndsTheStreamAfterTheRecordsBeforeIt) {
  auto db = two_page_table(true);
  ASSERT_TRUE(db);
  ArrowArrayStream stream = open_stream(*db, 100);
  ASSERT_NE(stream.release, nullptr);
  ArrowArray batch;
  ASSERT_TRUE(next_batch(stream, &batch));
  EXPECT_EQ(batch.length, 3);  // the records before the damage
  batch.release(&batch);
  for (int i = 0; i < 2; ++i) {  // the error sticks
    EXPECT_EQ(stream.get_next(&stream, &batch), EIO);
    EXPECT_EQ(batch.release, nullptr);
    EXPECT_STREQ(stream.get_last_error(&stream),
                 "Error reading record: Invalid page number: 99999");
  }
  stream.release(&stream);
}

// From the second batch on, worker threads build the batches: they come in
// walk order, the error after the records before it, and a stream dropped
// while they run stops them.
TEST(ArrowStream, WorkerBatchesComeInOrder) {
  for (const bool unreadable : {false, true}) {
    auto db = two_page_table(unreadable);
    ASSERT_TRUE(db);
    for (const uint32_t size : {1u, 2u, 5u}) {
      for (const bool drop : {false, true}) {
        ArrowArrayStream stream = open_stream(*db, size);
        ASSERT_NE(stream.release, nullptr);
        std::vector<int32_t> got;
        ArrowArray batch;
        int rc = 0;
        while ((rc = stream.get_next(&stream, &batch)) == 0 && batch.release != nullptr) {
          const auto* n = static_cast<const int32_t*>(batch.children[0]->buffers[1]);
          got.insert(got.end(), n, n + batch.length);
          EXPECT_LE(batch.length, static_cast<int64_t>(size));
          batch.release(&batch);
          if (drop && got.size() >= 2) break;
        }
        if (!drop) {
          const std::vector<int32_t> want =
              unreadable ? std::vector<int32_t>{0, 1, 2} : std::vector<int32_t>{0, 1, 2, 3, 4, 5};
          EXPECT_EQ(got, want) << size;
          EXPECT_EQ(rc, unreadable ? EIO : 0) << size;
        }
        stream.release(&stream);
      }
    }
  }
}

}  // namespace
}  // namespace quarlet
