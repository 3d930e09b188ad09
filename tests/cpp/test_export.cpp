// Tests of the JSON line encoding of records and of the JSON Lines export.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "export/json.hpp"
#include "export/jsonl.hpp"
#include "catalog_image.hpp"
#include "test_image.hpp"

namespace quarlet {
namespace {

namespace fs = std::filesystem;
using test::Bytes;

std::string json_string(std::string_view s) {
  std::string out;
  append_json_string(out, s);
  return out;
}

std::string json_double(double d) {
  std::string out;
  append_json_double(out, d);
  return out;
}

std::string json_value(const ColumnValue& v) {
  std::string out;
  append_json_value(out, v);
  return out;
}

ColumnDef column(std::string name) {
  ColumnDef c;
  c.name = std::move(name);
  return c;
}

// ---------------------------------------------------------------- strings

TEST(JsonString, EscapesExactlyTheSpecifiedBytes) {
  struct Case {
    std::string in, out;
  };
  const Case cases[] = {
      {"", "\"\""},
      {"plain", "\"plain\""},
      {"q\"b\\t\tl\nx\x01", "\"q\\\"b\\\\t\\tl\\nx\\u0001\""},
      {"\b\f\r", "\"\\b\\f\\r\""},
      {std::string("\0\x0b\x1f", 3), "\"\\u0000\\u000b\\u001f\""},
      {"\xC3\xA9/\xE2\x82\xAC", "\"\xC3\xA9/\xE2\x82\xAC\""},  // é / € raw
      {"\x7f", "\"\x7f\""},
      {"\xff\xfe", "\"\xff\xfe\""},  // bytes are copied, never re-encoded
  };
  for (const Case& c : cases) EXPECT_EQ(json_string(c.in), c.out) << c.in;
}

TEST(JsonString, EveryControlByte) {
  const char* named[32] = {};
  named['\b'] = "\\b";
  named['\t'] = "\\t";
  named['\n'] = "\\n";
  named['\f'] = "\\f";
  named['\r'] = "\\r";
  for (int b = 0; b < 0x20; ++b) {
    char expect[8];
    if (named[b] != nullptr) {
      std::snprintf(expect, sizeof expect, "%s", named[b]);
    } else {
      std::snprintf(expect, sizeof expect, "\\u%04x", b);
    }
    std::string quoted(1, '"');
    quoted.append(expect).push_back('"');
    EXPECT_EQ(json_string(std::string(1, static_cast<char>(b))), quoted) << b;
  }
}

// ---------------------------------------------------------------- floats

TEST(JsonDouble, Format) {
  struct Case {
    double in;
    const char* out;
  };
  const Case cases[] = {
      {1.0, "1.0"},
      {0.1, "0.1"},
      {100.0, "100.0"},
      {123.45, "123.45"},
      {123456.789, "123456.789"},
      {0.00123, "0.00123"},
      {1e-5, "0.00001"},
      {1.5e-5, "0.000015"},
      {1e-6, "1e-6"},
      {1e15, "1000000000000000.0"},
      {1.5e15, "1500000000000000.0"},
      {1e16, "1e+16"},
      {1.5e16, "1.5e+16"},
      {1e21, "1e+21"},
      {123456789012345680.0, "1.2345678901234568e+17"},
      {-2.5, "-2.5"},
      {0.0, "0.0"},
      {-0.0, "-0.0"},
      {5e-324, "5e-324"},
      {-5e-324, "-5e-324"},
      {2.2250738585072014e-308, "2.2250738585072014e-308"},
      {1.7976931348623157e308, "1.7976931348623157e+308"},
      {9007199254740993.0, "9007199254740992.0"},  // 2^53 + 1 rounds to 2^53
      {std::numeric_limits<double>::quiet_NaN(), "0"},
      {-std::numeric_limits<double>::quiet_NaN(), "0"},
      {std::numeric_limits<double>::infinity(), "0"},
      {-std::numeric_limits<double>::infinity(), "0"},
  };
  for (const Case& c : cases) EXPECT_EQ(json_double(c.in), c.out) << c.out;
}

// Significant digits of a formatted finite non-zero number (no sign, no
// leading or trailing zeros), and its decimal exponent of the first digit.
void digits_of(const std::string& text, std::string& digits, int& exponent) {
  std::string s = text;
  if (!s.empty() && s[0] == '-') s.erase(0, 1);
  int exp10 = 0;
  const size_t e = s.find('e');
  if (e != std::string::npos) {
    exp10 = std::stoi(s.substr(e + 1));
    s.resize(e);
  }
  const size_t dot = s.find('.');
  const int int_len = static_cast<int>(dot == std::string::npos ? s.size() : dot);
  if (dot != std::string::npos) s.erase(dot, 1);
  size_t lead = 0;
  while (lead < s.size() && s[lead] == '0') ++lead;
  digits = s.substr(lead);
  while (!digits.empty() && digits.back() == '0') digits.pop_back();
  exponent = exp10 + int_len - 1 - static_cast<int>(lead);
}

bool reads_back(const std::string& text, double d) {
  const double back = std::strtod(text.c_str(), nullptr);
  return std::memcmp(&back, &d, sizeof d) == 0;
}

// Random bit patterns: the text reads back as the same double, has the
// expected shape for its exponent, is no longer than the shortest round-trip
// form, and its digits are the correctly rounded ones of that length.
TEST(JsonDouble, RoundTripProperty) {
  std::mt19937_64 rng(20240611);
  int checked = 0;
  for (int i = 0; i < 100000; ++i) {
    uint64_t bits = rng();
    if (i % 4 == 1) bits &= 0x800FFFFFFFFFFFFFull | (uint64_t{rng() % 64 + 990} << 52);  // near 1
    if (i % 4 == 2) bits &= 0x800000000000FFFFull;  // subnormals with short mantissas
    double d;
    std::memcpy(&d, &bits, sizeof d);
    if (!std::isfinite(d) || d == 0.0) continue;
    const std::string text = json_double(d);
    ASSERT_TRUE(reads_back(text, d)) << text;

    std::string digits;
    int exponent = 0;
    digits_of(text, digits, exponent);
    const bool fixed = text.find('e') == std::string::npos;
    ASSERT_EQ(fixed, exponent >= -5 && exponent <= 15) << text;
    if (fixed) {
      ASSERT_NE(text.find('.'), std::string::npos) << text;
      ASSERT_NE(text.back(), '.') << text;
    } else {
      ASSERT_EQ(text.find("e0"), std::string::npos) << text;
      ASSERT_EQ(text.find("e-0"), std::string::npos) << text;
      ASSERT_TRUE(text.find("e+") != std::string::npos || exponent < 0) << text;
    }

    char shortest[40];
    const auto r = std::to_chars(shortest, shortest + sizeof shortest, d);
    std::string short_digits;
    int short_exponent = 0;
    digits_of(std::string(shortest, r.ptr), short_digits, short_exponent);
    ASSERT_LE(digits.size(), short_digits.size()) << text;

    // The same number of digits, correctly rounded, unless that rounding does
    // not read back (then a farther candidate was the only round-trip one).
    char rounded[64];
    std::snprintf(rounded, sizeof rounded, "%.*e", static_cast<int>(digits.size()) - 1,
                  std::fabs(d));
    std::string rounded_digits;
    int rounded_exponent = 0;
    digits_of(rounded, rounded_digits, rounded_exponent);
    if (reads_back(rounded, std::fabs(d))) {
      ASSERT_EQ(digits, rounded_digits) << text << " vs " << rounded;
      ASSERT_EQ(exponent, rounded_exponent) << text << " vs " << rounded;
    }
    ++checked;
  }
  EXPECT_GT(checked, 90000);
}

// ---------------------------------------------------------------- values

TEST(JsonValue, EveryVariant) {
  struct Case {
    ColumnValue in;
    std::string out;
  };
  std::array<uint8_t, 16> guid{};
  for (int i = 0; i < 16; ++i) guid[i] = static_cast<uint8_t>(0x11 * i);
  const Case cases[] = {
      {ColumnValue{}, "null"},
      {ColumnValue{true}, "true"},
      {ColumnValue{false}, "false"},
      {ColumnValue{int8_t{-128}}, "-128"},
      {ColumnValue{uint8_t{255}}, "255"},
      {ColumnValue{int16_t{-32768}}, "-32768"},
      {ColumnValue{uint16_t{65535}}, "65535"},
      {ColumnValue{int32_t{-2147483647 - 1}}, "-2147483648"},
      {ColumnValue{uint32_t{4294967295u}}, "4294967295"},
      {ColumnValue{std::numeric_limits<int64_t>::min()}, "-9223372036854775808"},
      {ColumnValue{std::numeric_limits<uint64_t>::max()}, "18446744073709551615"},
      {ColumnValue{uint64_t{0}}, "0"},
      {ColumnValue{0.1f}, "0.10000000149011612"},
      {ColumnValue{1.0f}, "1.0"},
      {ColumnValue{std::numeric_limits<float>::quiet_NaN()}, "0"},
      {ColumnValue{-std::numeric_limits<float>::infinity()}, "0"},
      {ColumnValue{0.1}, "0.1"},
      {ColumnValue{std::numeric_limits<double>::infinity()}, "0"},
      {ColumnValue{DateTimeValue{133300000000000000ull}}, "133300000000000000"},
      {ColumnValue{CurrencyValue{~0ull}}, "18446744073709551615"},  // stored -1
      {ColumnValue{GuidValue{guid}}, "\"33221100-5544-7766-8899-aabbccddeeff\""},
      {ColumnValue{BinaryValue{{0x00, 0x0a, 0xff}}}, "\"000aff\""},
      {ColumnValue{BinaryValue{}}, "\"\""},
      {ColumnValue{TextValue{"a\"\n\xE2\x82\xAC"}}, "\"a\\\"\\n\xE2\x82\xAC\""},
      {ColumnValue{MultiValueValue{{0xde, 0xad, 0xbe, 0xef}}}, "\"deadbeef\""},
      {ColumnValue{LongBinaryValue{}}, "\"\""},
      {ColumnValue{LongBinaryValue{{0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef}}},
       "\"0123456789abcdef\""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(json_value(c.in), c.out) << "variant " << c.in.index();
  }
}

// ---------------------------------------------------------------- records

struct Columns {
  std::vector<ColumnDef> defs;
  explicit Columns(std::vector<std::string> names) {
    for (auto& n : names) defs.push_back(column(std::move(n)));
  }
  // A record with value i + 1 (U32) for column i.
  Record record() const {
    Record r;
    for (size_t i = 0; i < defs.size(); ++i) {
      r.fields.push_back({&defs[i], ColumnValue{static_cast<uint32_t>(i + 1)}});
    }
    return r;
  }
};

TEST(JsonRecord, KeysAndDuplicates) {
  struct Case {
    std::vector<std::string> names;
    std::string out;
  };
  const Case cases[] = {
      {{}, "{}"},
      {{"only"}, "{\"only\":1}"},
      {{"b", "A", "a", "_x"}, "{\"A\":2,\"_x\":4,\"a\":3,\"b\":1}"},
      // A key that is a prefix of another comes first; bytes compare unsigned.
      {{"ab", "\xC3\xA9", "a", "z"}, "{\"a\":3,\"ab\":1,\"z\":4,\"\xC3\xA9\":2}"},
      // ff 41 is not UTF-8: U+FFFD then A.
      {{"\xff\x41"}, "{\"\xEF\xBF\xBD\x41\":1}"},
      // Different stored names, equal text after lossy conversion: the field
      // later in the record remains.
      {{"\xff", "m", "\xfe"}, "{\"m\":2,\"\xEF\xBF\xBD\":3}"},
      {{"\xfe", "\xEF\xBF\xBD", "k"}, "{\"k\":3,\"\xEF\xBF\xBD\":2}"},
      // Keys are escaped like strings.
      {{"q\"", "t\t"}, "{\"q\\\"\":1,\"t\\t\":2}"},
      {{std::string("n\0", 2)}, "{\"n\\u0000\":1}"},
  };
  for (const Case& c : cases) {
    Columns cols(c.names);
    const Record r = cols.record();
    EXPECT_EQ(encode_record(r), c.out);
    // The per-table plan gives the same text, appended after existing bytes.
    const JsonKeyPlan plan = JsonKeyPlan::build(record_columns(r));
    std::string out = "x";
    encode_record(out, r, plan);
    EXPECT_EQ(out, "x" + c.out);
  }
}

TEST(JsonRecord, PlanReusedAcrossRecordsAndRebuiltWhenFieldsDiffer) {
  Columns cols({"b", "a"});
  const Record first = cols.record();
  const JsonKeyPlan plan = JsonKeyPlan::build(record_columns(first));
  EXPECT_TRUE(plan.fits(first));

  Record second = cols.record();
  second.fields[0].value = ColumnValue{TextValue{"x"}};
  std::string out;
  encode_record(out, second, plan);
  EXPECT_EQ(out, "{\"a\":2,\"b\":\"x\"}");

  // A record with other fields is not encoded with a plan that does not fit.
  Columns other({"c", "d", "a"});
  const Record third = other.record();
  EXPECT_FALSE(plan.fits(third));
  out.clear();
  encode_record(out, third, plan);
  EXPECT_EQ(out, "{\"a\":3,\"c\":1,\"d\":2}");
}

// ---------------------------------------------------------------- file names

TEST(ExportFileNames, SafeStem) {
  struct Case {
    std::string name, stem;
  };
  const Case cases[] = {
      {"MSysObjects", "MSysObjects"},
      {"a/b", "a_b"},
      {"a\\b", "a_b"},
      {std::string("a\0b", 3), "a_b"},
      {"/etc/passwd", "_etc_passwd"},
      {"../x", ".._x"},
      {".", "_"},
      {"..", "__"},
      {"...", "..."},
      {".hidden", ".hidden"},
      {"\xff\x41", "\xEF\xBF\xBD\x41"},
      {"caf\xC3\xA9", "caf\xC3\xA9"},
      {"", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(safe_file_stem(c.name), c.stem) << c.name;
}

TEST(ExportFileNames, UniqueWithinOneCall) {
  const std::vector<Name> names = {"a/b", "a_b", "a\\b", "A", "a_b_2", "\xff", "\xfe", ".", "_"};
  const std::vector<std::string> expect = {
      "a_b.jsonl", "a_b_2.jsonl", "a_b_3.jsonl", "A.jsonl",   "a_b_2_2.jsonl",
      "\xEF\xBF\xBD.jsonl", "\xEF\xBF\xBD_2.jsonl", "_.jsonl", "__2.jsonl",
  };
  EXPECT_EQ(export_file_names(names), expect);
  EXPECT_TRUE(export_file_names({}).empty());
}

std::string repeat(std::string_view unit, size_t n) {
  std::string out;
  for (size_t i = 0; i < n; ++i) out += unit;
  return out;
}

TEST(ExportFileNames, LongNamesAreCutAtCharacterBoundariesToFit) {
  const std::string e_acute = "\xC3\xA9", kanji = "\xE6\x97\xA5", emoji = "\xF0\x9F\x98\x80";
  struct Case {
    Name name;
    std::string file;
  };
  // One call, in this order: cut names collide like any others.
  const Case cases[] = {
      {std::string(249, 'x'), std::string(249, 'x') + ".jsonl"},  // exactly 255 bytes
      {std::string(250, 'x'), std::string(247, 'x') + "_2.jsonl"},
      {std::string(300, 'x'), std::string(247, 'x') + "_3.jsonl"},
      {repeat(e_acute, 200), repeat(e_acute, 124) + ".jsonl"},
      {repeat(emoji, 70), repeat(emoji, 62) + ".jsonl"},
      {"a/" + repeat(kanji, 100), "a_" + repeat(kanji, 82) + ".jsonl"},
      {"short", "short.jsonl"},
      {repeat(e_acute, 130), repeat(e_acute, 123) + "_2.jsonl"},
  };
  std::vector<Name> names;
  for (const Case& c : cases) names.push_back(c.name);
  const std::vector<std::string> files = export_file_names(names);
  ASSERT_EQ(files.size(), names.size());
  for (size_t i = 0; i < files.size(); ++i) {
    EXPECT_EQ(files[i], cases[i].file) << i;
    EXPECT_LE(files[i].size(), 255u) << i;
  }
}

// ---------------------------------------------------------------- export

// A temporary directory removed with its content at the end of the test.
class ExportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = (fs::temp_directory_path() / "quarlet-export-XXXXXX").string();
    ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  std::string path(const std::string& rel) const { return (fs::path(dir_) / rel).string(); }
  static std::string read_file(const std::string& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  static void write_file(const std::string& p, const std::string& content) {
    std::ofstream(p, std::ios::binary) << content;
  }

  std::string dir_;
};

// Tag 0 of a leaf page (the page's key prefix): two zero bytes, an entry
// with no key and no data that every walk ignores.
const test::TestTag kPrefixTag = {0, Bytes{0, 0}};

// Table record with fixed column 1 (Signed long) and variable column 128
// (Text, code page 1252).
Bytes table_row(int32_t n, const std::string& text) {
  Bytes r = {1, 128, 9, 0};
  r = test::cat({r, test::le32(static_cast<uint32_t>(n)), Bytes{0},
                 test::le16(static_cast<uint16_t>(text.size())), test::str(text)});
  return r;
}

struct TableSpec {
  std::string name;
  uint32_t root;
};

// A database of `pages` pages with the given tables (each with columns "n",
// Signed long, and "t", Text) in catalog order; table pages are set by the caller.
test::Image make_image(const std::vector<TableSpec>& tables, uint32_t pages = 12) {
  test::Image img(8192, pages);
  std::vector<test::TestTag> tags = {kPrefixTag};
  uint16_t key = 0;
  uint32_t object_id = 100;
  auto add = [&](const Bytes& record) {
    tags.push_back({0, test::leaf_value(test::le16(++key), record)});
  };
  for (const TableSpec& t : tables) {
    add(test::table_record(++object_id, t.name, t.root));
    add(test::column_record(object_id, 1, "n", 4, 4));
    add(test::column_record(object_id, 128, "t", 10, 255, 1252));
  }
  img.set_page(kCatalogRootPage, kPageLeaf, tags);
  return img;
}

void set_rows(test::Image& img, uint32_t page, const std::vector<Bytes>& rows,
              uint32_t next_page = 0) {
  // Keys rise along a chain of ascending page numbers, as in a real tree.
  std::vector<test::TestTag> tags = {kPrefixTag};
  uint8_t key = 0;
  for (const Bytes& r : rows) {
    const Bytes k{static_cast<uint8_t>(page >> 8), static_cast<uint8_t>(page), key++};
    tags.push_back({0, test::leaf_value(k, r)});
  }
  img.set_page(page, kPageLeaf, tags, next_page);
}

std::unique_ptr<Database> open_image(const test::Image& img) {
  auto db = img.open();
  EXPECT_TRUE(db.ok()) << (db.ok() ? "" : message(db.error()));
  return db.ok() ? std::move(*db) : nullptr;
}

TEST_F(ExportTest, MissingTableIsValueErrorAndTouchesNothing) {
  auto db = open_image(make_image({}));
  ASSERT_TRUE(db);
  const std::string existing = path("keep.jsonl");
  write_file(existing, "old content\n");
  struct Case {
    Name name;
    std::string target, message;
  };
  const Case cases[] = {
      {"nope", path("new.jsonl"), "Table not found: nope"},
      {"", path("new.jsonl"), "Table not found: "},
      {"\xff\x41", path("new.jsonl"), "Table not found: \xEF\xBF\xBD\x41"},
      {"nope", existing, "Table not found: nope"},
  };
  for (const Case& c : cases) {
    auto err = export_table_to_path(*db, c.name, c.target);
    ASSERT_TRUE(err);
    EXPECT_EQ(err->type, ExportError::Type::ValueError);
    EXPECT_EQ(err->message, c.message);
  }
  EXPECT_FALSE(fs::exists(path("new.jsonl")));
  EXPECT_EQ(read_file(existing), "old content\n");
}

TEST_F(ExportTest, ExportAllCreatesDirectories) {
  auto db = open_image(make_image({}));
  ASSERT_TRUE(db);
  for (const std::string rel : {"a/b/c", "x//y/", "a/b/c", "."}) {
    EXPECT_FALSE(export_all(*db, path(rel))) << rel;
    EXPECT_TRUE(fs::is_directory(path(rel))) << rel;
  }
}

TEST_F(ExportTest, ExportAllDirectoryErrors) {
  auto db = open_image(make_image({}));
  ASSERT_TRUE(db);
  write_file(path("file"), "x");
  for (const std::string rel : {"file", "file/sub", "file/sub/deeper"}) {
    auto err = export_all(*db, path(rel));
    ASSERT_TRUE(err) << rel;
    EXPECT_EQ(err->type, ExportError::Type::IOError);
    EXPECT_EQ(err->message.rfind("Failed to create output directory: ", 0), 0u) << err->message;
    EXPECT_NE(err->message.find(" (os error "), std::string::npos) << err->message;
  }
}

// The following tests read real tables and need the tree walk, the catalog
// and the record layer.

TEST_F(ExportTest, WritesOneLinePerRecordAcrossLeafPages) {
  test::Image img = make_image({{"T", 5}});
  set_rows(img, 5, {table_row(1, "one"), table_row(-2, "tw\"o")}, 6);
  set_rows(img, 6, {table_row(3, "\xE9")});
  auto db = open_image(img);
  ASSERT_TRUE(db);
  const std::string out = path("t.jsonl");
  write_file(out, std::string(100000, 'z'));  // a longer file is replaced
  EXPECT_FALSE(export_table_to_path(*db, "T", out));
  EXPECT_EQ(read_file(out),
            "{\"n\":1,\"t\":\"one\"}\n{\"n\":-2,\"t\":\"tw\\\"o\"}\n{\"n\":3,\"t\":\"\xC3\xA9\"}\n");
}

TEST_F(ExportTest, EmptyTableGivesEmptyFile) {
  test::Image img = make_image({{"E", 5}});
  set_rows(img, 5, {});
  auto db = open_image(img);
  ASSERT_TRUE(db);
  write_file(path("e.jsonl"), "stale\n");
  EXPECT_FALSE(export_table_to_path(*db, "E", path("e.jsonl")));
  EXPECT_TRUE(fs::exists(path("e.jsonl")));
  EXPECT_EQ(fs::file_size(path("e.jsonl")), 0u);
}

TEST_F(ExportTest, ReadErrorKeepsCompleteEarlierLines) {
  test::Image img = make_image({{"T", 5}});
  // The root lists leaf 5, then a page past the file.
  img = make_image({{"T", 7}});
  set_rows(img, 5, {table_row(1, "a"), table_row(2, "b")});
  img.set_page(7, 0, {kPrefixTag, {0, test::branch_value(test::str("k"), 5)},
                      {0, test::branch_value(test::str(""), 999)}});
  auto db = open_image(img);
  ASSERT_TRUE(db);
  auto err = export_table_to_path(*db, "T", path("t.jsonl"));
  ASSERT_TRUE(err);
  EXPECT_EQ(err->type, ExportError::Type::IOError);
  EXPECT_EQ(err->message, "Error reading record: Invalid page number: 999");
  EXPECT_EQ(read_file(path("t.jsonl")), "{\"n\":1,\"t\":\"a\"}\n{\"n\":2,\"t\":\"b\"}\n");
}

TEST_F(ExportTest, CreateAndWriteErrors) {
  test::Image img = make_image({{"T", 5}});
  set_rows(img, 5, {table_row(1, "a")});
  auto db = open_image(img);
  ASSERT_TRUE(db);
  auto err = export_table_to_path(*db, "T", path("missing/t.jsonl"));
  ASSERT_TRUE(err);
  EXPECT_EQ(err->type, ExportError::Type::IOError);
  EXPECT_EQ(err->message, "Failed to create output file: " + os_error_text(ENOENT));

  err = export_table_to_path(*db, "T", dir_);
  ASSERT_TRUE(err);
  EXPECT_EQ(err->message, "Failed to create output file: " + os_error_text(EISDIR));

  if (::access("/dev/full", W_OK) == 0) {
    err = export_table_to_path(*db, "T", "/dev/full");
    ASSERT_TRUE(err);
    EXPECT_EQ(err->type, ExportError::Type::IOError);
    EXPECT_EQ(err->message, "Write error: " + os_error_text(ENOSPC));
  }
}

TEST_F(ExportTest, UnreadableRootIsReportedBeforeAnyFileIsCreated) {
  test::Image img = make_image({{"A", 999}, {"B", 5}});
  set_rows(img, 5, {table_row(1, "a")});
  auto db = open_image(img);
  ASSERT_TRUE(db);
  auto err = export_all(*db, dir_ + "/");
  ASSERT_TRUE(err);
  EXPECT_EQ(err->type, ExportError::Type::IOError);
  EXPECT_EQ(err->message, "Invalid page number: 999");
  EXPECT_TRUE(fs::is_empty(dir_));  // neither A.jsonl nor B.jsonl
}

TEST_F(ExportTest, ExportAllNamesFilesSafelyAndUniquely) {
  // Long names come before the last table, which must still be exported.
  test::Image img = make_image({{"MSysObjects", 5},
                                {"a/b", 6},
                                {"a_b", 7},
                                {"..", 8},
                                {std::string(300, 'x'), 10},
                                {std::string(299, 'x'), 11},
                                {"\xff\x41", 9}});
  for (uint32_t p = 5; p <= 11; ++p) set_rows(img, p, {table_row(static_cast<int32_t>(p), "v")});
  auto db = open_image(img);
  ASSERT_TRUE(db);
  const std::string out = path("out") + "/";  // trailing separator: no doubled one
  EXPECT_FALSE(export_all(*db, out));
  std::vector<std::string> files;
  for (const auto& e : fs::directory_iterator(path("out"))) {
    files.push_back(e.path().filename().string());
  }
  std::sort(files.begin(), files.end());
  const std::vector<std::string> expect = {"MSysObjects.jsonl",
                                           "__.jsonl",
                                           "a_b.jsonl",
                                           "a_b_2.jsonl",
                                           std::string(247, 'x') + "_2.jsonl",
                                           std::string(249, 'x') + ".jsonl",
                                           "\xEF\xBF\xBD\x41.jsonl"};
  EXPECT_EQ(files, expect);
  EXPECT_EQ(read_file(path("out/" + std::string(249, 'x') + ".jsonl")),
            "{\"n\":10,\"t\":\"v\"}\n");
  EXPECT_EQ(read_file(path("out/" + std::string(247, 'x') + "_2.jsonl")),
            "{\"n\":11,\"t\":\"v\"}\n");
  EXPECT_EQ(read_file(path("out/a_b.jsonl")), "{\"n\":6,\"t\":\"v\"}\n");
  EXPECT_EQ(read_file(path("out/a_b_2.jsonl")), "{\"n\":7,\"t\":\"v\"}\n");
  EXPECT_EQ(read_file(path("out/\xEF\xBF\xBD\x41.jsonl")), "{\"n\":9,\"t\":\"v\"}\n");
  EXPECT_FALSE(fs::exists(path("a_b.jsonl")));  // nothing escaped the directory
}

TEST_F(ExportTest, ExportAllNeverWritesThroughASymbolicLink) {
  test::Image img = make_image({{"A", 5}, {"B", 6}, {"C", 7}});
  for (uint32_t p = 5; p <= 7; ++p) set_rows(img, p, {table_row(static_cast<int32_t>(p), "v")});
  auto db = open_image(img);
  ASSERT_TRUE(db);
  write_file(path("outside.txt"), "precious\n");
  using DirectoryExport = std::optional<ExportError> (*)(const Database&, const std::string&);
  for (DirectoryExport run : {DirectoryExport{export_all}, DirectoryExport{export_all_decoded}}) {
    // B.jsonl links to an existing file outside, then to one that does not exist.
    for (const std::string link_target : {"../outside.txt", "../nowhere.txt"}) {
      fs::remove_all(path("out"));
      fs::create_directory(path("out"));
      fs::create_symlink(link_target, path("out/B.jsonl"));
      auto err = run(*db, path("out"));
      ASSERT_TRUE(err) << link_target;
      EXPECT_EQ(err->type, ExportError::Type::IOError);
      EXPECT_EQ(err->message, "Failed to create output file: " + os_error_text(ELOOP));
      EXPECT_EQ(read_file(path("out/A.jsonl")), "{\"n\":5,\"t\":\"v\"}\n");
      EXPECT_TRUE(fs::is_symlink(path("out/B.jsonl")));
      EXPECT_FALSE(fs::exists(path("out/C.jsonl")));  // the export stopped there
      EXPECT_EQ(read_file(path("outside.txt")), "precious\n");
      EXPECT_FALSE(fs::exists(path("nowhere.txt")));
    }
  }
  // export_table writes the path it is given, through a link too.
  EXPECT_FALSE(export_table_to_path(*db, "C", path("out/B.jsonl")));
  EXPECT_EQ(read_file(path("nowhere.txt")), "{\"n\":7,\"t\":\"v\"}\n");
}

TEST_F(ExportTest, LargeTableCrossesTheWriteBuffer) {
  // Enough long rows to need several block writes; every line intact.
  test::Image img = make_image({{"Big", 5}}, 410);
  const std::string text(3500, 'x');
  std::string expect;
  int32_t n = 0;
  for (uint32_t p = 5; p < 405; ++p) {
    std::vector<Bytes> rows;
    for (int i = 0; i < 2; ++i, ++n) {
      rows.push_back(table_row(n, text));
      expect += "{\"n\":" + std::to_string(n) + ",\"t\":\"" + text + "\"}\n";
    }
    set_rows(img, p, rows, p + 1 < 405 ? p + 1 : 0);
  }
  auto db = open_image(img);
  ASSERT_TRUE(db);
  EXPECT_FALSE(export_table_to_path(*db, "Big", path("big.jsonl")));
  EXPECT_EQ(read_file(path("big.jsonl")), expect);
}

}  // namespace
}  // namespace quarlet
