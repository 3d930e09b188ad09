// Text decoding by code page, column value decoding, the record layout and
// long-value assembly.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <random>
#include <string>
#include <type_traits>

#include "export/arrow/reader.hpp"
#include "record/parser.hpp"
#include "record/text.hpp"
#include "record/value.hpp"
#include "catalog_image.hpp"
#include "test_image.hpp"

namespace quarlet {
namespace {

using test::Bytes;
using test::cat;
using test::le16;
using test::le32;
using test::str;

std::string hex(ByteView b) {
  std::string s;
  char buf[3];
  for (uint8_t c : b) {
    std::snprintf(buf, sizeof buf, "%02x", c);
    s += buf;
  }
  return s;
}

// A value as "Kind:payload", so cases compare as plain strings.
std::string show(const ColumnValue& v) {
  static const char* kKinds[] = {"Null", "Boolean", "I8", "U8", "I16", "U16", "I32", "U32",
                                 "I64", "U64", "F32", "F64", "DateTime", "Currency", "Guid",
                                 "Binary", "Text", "MultiValue", "LongBinary"};
  const std::string payload = std::visit(
      [](const auto& x) -> std::string {
        using T = std::decay_t<decltype(x)>;
        if constexpr (std::is_same_v<T, std::monostate>) {
          return "";
        } else if constexpr (std::is_same_v<T, bool>) {
          return x ? "true" : "false";
        } else if constexpr (std::is_floating_point_v<T>) {
          return std::isnan(x) ? "nan" : std::to_string(x);
        } else if constexpr (std::is_arithmetic_v<T>) {
          return std::to_string(x);
        } else if constexpr (std::is_same_v<T, DateTimeValue> || std::is_same_v<T, CurrencyValue>) {
          return std::to_string(x.raw);
        } else if constexpr (std::is_same_v<T, GuidValue>) {
          return format_guid(x.bytes.data());
        } else if constexpr (std::is_same_v<T, TextValue>) {
          return x.utf8;
        } else {
          return hex(x.bytes);
        }
      },
      v);
  const std::string kind = kKinds[v.index()];
  return kind == "Null" ? kind : kind + ":" + payload;
}

ColumnDef column(const std::string& name, uint32_t id, uint32_t type, uint32_t size = 0,
                 std::optional<uint32_t> codepage = 1252) {
  ColumnDef c;
  c.name = name;
  c.id = id;
  c.column_type = type;
  c.size = size;
  c.codepage = codepage;
  return c;
}

// ---------------------------------------------------------------------------
// Text

const std::string kFFFD = "\xEF\xBF\xBD";

// decode_text's text, checked against write_text's (the one-pass writer
// into bounded room) and that bound.
std::string decoded(ByteView bytes, uint32_t codepage) {
  auto r = decode_text(bytes, codepage);
  EXPECT_TRUE(r.ok()) << hex(bytes);
  std::string room(text_size_bound(bytes.size()), '?');
  room.resize(write_text(bytes, codepage, room.data()));
  EXPECT_EQ(room, r.ok() ? *r : "") << hex(bytes);
  return r.ok() ? *r : "";
}

TEST(TextDecode, CodePagesMarksAndReplacement) {
  struct Case {
    Bytes bytes;
    uint32_t codepage;
    std::string want;
  };
  const Case cases[] = {
      {{0x41, 0x00, 0x42, 0x00}, 1200, "AB"},
      {{0x41, 0x00, 0x42}, 1200, "A" + kFFFD},
      {{0x00, 0xD8, 0x41, 0x00}, 1200, kFFFD + "A"},    // lone lead, then A
      {{0x00, 0xDC, 0x41, 0x00}, 1200, kFFFD + "A"},    // lone trail
      {{0x41, 0x00, 0x00, 0xD8}, 1200, "A" + kFFFD},    // lead at the end
      {{0x00, 0xD8, 0x41}, 1200, kFFFD},                // lead + odd byte: one U+FFFD
      {{0x00, 0xD8, 0x00, 0xD8, 0x00, 0xDC}, 1200, kFFFD + "\xF0\x90\x80\x80"},
      {{0x3D, 0xD8, 0x00, 0xDE}, 1200, "\xF0\x9F\x98\x80"},  // U+1F600
      {{0xE9, 0x00, 0xAC, 0x20}, 1200, "\xC3\xA9\xE2\x82\xAC"},
      {{0x41, 0x00, 0x00, 0x00}, 1200, std::string("A\0", 2)},
      {{0x41}, 1200, kFFFD},
      {{}, 1200, ""},
      {{0x80}, 1252, "\xE2\x82\xAC"},
      {{0x81, 0x8D, 0x8F, 0x90, 0x9D}, 1252, "\xC2\x81\xC2\x8D\xC2\x8F\xC2\x90\xC2\x9D"},
      {{0x9F, 0xA0, 0xFF}, 1252, "\xC5\xB8\xC2\xA0\xC3\xBF"},
      {{0xE9}, 1252, "\xC3\xA9"},
      {{0xE9}, 20127, "\xC3\xA9"},
      {{0xC3, 0xA9}, 1252, "\xC3\x83\xC2\xA9"},  // no UTF-8 guess without a mark
      {{0x00, 0x20, 0x00}, 1252, std::string("\0 \0", 3)},
      // Byte order marks, whatever the code page, and dropped.
      {{0xEF, 0xBB, 0xBF, 0x41}, 1252, "A"},
      {{0xEF, 0xBB, 0xBF, 0xC3, 0xA9, 0xE2, 0x82}, 20127, "\xC3\xA9" + kFFFD},
      {{0xEF, 0xBB, 0xBF, 0xF0, 0x80, 0x41}, 1200, kFFFD + kFFFD + "A"},
      {{0xFF, 0xFE, 0x41, 0x00}, 1252, "A"},
      {{0xFE, 0xFF, 0x00, 0x41}, 1200, "A"},
      {{0xFE, 0xFF, 0xD8, 0x3D, 0xDE, 0x00, 0x00}, 1252, "\xF0\x9F\x98\x80" + kFFFD},
      {{0xFF, 0xFE}, 1200, ""},
      {{0xEF, 0xBB}, 1252, "\xC3\xAF\xC2\xBB"},  // not a whole mark
  };
  for (const Case& c : cases) {
    EXPECT_EQ(decoded(c.bytes, c.codepage), c.want) << hex(c.bytes) << " cp " << c.codepage;
  }
}

TEST(TextDecode, UnknownCodePageIgnoresBytes) {
  for (uint32_t cp : {0u, 1201u, 1250u, 65001u, 437u}) {
    for (const Bytes& b : {Bytes{}, Bytes{0xFF, 0xFE, 0x41, 0x00}, Bytes{0x41}}) {
      auto r = decode_text(b, cp);
      ASSERT_FALSE(r.ok());
      EXPECT_EQ(r.error().kind(), ErrorKind::UnknownCodepage);
      EXPECT_EQ(message(r.error()), "Unknown codepage: " + std::to_string(cp));
    }
  }
}

// UTF-16LE text decoded one character at a time through decode_text itself
// (single characters are pinned by the cases above), to check the block-wise
// paths over long input against.
std::string char_by_char(const Bytes& b) {
  std::string out;
  size_t i = 0;
  auto unit = [&](size_t at) { return b[at] | (b[at + 1] << 8); };
  auto lead = [&](size_t at) { return unit(at) >= 0xD800 && unit(at) <= 0xDBFF; };
  auto trail = [&](size_t at) { return unit(at) >= 0xDC00 && unit(at) <= 0xDFFF; };
  auto one = [&](size_t n) {
    out += decoded(cat({Bytes{0xFF, 0xFE}, Bytes(b.begin() + i, b.begin() + i + n)}), 1200);
    i += n;
  };
  while (i + 2 <= b.size()) {
    if (lead(i) && i + 4 <= b.size() && trail(i + 2)) {
      one(4);
    } else if (lead(i) && i + 3 == b.size()) {
      one(3);  // a leading surrogate and an odd final byte make one U+FFFD
    } else {
      one(2);
    }
  }
  if (i < b.size()) one(1);
  return out;
}

TEST(TextDecode, Utf16LongInputMatchesCharByChar) {
  std::mt19937 rng(12345);
  // Code units mostly ASCII so the fast path is entered and left at every
  // position; the rest exercise every UTF-8 length and surrogate case.
  const uint16_t pool[] = {0x00, 0x7F, 0x80, 0xE9, 0x7FF, 0x800, 0x20AC, 0xD800,
                           0xDBFF, 0xDC00, 0xDFFF, 0xFFFF, 0xFEFF};
  for (int iter = 0; iter < 3000; ++iter) {
    Bytes le;
    const int units = static_cast<int>(rng() % 40);
    for (int u = 0; u < units; ++u) {
      const uint16_t unit = rng() % 3 ? static_cast<uint16_t>(0x20 + rng() % 0x5F)
                                      : pool[rng() % std::size(pool)];
      le.push_back(static_cast<uint8_t>(unit));
      le.push_back(static_cast<uint8_t>(unit >> 8));
    }
    if (rng() % 4 == 0) le.push_back(static_cast<uint8_t>(rng()));
    Bytes be = le;
    for (size_t i = 0; i + 1 < be.size(); i += 2) std::swap(be[i], be[i + 1]);
    const std::string want = char_by_char(le);
    EXPECT_EQ(decoded(cat({Bytes{0xFF, 0xFE}, le}), 1252), want) << hex(le);
    EXPECT_EQ(decoded(cat({Bytes{0xFE, 0xFF}, be}), 1252), want) << hex(be);
    const bool marked = le.size() >= 2 && ((le[0] == 0xFF && le[1] == 0xFE) ||
                                           (le[0] == 0xFE && le[1] == 0xFF));
    if (!marked) {
      EXPECT_EQ(decoded(le, 1200), want) << hex(le);
    }
  }
}

TEST(TextDecode, Cp1252LongRunsAroundTheAsciiFastPath) {
  // High bytes at every position of 8-byte blocks, between ASCII runs.
  for (size_t prefix = 0; prefix < 20; ++prefix) {
    Bytes b(prefix, 'x');
    b.push_back(0x80);
    b.insert(b.end(), prefix, 'y');
    b.push_back(0xFF);
    const std::string want =
        std::string(prefix, 'x') + "\xE2\x82\xAC" + std::string(prefix, 'y') + "\xC3\xBF";
    EXPECT_EQ(decoded(b, 1252), want);
  }
}

// ---------------------------------------------------------------------------
// Values

TEST(ValueDecode, EveryTypeFullAndShortData) {
  struct Case {
    uint32_t type;
    Bytes data;
    std::string want;
  };
  const Case cases[] = {
      {0, {1, 2}, "Null"},
      {13, {1}, "Null"},
      {18, {1, 2, 3, 4}, "Null"},
      {1, {0x02}, "Boolean:true"},
      {1, {0x00}, "Boolean:false"},
      {2, {0xFF}, "U8:255"},
      {2, {0xFF, 0xFF}, "U16:65535"},
      {2, {1, 0, 0, 0}, "U32:1"},
      {2, {1, 0, 0, 0, 0, 0, 0, 0x80}, "U64:9223372036854775809"},
      {2, {1, 2, 3}, "Binary:010203"},
      {3, {0xFF, 0xFF}, "I16:-1"},
      {3, {0xFE, 0xFF, 0x77}, "I16:-2"},
      {17, {0xFF, 0xFF}, "U16:65535"},
      {4, {0xFE, 0xFF, 0xFF, 0xFF}, "I32:-2"},
      {14, {0xFE, 0xFF, 0xFF, 0xFF, 9}, "U32:4294967294"},
      {15, Bytes(8, 0xFF), "U64:18446744073709551615"},
      {5, Bytes(8, 0xFF), "Currency:18446744073709551615"},
      {8, {0, 0, 0, 0, 0, 0, 0xF0, 0x3F}, "DateTime:4607182418800017408"},
      {6, {0, 0, 0xC0, 0x7F}, "F32:nan"},
      {6, {0, 0, 0x80, 0x3F}, "F32:1.000000"},
      {7, {0, 0, 0, 0, 0, 0, 0xF0, 0xBF}, "F64:-1.000000"},
      {9, {0, 1}, "Binary:0001"},
      {11, {4, 3, 2, 1}, "LongBinary:04030201"},
      {10, {'h', 'i'}, "Text:hi"},
      {12, {0xE9}, "Text:\xC3\xA9"},
      {16, cat({Bytes{0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xAA, 0xBB,
                      0xCC, 0xDD, 0xEE, 0xFF},
                Bytes{1, 2, 3, 4}}),
       "Guid:33221100-5544-7766-8899-aabbccddeeff"},
      // Shorter than the type's width: the bytes present, as Binary.
      {3, {0x01}, "Binary:01"},
      {4, {1, 2, 3}, "Binary:010203"},
      {6, {1, 2}, "Binary:0102"},
      {5, {1, 2, 3, 4, 5, 6, 7}, "Binary:01020304050607"},
      {8, {1, 2, 3, 4}, "Binary:01020304"},
      {15, {9, 9}, "Binary:0909"},
      {16, Bytes(15, 0xAB), "Binary:" + hex(Bytes(15, 0xAB))},
  };
  for (const Case& c : cases) {
    auto r = decode_value(c.data, column("c", 1, c.type));
    ASSERT_TRUE(r.ok()) << c.type;
    EXPECT_EQ(show(*r), c.want) << "type " << c.type << " data " << hex(c.data);
  }
}

TEST(ValueDecode, EmptyDataIsNullForEveryType) {
  for (uint32_t type = 0; type < 19; ++type) {
    auto r = decode_value(ByteView(), column("c", 1, type, 0, 65001));
    ASSERT_TRUE(r.ok()) << type;  // not even the unknown code page is looked at
    EXPECT_EQ(show(*r), "Null") << type;
  }
}

TEST(ValueDecode, TextCodePages) {
  EXPECT_EQ(show(*decode_value(Bytes{0x80}, column("c", 1, 10, 0, std::nullopt))),
            "Text:\xE2\x82\xAC");  // 1252 when the column has none
  EXPECT_EQ(show(*decode_value(Bytes{'A', 0}, column("c", 1, 12, 0, 1200))), "Text:A");
  auto r = decode_value(Bytes{'A'}, column("c", 1, 10, 0, 65001));
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(message(r.error()), "Unknown codepage: 65001");
  EXPECT_EQ(show(decode_value_or_null(Bytes{'A'}, column("c", 1, 10, 0, 65001))), "Null");
}

TEST(ValueDecode, TypeNamesAndGuidText) {
  const char* names[19] = {"NULL",        "Boolean",  "Unsigned byte", "Signed short",
                           "Signed long", "Currency", "Single precision FP",
                           "Double precision FP", "DateTime", "Binary", "Text",
                           "Long Binary", "Long Text", "Obsolete", "Unsigned long",
                           "Long long",   "GUID",     "Unsigned short", "Max"};
  for (uint32_t t = 0; t < 19; ++t) EXPECT_EQ(column_type_name(t), names[t]);
  EXPECT_EQ(column_type_name(19), "");
  const uint8_t g[16] = {0xF0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 0x0F};
  EXPECT_EQ(format_guid(g), "030201f0-0504-0706-0809-0a0b0c0d0e0f");
}

// ---------------------------------------------------------------------------
// Records

// Record bytes: header, fixed bytes (null bitmap included by the caller),
// variable offsets and data, then the tagged area.
struct RecordBuilder {
  uint8_t last_fixed = 0;
  uint8_t last_variable = 127;
  Bytes fixed;                               // bytes from offset 4 up to O
  std::vector<std::optional<Bytes>> vars;    // column 128 + j; nullopt = absent
  struct Tagged {
    uint16_t id;
    Bytes value;
    std::optional<uint8_t> flags;  // written as a flags byte when present
  };
  std::vector<Tagged> tagged;
  bool large = false;

