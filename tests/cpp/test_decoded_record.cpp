// The decoded record view: compressed and multi-valued tagged values, catalog
// defaults (and their parsing from catalog records), and the decoded JSON.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "catalog_image.hpp"
#include "decode/decoded_record.hpp"
#include "export/json_decoded.hpp"
#include "test_image.hpp"

namespace quarlet {
namespace {

using test::Bytes;
using test::cat;
using test::le16;
using test::str;

struct TaggedEntry {
  uint16_t id;
  uint8_t flags;
  Bytes payload;
};

// A small-layout record: fixed columns 1..F (`fixed` bytes, then a null
// bitmap `bitmap`), no variable columns, then the tagged entries, each with a
// flags byte.
Bytes make_record(uint8_t last_fixed, const Bytes& fixed, const Bytes& bitmap,
                  const std::vector<TaggedEntry>& tagged) {
  const uint16_t o = static_cast<uint16_t>(4 + fixed.size() + bitmap.size());
  Bytes r = cat({{last_fixed, 127}, le16(o), fixed, bitmap});
  Bytes entries, values;
  uint16_t offset = static_cast<uint16_t>(4 * tagged.size());
  for (const TaggedEntry& t : tagged) {
    entries = cat({entries, le16(t.id), le16(static_cast<uint16_t>(offset | 0x4000))});
    values = cat({values, Bytes{t.flags}, t.payload});
    offset = static_cast<uint16_t>(offset + 1 + t.payload.size());
  }
  return cat({r, entries, values});
}

ColumnDef column(uint32_t id, uint32_t type, uint32_t size = 0, uint32_t codepage = 1252) {
  ColumnDef c;
  c.id = id;
  c.column_type = type;
  c.size = size;
  c.codepage = codepage;
  c.name = "c" + std::to_string(id);
  return c;
}

class DecodedRecordTest : public ::testing::Test {
 protected:
  DecodedRecord decode(const std::vector<ColumnDef>& columns, const Bytes& record) {
    table_ = TableDef{};
    for (const ColumnDef& c : columns) table_.columns.insert(c.name, c);
    plan_ = ColumnPlan::build(table_);
    LongValueSource lv(nullptr, &table_);
    RecordScratch scratch;
    std::vector<uint8_t> buffer;
    DecodedRecord out;
    decode_record(record, plan_, false, lv, scratch, buffer, out);
    return out;
  }
  std::string json(const DecodedRecord& r) {
    std::string out;
    encode_decoded_record(out, r, JsonKeyPlan::build(decoded_record_columns(r)));
    return out;
  }
  TableDef table_;
  ColumnPlan plan_;
};

const Bytes kProgram7Bit = {0x08, 0x70, 0xF9, 0xFB, 0x2C, 0x0F, 0xB7, 0x01};  // "program"

TEST_F(DecodedRecordTest, DecodesCompressedAndMultiValuedTaggedValues) {
  const Bytes damaged_xpress = {0x18, 0x09, 0x00, 0xFF, 0xFF, 0xFF, 0x1F, 'a'};
  const Bytes multi = {0x06, 0x00, 0x07, 0x00, 0x08, 0x00, 0x00, 0x7F, 0xFF};
  const Bytes two = {0x01, 0x00, 0xFF};
  const Bytes bad_multi = {0x05, 0x00, 'a', 'b'};  // odd array size
  const Bytes record = make_record(1, {1, 0, 0, 0}, {0},
                                   {{256, 0x02, kProgram7Bit},
                                    {257, 0x02, damaged_xpress},
                                    {258, 0x08, multi},
                                    {259, 0x18, two},
                                    {260, 0x08, bad_multi},
                                    {261, 0x02, Bytes{0x28, 1, 2}}});
  const DecodedRecord r = decode({column(1, 4, 4), column(256, 10), column(257, 10),
                                  column(258, 2), column(259, 1), column(260, 9), column(261, 9)},
                                 record);
  EXPECT_EQ(json(r),
            "{\"c1\":1,\"c256\":\"program\",\"c257\":\"18090" "0ffffff1f61\","
            "\"c258\":[0,127,255],\"c259\":[false,true],\"c260\":\"0500" "6162\","
            "\"c261\":\"280102\"}");
  EXPECT_TRUE(r.fields[3].is_list);
  EXPECT_FALSE(r.fields[5].is_list);  // kept its raw bytes
}

TEST_F(DecodedRecordTest, DefaultsFillOnlyColumnsTheRecordDoesNotHold) {
  ColumnDef held_null = column(1, 4, 4);
  held_null.default_value = Bytes{7, 0, 0, 0};
  ColumnDef beyond_f = column(2, 3, 2);
  beyond_f.default_value = Bytes{0x34, 0x12};
  ColumnDef tagged_text = column(256, 10);
  tagged_text.default_value = str("dflt");
  ColumnDef tagged_present = column(257, 10);
  tagged_present.default_value = str("unused");
  ColumnDef unknown_cp = column(258, 10, 0, 999);
  unknown_cp.default_value = str("xy");
  // F = 1 with column 1's null bit set: column 1 is held (and NULL), column
  // 2 lies beyond F.
  const Bytes record = make_record(1, {0, 0, 0, 0}, {0x01}, {{257, 0x00, str("here")}});
  const DecodedRecord r =
      decode({held_null, beyond_f, tagged_text, tagged_present, unknown_cp}, record);
  EXPECT_EQ(json(r),
            "{\"c1\":null,\"c2\":4660,\"c256\":\"dflt\",\"c257\":\"here\",\"c258\":\"7879\"}");
}

TEST_F(DecodedRecordTest, DatesBecomeIsoTextInsideTheirRange) {
  auto bits = [](double d) {
    Bytes b(8);
    std::memcpy(b.data(), &d, 8);
    return b;
  };
  const Bytes record = make_record(3, cat({bits(44838.75), bits(-1.25), bits(3e6)}), {0}, {});
  const DecodedRecord r = decode({column(1, 8, 8), column(2, 8, 8), column(3, 8, 8)}, record);
  uint64_t raw3;
  const double big = 3e6;
  std::memcpy(&raw3, &big, 8);
  EXPECT_EQ(json(r), "{\"c1\":\"2022-10-04T18:00:00+00:00\",\"c2\":\"1899-12-29T06:00:00+00:00\","
                     "\"c3\":" + std::to_string(raw3) + "}");
  std::string iso;
  append_iso_datetime(iso, DateTimeParts{1601, 1, 2, 3, 4, 5, 60});
  EXPECT_EQ(iso, "1601-01-02T03:04:05.000060+00:00");
}

TEST(CatalogDefaultValue, ReadFromVariableColumn131) {
  // Variable columns 128..131: name, two nulls, then the default.
  auto record = [](uint16_t end131, const Bytes& tail) {
    Bytes r = test::column_record(5, 2, "col", 4, 4);
    r.resize(30);  // fixed part only; rebuild the variable part
    r[1] = 131;
    return cat({r, le16(3), le16(0x8003), le16(0x8003), le16(end131), str("col"), tail});
  };
  auto parsed = parse_catalog_record(record(7, {1, 2, 3, 4}));
  ASSERT_TRUE(parsed.ok());
  const auto& entry = std::get<CatalogEntry>(*parsed);
  EXPECT_EQ(entry.name, "col");
  ASSERT_TRUE(entry.default_value.has_value());
  EXPECT_EQ(*entry.default_value, (Bytes{1, 2, 3, 4}));
  // An end past the record, a null entry or a record without column 131: none.
  for (const Bytes& r : {record(9, {1, 2, 3, 4}), record(0x8007, {1, 2, 3, 4}),
                         test::column_record(5, 2, "col", 4, 4)}) {
    auto p = parse_catalog_record(r);
    ASSERT_TRUE(p.ok());
    EXPECT_FALSE(std::get<CatalogEntry>(*p).default_value.has_value());
  }
}

}  // namespace
}  // namespace quarlet