  Bytes build() const {
    Bytes out = cat({Bytes{last_fixed, last_variable},
                     le16(static_cast<uint16_t>(4 + fixed.size())), fixed});
    Bytes offsets, data;
    for (const auto& v : vars) {
      if (v) data.insert(data.end(), v->begin(), v->end());
      uint16_t end = static_cast<uint16_t>(data.size());
      if (!v) end |= 0x8000;
      offsets = cat({offsets, le16(end)});
    }
    out = cat({out, offsets, data});
    Bytes array, values;
    const size_t array_size = 4 * tagged.size();
    for (const auto& t : tagged) {
      uint16_t w = static_cast<uint16_t>(array_size + values.size());
      if (t.flags) {
        if (!large) w |= 0x4000;
        values.push_back(*t.flags);
      }
      values.insert(values.end(), t.value.begin(), t.value.end());
      array = cat({array, le16(t.id), le16(w)});
    }
    return cat({out, array, values});
  }
};

struct Table {
  TableDef def;
  explicit Table(std::vector<ColumnDef> cols) {
    for (auto& c : cols) def.columns.insert(c.name, c);
  }
  ColumnPlan plan() const { return ColumnPlan::build(def); }
};

// "name=value" for every field, in record order.
std::vector<std::string> show(const Record& r) {
  std::vector<std::string> out;
  for (const auto& f : r.fields) out.push_back(f.column->name + "=" + show(f.value));
  return out;
}

using Strings = std::vector<std::string>;

Table sample_table() {
  return Table({column("tag_text", 256, 10), column("var_bin", 129, 9),
                column("f_long", 1, 4, 4), column("var_text", 128, 10),
                column("f_short", 2, 3, 2), column("tag_lv", 300, 11)});
}

TEST(RecordLayout, AllThreeAreasInIdOrder) {
  Table t = sample_table();
  RecordBuilder b;
  b.last_fixed = 2;
  b.last_variable = 129;
  b.fixed = cat({le32(7), le16(0xFFFF), Bytes{0x00}});  // and a null bitmap byte
  b.vars = {str("abc"), Bytes{1, 2}};
  b.tagged = {{256, str("tag"), 0x00}, {300, {9, 0, 0, 0}, 0x04}};
  RecordScratch scratch;
  Record r = parse_record(b.build(), t.plan(), false, scratch);
  EXPECT_EQ(show(r), (Strings{"f_long=I32:7", "f_short=I16:-1", "var_text=Text:abc",
                              "var_bin=Binary:0102", "tag_text=Text:tag",
                              "tag_lv=LongBinary:09000000"}));
  EXPECT_EQ(scratch.long_refs, (std::vector<uint32_t>{5}));
}

TEST(RecordLayout, ShortRecordsAndMissingColumns) {
  Table t = sample_table();
  const Strings all_null = {"f_long=Null", "f_short=Null", "var_text=Null",
                            "var_bin=Null", "tag_text=Null", "tag_lv=Null"};
  for (const Bytes& d : {Bytes{}, Bytes{2}, Bytes{2, 129, 4}}) {
    EXPECT_EQ(show(parse_record(d, t.plan(), false)), all_null) << hex(d);
  }
  // F = 0 and V = 127: no fixed or variable columns; the tagged area is at O.
  RecordBuilder b;
  b.tagged = {{256, str("x"), std::nullopt}};
  EXPECT_EQ(show(parse_record(b.build(), t.plan(), false)),
            (Strings{"f_long=Null", "f_short=Null", "var_text=Null", "var_bin=Null",
                     "tag_text=Text:x", "tag_lv=Null"}));
}

TEST(RecordLayout, FixedColumnsBoundsAndDeclaredSizes) {
  Table t({column("a", 1, 14, 4), column("b", 2, 15, 8), column("c", 3, 17, 2),
           column("z", 4, 9, 0), column("d", 5, 1, 1)});
  // F = 3: a and b fit, c does not (the record ends at 4 + 4 + 8 + 1, the
  // last byte being the null bitmap).
  RecordBuilder b;
  b.last_fixed = 3;
  b.fixed = cat({le32(1), Bytes(8, 0x01), Bytes{0x00}});
  EXPECT_EQ(show(parse_record(b.build(), t.plan(), false)),
            (Strings{"a=U32:1", "b=U64:72340172838076673", "c=Null", "z=Null", "d=Null"}));
  // b cut short is Null, and c is still placed after b's declared 8 bytes.
  Bytes d = cat({Bytes{3, 127, 0x0E, 0x00}, le32(1), Bytes{0xAA, 0xBB, 0xCC, 0xDD, 0x02, 0x00}});
  EXPECT_EQ(show(parse_record(d, t.plan(), false)),
            (Strings{"a=U32:1", "b=Null", "c=Null", "z=Null", "d=Null"}));
  // Sizes come from the declared sizes, also across a zero-size column.
  RecordBuilder e;
  e.last_fixed = 5;
  e.fixed = cat({le32(2), Bytes(8, 0), le16(3), Bytes{1}, Bytes{0x00}});
  EXPECT_EQ(show(parse_record(e.build(), t.plan(), false)),
            (Strings{"a=U32:2", "b=U64:0", "c=U16:3", "z=Null", "d=Boolean:true"}));
}

TEST(RecordLayout, FixedNullBitmapEndsAtVariableArray) {
  Table t({column("a", 1, 14, 4), column("b", 2, 14, 4), column("c", 9, 2, 1)});
  // F = 9 but only columns 1, 2 and 9 are listed: offsets follow the listed
  // columns, and the two bitmap bytes end at O.
  auto record = [&](Bytes bitmap, uint16_t o_shift = 0) {
    return cat({Bytes{9, 127}, le16(static_cast<uint16_t>(4 + 8 + 1 + bitmap.size() + o_shift)),
                le32(10), le32(20), Bytes{0x33}, bitmap});
  };
  struct Case {
    Bytes bitmap;
    Strings want;
  };
  const Case cases[] = {
      {{0x00, 0x00}, {"a=U32:10", "b=U32:20", "c=U8:51"}},
      {{0x02, 0x00}, {"a=U32:10", "b=Null", "c=U8:51"}},
      {{0x01, 0x01}, {"a=Null", "b=U32:20", "c=Null"}},
      {{0xFC, 0xFE}, {"a=U32:10", "b=U32:20", "c=U8:51"}},  // other columns' bits
  };
  for (const Case& c : cases) {
    EXPECT_EQ(show(parse_record(record(c.bitmap), t.plan(), false)), c.want) << hex(c.bitmap);
  }
  // The bitmap is not consulted when it would lie outside the record: O past
  // the end, or O too small to leave room for it after the header.
  Bytes past = record({0xFF, 0xFF}, 40);
  EXPECT_EQ(show(parse_record(past, t.plan(), false)),
            (Strings{"a=U32:10", "b=U32:20", "c=U8:51"}));
  Bytes small = cat({Bytes{9, 127, 0x05, 0x00}, Bytes{0xFF, 0xFF, 0xFF, 0xFF}, le32(20)});
  EXPECT_EQ(show(parse_record(small, t.plan(), false)),
            (Strings{"a=U32:4294967295", "b=U32:20", "c=Null"}));
}

TEST(RecordLayout, VariableColumnsOutOfRangeAreNull) {
  Table t({column("v0", 128, 9), column("v1", 129, 9), column("v2", 130, 9), column("v3", 131, 9)});
  struct Case {
    const char* what;
    Bytes record;
    Strings want;
  };
  auto rec = [](uint8_t v, Bytes offsets, Bytes data) {
    return cat({Bytes{0, v, 4, 0}, offsets, data});
  };
  const Case cases[] = {
      {"normal", rec(130, cat({le16(1), le16(3), le16(3)}), {0xA, 0xB, 0xC}),
       {"v0=Binary:0a", "v1=Binary:0b0c", "v2=Null", "v3=Null"}},
      {"absent bit wins over fitting bytes",
       rec(130, cat({le16(0x8001), le16(3), le16(3)}), {0xA, 0xB, 0xC}),
       {"v0=Null", "v1=Binary:0b0c", "v2=Null", "v3=Null"}},
      {"start after end", rec(130, cat({le16(2), le16(1), le16(3)}), {0xA, 0xB, 0xC}),
       {"v0=Binary:0a0b", "v1=Null", "v2=Binary:0b0c", "v3=Null"}},
      {"end past the record", rec(129, cat({le16(1), le16(9)}), {0xA, 0xB, 0xC}),
       {"v0=Binary:0a", "v1=Null", "v2=Null", "v3=Null"}},
      {"offset array cut", cat({Bytes{0, 131, 4, 0}, le16(0), le16(0), Bytes{0}}),
       {"v0=Null", "v1=Null", "v2=Null", "v3=Null"}},
      {"V = 127", rec(127, cat({le16(1)}), {0xA}),
       {"v0=Null", "v1=Null", "v2=Null", "v3=Null"}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(show(parse_record(c.record, t.plan(), false)), c.want) << c.what;
  }
}

TEST(RecordLayout, TaggedEntriesFlagsAndDamage) {
  Table t({column("t256", 256, 10), column("t257", 257, 4), column("t258", 258, 9),
           column("t259", 259, 11)});
  using T = RecordBuilder::Tagged;
  struct Case {
    const char* what;
    std::vector<T> tagged;
    Strings want;
    std::vector<uint32_t> long_refs;
  };
  const Case cases[] = {
      {"flags bytes",
       {{256, str("ab"), 0x02}, {257, {1, 0, 0, 0}, 0x08}, {258, {5}, 0x06}, {259, {7}, 0x01}},
       {"t256=Binary:6162", "t257=MultiValue:01000000", "t258=LongBinary:05",
        "t259=LongBinary:07"},
       {2}},
      {"no flags byte", {{257, {1, 0, 0, 0}, std::nullopt}, {259, {4, 0}, std::nullopt}},
       {"t256=Null", "t257=I32:1", "t258=Null", "t259=LongBinary:0400"}, {}},
      {"flags byte only: empty value",
       {{256, {}, 0x04}, {258, {}, std::nullopt}},
       {"t256=LongBinary:", "t257=Null", "t258=Null", "t259=Null"}, {0}},
      {"repeated id: the later wins",
       {{257, {1, 0, 0, 0}, 0}, {257, {2, 0, 0, 0}, 0}, {258, {1}, 0}},
       {"t256=Null", "t257=I32:2", "t258=Binary:01", "t259=Null"}, {}},
      {"out of id order",
       {{259, {3}, 0x04}, {257, {2, 0, 0, 0}, 0}, {256, str("z"), 0}, {257, {9, 0, 0, 0}, 0}},
       {"t256=Text:z", "t257=I32:9", "t258=Null", "t259=LongBinary:03"}, {3}},
      {"ids not in the table", {{255, {1}, 0}, {260, {1}, 0}},
       {"t256=Null", "t257=Null", "t258=Null", "t259=Null"}, {}},
  };
  for (const Case& c : cases) {
    RecordBuilder b;
    b.tagged = c.tagged;
    RecordScratch scratch;
    EXPECT_EQ(show(parse_record(b.build(), t.plan(), false, scratch)), c.want) << c.what;
    EXPECT_EQ(scratch.long_refs, c.long_refs) << c.what;
  }
}

TEST(RecordLayout, TaggedEntryWithReversedRangeIsDropped) {
  Table t({column("t256", 256, 9), column("t257", 257, 9), column("t258", 258, 9)});
  // Entry offsets 12, 15, 14: the middle entry ends before it starts.
  Bytes d = cat({Bytes{0, 127, 4, 0}, le16(256), le16(12), le16(257), le16(15), le16(258),
                 le16(14), Bytes{1, 2, 3, 4}});
  EXPECT_EQ(show(parse_record(d, t.plan(), false)),
            (Strings{"t256=Binary:010203", "t257=Null", "t258=Binary:0304"}));
  // A dropped repeat does not hide the earlier entry of its id.
  Bytes e = cat({Bytes{0, 127, 4, 0}, le16(256), le16(12), le16(256), le16(14), le16(257),
                 le16(13), Bytes{7, 8}});
  EXPECT_EQ(show(parse_record(e, t.plan(), false)),
            (Strings{"t256=Binary:0708", "t257=Binary:08", "t258=Null"}));
  // The first entry's offset bounds the array: nothing past it is an entry.
  Bytes f = cat({Bytes{0, 127, 4, 0}, le16(256), le16(4), le16(257), le16(0), Bytes{5}});
  EXPECT_EQ(show(parse_record(f, t.plan(), false)),
            (Strings{"t256=Binary:01010000" "05", "t257=Null", "t258=Null"}));
}

TEST(RecordLayout, LargeLayoutFifteenBitOffsetsAndFlagsBytes) {
  Table t({column("big", 256, 9), column("after", 257, 10), column("raw", 258, 9)});
  RecordBuilder b;
  b.large = true;
  b.tagged = {{256, Bytes(0x4100, 0x5A), 0x00}, {257, str("end"), 0x00}, {258, {0x04, 1}, 0}};
  const Bytes d = b.build();
  RecordScratch scratch;
  Record r = parse_record(d, t.plan(), true, scratch);
  ASSERT_EQ(r.fields.size(), 3u);
  EXPECT_EQ(show(r.fields[0].value), "Binary:" + hex(Bytes(0x4100, 0x5A)));
  EXPECT_EQ(show(r.fields[1].value), "Text:end");
  EXPECT_EQ(show(r.fields[2].value), "Binary:0401");
  // Every large-layout value has a flags byte, whatever bit 14 says.
  RecordBuilder small;
  small.large = true;
  small.tagged = {{256, {0x04, 0xEE}, std::nullopt}};
  EXPECT_EQ(show(parse_record(small.build(), t.plan(), true, scratch)),
            (Strings{"big=LongBinary:ee", "after=Null", "raw=Null"}));
  EXPECT_EQ(scratch.long_refs, (std::vector<uint32_t>{0}));
  // The small layout takes a flags byte only where bit 14 says so.
  EXPECT_EQ(show(parse_record(small.build(), t.plan(), false)),
            (Strings{"big=Binary:04ee", "after=Null", "raw=Null"}));
}

TEST(RecordLayout, BadTextAndDuplicateIds) {
  Table t({column("x", 128, 10, 0, 65001), column("y", 128, 9), column("z", 256, 12, 0, 1200)});
  RecordBuilder b;
  b.last_variable = 128;
  b.vars = {str("hi")};
  b.tagged = {{256, {'o', 0, 'k', 0}, 0}};
  EXPECT_EQ(show(parse_record(b.build(), t.plan(), false)),
            (Strings{"x=Null", "y=Binary:6869", "z=Text:ok"}));
}

// ---------------------------------------------------------------------------
// Long values

TEST(RecordLongValue, ReferenceIdWidths) {
  EXPECT_FALSE(long_value_ref(Bytes{1, 2, 3}).has_value());
  EXPECT_FALSE(long_value_ref(Bytes{}).has_value());
  auto r4 = long_value_ref(Bytes{1, 2, 3, 4, 5, 6, 7});
  ASSERT_TRUE(r4);
  EXPECT_EQ(r4->width, 4);
  EXPECT_EQ(r4->id, 0x04030201u);
  auto r8 = long_value_ref(Bytes{0, 0, 0, 0x80, 1, 0, 0, 0x80, 0xFF});
  ASSERT_TRUE(r8);
  EXPECT_EQ(r8->width, 8);
  EXPECT_EQ(r8->id, 0x8000000180000000ull);
}

TEST(RecordLongValue, ChunksJoinedByOffsetAndCut) {
  const Bytes a = str("AAAA"), b = str("BB"), c = str("C");
  auto chunks = [&](std::vector<std::pair<uint32_t, const Bytes*>> parts,
                    std::optional<uint32_t> total) {
    LongValueChunks lv;
    for (auto& [off, bytes] : parts) lv.chunks.emplace_back(off, ByteView(*bytes));
    lv.total_size = total;
    return lv;
  };
  const ColumnDef binary = column("b", 256, 11);
  const ColumnDef text = column("t", 256, 12, 0, std::nullopt);
  struct Case {
    LongValueChunks lv;
    const ColumnDef* col;
    std::string want;
  };
  const Case cases[] = {
      {chunks({{4096, &b}, {0, &a}}, std::nullopt), &binary, "Binary:4141414142 42"},
      {chunks({{4096, &b}, {0, &a}}, 5), &text, "Text:AAAAB"},
      {chunks({{0, &a}, {4, &b}}, 100), &text, "Text:AAAABB"},
      {chunks({{8, &c}, {0, &b}, {8, &a}}, std::nullopt), &text, "Text:BBCAAAA"},  // stable
      {chunks({{0, &a}}, 2), &binary, "Binary:4141"},
      {chunks({{0, &a}}, 3), &text, "Text:AAA"},
      {chunks({{0, &a}}, 0), &text, "Text:"},
      {chunks({}, 7), &text, "Text:"},
  };
  for (const Case& k : cases) {
    std::string want = k.want;
    want.erase(std::remove(want.begin(), want.end(), ' '), want.end());
    EXPECT_EQ(show(long_value_from_chunks(&k.lv, *k.col)), want);
  }
}

TEST(RecordLongValue, NothingFoundAndTextDecoding) {
  EXPECT_EQ(show(long_value_from_chunks(nullptr, column("t", 256, 10))), "Text:");
  EXPECT_EQ(show(long_value_from_chunks(nullptr, column("b", 256, 11))), "Binary:");
  EXPECT_EQ(show(long_value_from_chunks(nullptr, column("i", 256, 4))), "Binary:");
  EXPECT_EQ(show(long_value_from_chunks(nullptr, column("u", 256, 12, 0, 65001))), "Binary:");
  // UTF-16 decoding of the joined bytes: a surrogate pair split across chunks.
  const Bytes first = {'A', 0, 0x3D, 0xD8}, second = {0x00, 0xDE};
  LongValueChunks lv;
  lv.chunks = {{2048, ByteView(second)}, {0, ByteView(first)}};
  EXPECT_EQ(show(long_value_from_chunks(&lv, column("u", 256, 12, 0, 1200))),
            "Text:A\xF0\x9F\x98\x80");
  EXPECT_EQ(show(long_value_from_chunks(&lv, column("u", 256, 12, 0, 437))),
            "Binary:41003dd800de");
}

// ---------------------------------------------------------------------------
// Tables: records read through the catalog, the leaf chain and long values

using test::Image;

Bytes be32(uint32_t v) {
  return {static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16),
          static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
}
Bytes le64(uint64_t v) {
  return cat({le32(static_cast<uint32_t>(v)), le32(static_cast<uint32_t>(v >> 32))});
}

constexpr uint32_t kDataPage = 10, kLongValuePage = 11;

// Table "T" (object 2, data on page 10): n (fixed u32), name (Text), body
// (tagged Long Text, UTF-16), blob (tagged Long Binary), inline (tagged Long
// Binary stored in the record). Its long-value tree, when `lv_root` is not 0,
// is rooted at `lv_root`.
Image table_image(uint32_t page_size, uint32_t lv_root) {
  Image image(page_size, 14);
  std::vector<Bytes> catalog = {
      test::table_record(2, "T", kDataPage),
      test::column_record(2, 1, "n", 14, 4),
      test::column_record(2, 128, "name", 10, 255),
      test::column_record(2, 256, "body", 12, 0, 1200),
      test::column_record(2, 257, "blob", 11, 0),
      test::column_record(2, 258, "inline", 11, 0),
  };
  if (lv_root != 0) catalog.push_back(test::long_value_record(2, 3, "LV", lv_root));
  test::set_catalog_page(image, catalog);
  return image;
}

Bytes table_row(uint32_t n, const std::string& name, std::vector<RecordBuilder::Tagged> tagged,
                bool large) {
  RecordBuilder b;
  b.last_fixed = 1;
  b.last_variable = 128;
  b.fixed = cat({le32(n), Bytes{0x00}});
  b.vars = {str(name)};
  b.tagged = std::move(tagged);
  b.large = large;
  return b.build();
}

void set_rows(Image& image, const std::vector<Bytes>& rows) {
  std::vector<test::TestTag> tags{{0, {}}};
  for (size_t i = 0; i < rows.size(); ++i) {
    tags.push_back({0, test::leaf_value(be32(static_cast<uint32_t>(i + 1)), rows[i])});
  }
  image.set_page(kDataPage, kPageLeaf, tags);
}

// Long-value leaf page: value 5 ("abc" in UTF-16, two chunks, the total size
// cutting the second) and value 6 (two bytes), under `id_bytes`-wide ids.
void set_long_values(Image& image, int id_bytes) {
  auto id = [&](uint64_t v) {
    const Bytes low = be32(static_cast<uint32_t>(v));
    return id_bytes == 8 ? cat({be32(static_cast<uint32_t>(v >> 32)), low}) : low;
  };
  const uint64_t five = id_bytes == 8 ? 0x8000000000000005ull : 5;
  const uint64_t six = id_bytes == 8 ? 0x8000000000000006ull : 6;
  image.set_page(kLongValuePage, kPageLeaf | kPageLongValue,
                 {{0, {}},
                  {0, test::leaf_value(id(five), cat({le32(1), le32(6)}))},
                  {0, test::leaf_value(cat({id(five), be32(0)}), {'a', 0, 'b', 0})},
                  {0, test::leaf_value(cat({id(five), be32(4)}), {'c', 0, 'X', 'X'})},
                  {0, test::leaf_value(cat({id(six), be32(0)}), {0xDE, 0xAD})}});
}

Strings read_all(const Database& db, const std::string& table) {
  auto records = TableRecords::open(db, table);
  EXPECT_TRUE(records.ok());
  if (!records.ok()) return {};
  Strings out;
  while (true) {
    auto r = (*records)->next();
    EXPECT_TRUE(r.ok());
    if (!r.ok() || !r->has_value()) break;
    std::string line;
    for (const std::string& f : show(**r)) line += (line.empty() ? "" : " ") + f;
    out.push_back(line);
  }
  auto again = (*records)->next();  // the end stays the end
  EXPECT_TRUE(again.ok() && !again->has_value());
  return out;
}

struct LayoutCase {
  uint32_t page_size;
  int id_bytes;  // long-value id width written by this engine version
};

class RecordTableLayout : public ::testing::TestWithParam<LayoutCase> {};

TEST_P(RecordTableLayout, LongValueReferencesResolvedInlineLongBinaryKept) {
  const auto [page_size, id_bytes] = GetParam();
  Image image = table_image(page_size, kLongValuePage);
  const bool large = image.large();
  auto ref = [&](uint64_t id) {
    return id_bytes == 8 ? le64(0x8000000000000000ull | id) : le32(static_cast<uint32_t>(id));
  };
  set_rows(image, {
      table_row(1, "a", {{256, ref(5), 0x04}, {257, ref(6), 0x04}, {258, {1, 2, 3, 4}, 0}},
                large),
      table_row(2, "b", {{256, {5, 0, 0}, 0x04}, {257, ref(99), 0x04}}, large),
      table_row(3, "c", {{257, ref(5), 0x04}}, large),
  });
  set_long_values(image, id_bytes);
  auto db = image.open();
  ASSERT_TRUE(db.ok()) << message(db.error());
  EXPECT_EQ(read_all(**db, "T"),
            (Strings{"n=U32:1 name=Text:a body=Text:abc blob=Binary:dead "
                     "inline=LongBinary:01020304",
                     "n=U32:2 name=Text:b body=Text: blob=Binary: inline=Null",
                     "n=U32:3 name=Text:c body=Null blob=Binary:610062006300 inline=Null"}));
}

// Arrow batches of records with long values: a batch whose data reaches the
// limit ends after the chunk that reached it, and a worker's batch is then
// given in parts; the values are the same in any case.
TEST(RecordTable, ArrowBatchesOfLongValuesEndAtTheDataLimit) {
  Image image = table_image(8192, kLongValuePage);
  std::vector<Bytes> rows;
  for (uint32_t n = 1; n <= 6; ++n) rows.push_back(table_row(n, "r", {{256, le32(5), 0x04}}, false));
  set_rows(image, rows);
  set_long_values(image, 4);
  auto db = image.open();
  ASSERT_TRUE(db.ok()) << message(db.error());
  struct Case {
    uint64_t data_limit;
    bool workers;
    std::vector<int64_t> lengths;
  };
  const Case cases[] = {
      {kArrowBatchDataLimit, true, {4, 2}},
      {1, false, {1, 1, 1, 1, 1, 1}},
      {1, true, {1, 1, 1, 1, 1, 1}},  // after the first batch, parts of the workers' batches
      {5, true, {2, 2, 2}},  // 4 bytes of text a record
  };
  for (const Case& c : cases) {
    ArrowReadOptions options;
    options.batch_size = 4;
    options.batch_data = c.data_limit;
    options.workers = c.workers;
    auto reader = ArrowTableReader::open(**db, "T", options);
    ASSERT_TRUE(reader.ok());
    std::vector<int64_t> lengths;
    ArrowArray batch;
    while (true) {
      auto more = (*reader)->next(&batch);
      ASSERT_TRUE(more.ok());
      if (!*more) break;
      lengths.push_back(batch.length);
      const ArrowArray& body = *batch.children[2];
      const auto* offsets = static_cast<const int32_t*>(body.buffers[1]);
      for (int64_t i = 0; i < batch.length; ++i) {
        EXPECT_EQ(std::string(static_cast<const char*>(body.buffers[2]) + offsets[i],
                              static_cast<size_t>(offsets[i + 1] - offsets[i])),
                  "abc");
      }
      batch.release(&batch);
    }
    EXPECT_EQ(lengths, c.lengths) << c.data_limit << " " << c.workers;
  }
}

INSTANTIATE_TEST_SUITE_P(Record, RecordTableLayout,
                         ::testing::Values(LayoutCase{8192, 4}, LayoutCase{32768, 4},
                                           LayoutCase{32768, 8}),
                         [](const auto& info) {
                           return std::to_string(info.param.page_size) + "_id" +
                                  std::to_string(info.param.id_bytes * 8);
                         });

TEST(RecordTable, MissingOrUnreadableLongValueTree) {
  const Bytes row = table_row(1, "a", {{256, le32(5), 0x04}, {257, le32(6), 0x04}}, false);
  {
    Image image = table_image(8192, 0);  // no long-value store: empty contents
    set_rows(image, {row});
    auto db = image.open();
    ASSERT_TRUE(db.ok());
    EXPECT_EQ(read_all(**db, "T"),
              Strings{"n=U32:1 name=Text:a body=Text: blob=Binary: inline=Null"});
  }
  {
    Image image = table_image(8192, 5000);  // root past the file: references kept
    set_rows(image, {row});
    auto db = image.open();
    ASSERT_TRUE(db.ok());
    EXPECT_EQ(read_all(**db, "T"),
              Strings{"n=U32:1 name=Text:a body=LongBinary:05000000 blob=LongBinary:06000000 "
                      "inline=Null"});
  }
}

TEST(RecordTable, TaggedDataBeyondSixteenKiBOnLargePages) {
  Image image = table_image(32768, kLongValuePage);
  ASSERT_TRUE(image.large());
  const Bytes big(17000, 0x5A);
  set_rows(image, {table_row(7, "big", {{256, {'o', 0, 'k', 0}, 0x00}, {257, big, 0x00},
                                        {258, {9}, 0x00}}, true)});
  set_long_values(image, 4);
  auto db = image.open();
  ASSERT_TRUE(db.ok());
  EXPECT_EQ(read_all(**db, "T"),
            Strings{"n=U32:7 name=Text:big body=Text:ok blob=LongBinary:" + hex(big) +
                    " inline=LongBinary:09"});
}

TEST(RecordTable, UnknownTableIsTableNotFound) {
  Image image = table_image(8192, 0);
  set_rows(image, {});
  auto db = image.open();
  ASSERT_TRUE(db.ok());
  auto records = TableRecords::open(**db, "t");
  ASSERT_FALSE(records.ok());
  EXPECT_EQ(message(records.error()), "Table not found: t");
  EXPECT_EQ(read_all(**db, "T"), Strings{});
}

}  // namespace
}  // namespace quarlet
