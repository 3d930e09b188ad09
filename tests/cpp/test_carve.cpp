// String carving: the region scan, the regions of each scope, page types,
// the hit cap, and the page-to-table attribution.
#include <gtest/gtest.h>

#include <random>
#include <set>

#include "catalog_image.hpp"
#include "btree/cursor.hpp"
#include "database/carve.hpp"
#include "page/leaf.hpp"
#include "test_image.hpp"

namespace quarlet {
namespace {

using test::Bytes;
using test::Image;
using test::put16;
using test::put32;

// Writes `text` as UTF-16LE at `offset` of `b`.
void put_utf16(Bytes& b, size_t offset, const std::string& text) {
  for (size_t i = 0; i < text.size(); ++i) {
    b[offset + 2 * i] = static_cast<uint8_t>(text[i]);
    b[offset + 2 * i + 1] = 0;
  }
}

void put_units(Bytes& b, size_t offset, const std::vector<uint16_t>& units) {
  for (size_t i = 0; i < units.size(); ++i) put16(b, offset + 2 * i, units[i]);
}

struct Found {
  uint32_t offset;
  std::string text;
  bool operator==(const Found&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Found& f) {
  return os << "{" << f.offset << ", \"" << f.text << "\"}";
}

std::vector<Found> found(const std::vector<CarveHit>& hits) {
  std::vector<Found> out;
  for (const auto& h : hits) out.push_back({h.offset, h.text});
  return out;
}

// The region scan written step by step with a byte cursor, as the carver
// is defined: restart at r + 2 after a short run, at x + 2 otherwise.
void reference_scan(ByteView p, uint32_t s, uint32_t e, uint32_t min_chars,
                    const std::string& needle, uint32_t max_hits, std::vector<Found>& out) {
  if (s >= e || uint64_t{s} + 2 > e) return;
  uint64_t c = s;
  while (c + 2 <= e) {
    if (out.size() >= max_hits) return;
    if (c & 1) {
      if (c + 3 > e) return;
      ++c;
    }
    const uint64_t r = c;
    std::string run;
    while (c + 2 <= e) {
      const uint16_t u = static_cast<uint16_t>(p[c] | (p[c + 1] << 8));
      if (u < 0x20 || u > 0x7E) break;
      run.push_back(static_cast<char>(u));
      c += 2;
    }
    const uint64_t x = c;
    if (run.size() < min_chars) {
      c = r + 2;
      continue;
    }
    if (!needle.empty() && run.find(needle) == std::string::npos) {
      c = x + 2;
      continue;
    }
    out.push_back({static_cast<uint32_t>(r), run});
    if (out.size() >= max_hits) return;
    c = x + 2;
  }
}

std::vector<Found> scan(const Bytes& page, uint32_t start, uint32_t end, uint32_t min_chars,
                        const std::string& needle = "", uint32_t max_hits = 1000) {
  std::vector<CarveHit> hits;
  carve_region(7, page, start, end, "slack", 2, "leaf", nullptr,
               CarveSettings{needle, min_chars, max_hits}, hits);
  for (const auto& h : hits) {
    EXPECT_EQ(h.page, 7u);
    EXPECT_EQ(h.slack_start, start);
    EXPECT_EQ(h.slack_end, end);
  }
  return found(hits);
}

TEST(CarveScope, ExactNamesOnly) {
  const std::pair<std::string, std::optional<CarveScope>> cases[] = {
      {"slack", CarveScope::Slack},     {"all", CarveScope::All},
      {"tag_data", CarveScope::TagData}, {"lv_all", CarveScope::LvAll},
      {"lv_slack", CarveScope::LvSlack}, {"Slack", std::nullopt},
      {"slack ", std::nullopt},          {" all", std::nullopt},
      {"", std::nullopt},                {"tag-data", std::nullopt},
      {std::string("all\0", 4), std::nullopt},
  };
  for (const auto& [text, scope] : cases) EXPECT_EQ(parse_carve_scope(text), scope) << text;
}

TEST(CarveRegion, BoundsAndAlignment) {
  Bytes page(128, 0);
  put_utf16(page, 0, std::string(64, 'x'));  // every even offset starts printable text
  Bytes odd(128, 0);
  odd[11] = 'H', odd[13] = 'e', odd[15] = 'l', odd[17] = 'l', odd[19] = 'o';  // odd offsets
  Bytes hello(128, 0);
  put_utf16(hello, 12, "Hello");

  struct Case {
    const Bytes* page;
    uint32_t start, end, min_chars;
    std::vector<Found> want;
  };
  const Case cases[] = {
      {&page, 10, 10, 2, {}},
      {&page, 10, 11, 2, {}},
      {&page, 11, 10, 2, {}},
      {&page, 5, 7, 2, {}},             // only even position 6 needs byte 7
      {&page, 5, 8, 2, {}},             // one unit at 6
      {&page, 5, 10, 2, {{6, "xx"}}},   // starts at the next even offset
      {&page, 6, 9, 2, {}},             // byte 8 alone is no unit
      {&page, 0, 128, 64, {{0, std::string(64, 'x')}}},
      {&page, 0, 128, 65, {}},
      {&odd, 0, 128, 2, {}},
      {&hello, 0, 128, 5, {{12, "Hello"}}},
      {&hello, 0, 128, 6, {}},
      {&hello, 11, 128, 5, {{12, "Hello"}}},
      {&hello, 13, 128, 2, {{14, "ello"}}},  // a run cut at the region start
      {&hello, 0, 20, 3, {{12, "Hell"}}},    // cut at the region end
      {&hello, 0, 21, 3, {{12, "Hell"}}},
      {&hello, 0, 19, 3, {{12, "Hel"}}},
      {&page, 0, 1000, 2, {{0, std::string(64, 'x')}}},  // end past the page: page end
  };
  for (const auto& c : cases) {
    EXPECT_EQ(scan(*c.page, c.start, c.end, c.min_chars), c.want)
        << c.start << ".." << c.end << " min " << c.min_chars;
  }
}

TEST(CarveRegion, CharacterClassSplitsRuns) {
  struct Case {
    std::vector<uint16_t> units;
    uint32_t min_chars;
    std::vector<Found> want;
  };
  const Case cases[] = {
      {{'a', 'b', 'c', 0x09, 'd', 'e', 'f', 'g'}, 3, {{0, "abc"}, {8, "defg"}}},
      {{'a', 'b', 'c', 0x00E9, 'd', 'e', 'f', 'g'}, 4, {{8, "defg"}}},
      {{' ', '~', 0x7F, 0x1F, 'a', 'b'}, 2, {{0, " ~"}, {8, "ab"}}},
      {{'a', 0x0A, 'b', 0x0D, 'c', 'd'}, 2, {{8, "cd"}}},
      {{'a', 'b', 0x0141, 'c', 'd', 0xD83D, 'e', 'f'}, 2, {{0, "ab"}, {6, "cd"}, {12, "ef"}}},
      {{0x4100, 0x4200, 0x4300}, 2, {}},  // high byte set: not ASCII
  };
  for (const auto& c : cases) {
    Bytes page(64, 0);
    put_units(page, 0, c.units);
    EXPECT_EQ(scan(page, 0, 64, c.min_chars), c.want);
  }
}

TEST(CarveRegion, NeedleMinCharsAndCap) {
  Bytes page(256, 0);
  put_utf16(page, 0, "Hello World");   // 0..22
  put_utf16(page, 40, "hello");        // 40..50
  put_utf16(page, 60, "abcdef");       // 60..72
  put_utf16(page, 80, "abcde");        // 80..90
  put_utf16(page, 100, "zz");          // 100..104
  const std::vector<Found> all6 = {{0, "Hello World"}, {60, "abcdef"}};
  struct Case {
    std::string needle;
    uint32_t min_chars, max_hits;
    std::vector<Found> want;
  };
  const Case cases[] = {
      {"", 6, 1000, all6},
      {"", 0, 1000, {{0, "Hello World"}, {40, "hello"}, {60, "abcdef"}, {80, "abcde"}, {100, "zz"}}},
      {"", 1, 1000, {{0, "Hello World"}, {40, "hello"}, {60, "abcdef"}, {80, "abcde"}, {100, "zz"}}},
      {"", 2, 2, {{0, "Hello World"}, {40, "hello"}}},
      {"", 2, 1, {{0, "Hello World"}}},
      {"", 2, 0, {{0, "Hello World"}}},  // a cap of 0 counts as 1
      {"hello", 2, 1000, {{40, "hello"}}},  // case-sensitive
      {"Hello", 2, 1000, {{0, "Hello World"}}},
      {"o W", 2, 1000, {{0, "Hello World"}}},
      {"abcdef", 2, 1000, {{60, "abcdef"}}},  // equal length matches; longer text too
      {"abcdefg", 2, 1000, {}},               // longer than every run
      {"abc", 6, 1000, {{60, "abcdef"}}},
      {"d", 2, 1, {{0, "Hello World"}}},
      {"l\xC3\xA9", 2, 1000, {}},  // non-ASCII needle never matches
      {"\t", 2, 1000, {}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(scan(page, 0, 256, c.min_chars, c.needle, c.max_hits), c.want)
        << "needle '" << c.needle << "' min " << c.min_chars << " cap " << c.max_hits;
  }
}

TEST(CarveRegion, CapCountsHitsAlreadyInTheList) {
  Bytes page(64, 0);
  put_utf16(page, 0, "first");
  put_utf16(page, 20, "second");
  std::vector<CarveHit> hits(2);
  carve_region(1, page, 0, 64, "all", 0, "branch", nullptr, {"", 2, 2}, hits);
  EXPECT_EQ(hits.size(), 2u);
  carve_region(1, page, 0, 64, "all", 0, "branch", nullptr, {"", 2, 3}, hits);
  ASSERT_EQ(hits.size(), 3u);
  EXPECT_EQ(hits[2].text, "first");
}

// Random pages mixing text, zeros, noise and misaligned bytes, scanned over
// random regions with random settings, against the cursor-by-cursor scan.
TEST(CarveRegion, MatchesCursorScanOnRandomPages) {
  std::mt19937 rng(1234);
  auto pick = [&](uint32_t n) { return static_cast<uint32_t>(rng() % n); };
  const std::string needles[] = {"", "a", "ab", "ba", "aBa", "zz", "b b"};
  for (int iter = 0; iter < 3000; ++iter) {
    Bytes page;
    const uint32_t size = 64 + pick(600);
    while (page.size() < size) {
      switch (pick(6)) {
        case 0:
        case 1: {  // a run of text
          const uint32_t n = pick(40);
          for (uint32_t i = 0; i < n; ++i) {
            page.push_back(static_cast<uint8_t>("abAB z~"[pick(7)]));
            page.push_back(0);
          }
          break;
        }
        case 2:
          page.insert(page.end(), 2 * pick(20), 0);
          break;
        case 3:
          for (uint32_t i = pick(16); i > 0; --i) page.push_back(static_cast<uint8_t>(rng()));
          break;
        case 4:
          page.push_back(static_cast<uint8_t>("a\0\t"[pick(3)]));  // shifts the alignment
          break;
        default: {
          const uint16_t unit = std::vector<uint16_t>{0x09, 0x7F, 0xE9, 0x141, 0x1F, 0x20}[pick(6)];
          page.push_back(static_cast<uint8_t>(unit));
          page.push_back(static_cast<uint8_t>(unit >> 8));
        }
      }
    }
    page.resize(size);
    const uint32_t a = pick(size + 1), b = pick(size + 1);
    const uint32_t start = pick(4) == 0 ? 0 : std::min(a, b);
    const uint32_t end = pick(4) == 0 ? size : std::max(a, b);
    const uint32_t min_chars = std::vector<uint32_t>{2, 3, 5, 17}[pick(4)];
    const std::string& needle = needles[pick(7)];
    const uint32_t max_hits = std::vector<uint32_t>{1, 2, 3, 1000}[pick(4)];
    const uint32_t prefilled = pick(3);

    std::vector<Found> want(prefilled, Found{0, "?"});
    reference_scan(page, start, end, min_chars, needle, max_hits, want);
    std::vector<CarveHit> hits(prefilled);
    for (auto& h : hits) h.text.push_back('?');
    carve_region(3, page, start, end, "all", 0, "branch", nullptr, {needle, min_chars, max_hits},
                 hits);
    ASSERT_EQ(found(hits), want) << "iteration " << iter << " region " << start << ".." << end;
  }
}

// ---- Page regions by scope ----

constexpr uint32_t kPage = 4096;

// A page with `tc` tags whose slots are given raw (offset and size words);
// every byte after the header holds the printable unit 'A' at even offsets,
// so each scanned gap shows up as one hit spanning it.
void set_raw_page(Image& img, uint32_t n, uint32_t flags, uint16_t tc,
                  const std::vector<std::pair<uint16_t, uint16_t>>& slots) {
  Bytes& b = img.bytes();
  const size_t base = img.page_offset(n);
  const uint32_t page_size = static_cast<uint32_t>(img.page_offset(1) - img.page_offset(0));
  std::fill(b.begin() + base, b.begin() + base + page_size, 0);
  for (uint32_t o = img.header_size(); o + 1 < page_size; o += 2) b[base + o] = 'A';
  put32(b, base + 36, flags);
  put16(b, base + 34, tc);
  for (size_t i = 0; i < slots.size(); ++i) {
    const size_t slot = base + page_size - 4 * (i + 1);
    put16(b, slot, slots[i].second);     // size
    put16(b, slot + 2, slots[i].first);  // offset
  }
}

struct Gap {
  uint32_t start, end;
  bool operator==(const Gap&) const = default;
};
std::ostream& operator<<(std::ostream& os, const Gap& g) {
  return os << "[" << g.start << ", " << g.end << ")";
}

std::vector<Gap> regions_of(const std::vector<CarveHit>& hits, uint32_t page) {
  std::vector<Gap> out;
  for (const auto& h : hits) {
    if (h.page == page) out.push_back({h.slack_start, h.slack_end});
  }
  return out;
}

TEST(CarvePages, SlackGapsAreTheComplementOfUsedBytes) {
  // Small layout, 4096-byte pages, header 40: tag data ranges are 40 + offset.
  const uint32_t L = kPage;
  struct Case {
    const char* what;
    uint16_t tc;
    std::vector<std::pair<uint16_t, uint16_t>> slots;  // (offset word, size word)
    std::vector<Gap> want;
  };
  const Case cases[] = {
      {"no tags: one gap", 0, {}, {{40, L}}},
      {"two ranges", 2, {{0, 10}, {20, 10}}, {{50, 60}, {70, L - 8}}},
      {"touching ranges merge", 2, {{0, 10}, {10, 10}}, {{60, L - 8}}},
      {"overlap, containment, index order", 3, {{30, 20}, {0, 40}, {5, 5}}, {{90, L - 12}}},
      {"empty range is not used", 1, {{100, 0}}, {{40, L - 4}}},
      {"range past the page has none", 1, {{4060, 20}}, {{40, L - 4}}},
      {"range ending at the page end", 1, {{4040, 16}}, {{40, 4080}}},
      {"range over the tag array", 1, {{4000, 54}}, {{40, 4040}}},
      {"fully covered", 1, {{0, L - 44}}, {}},
      {"odd gap bounds", 2, {{0, 11}, {101, 3}}, {{51, 141}, {144, L - 8}}},
      {"flag bits of the offset word ignored", 1, {{0xE000 | 10, 0xE000 | 6}}, {{40, 50}, {56, L - 4}}},
      {"more tags than fit", 2000, {{0, 10}}, {}},
      {"tag count low 12 bits", 0xF000, {}, {{40, L}}},
  };
  for (const auto& c : cases) {
    Image img(L, 8);
    set_raw_page(img, 5, kPageLeaf, c.tc, c.slots);
    auto db = img.open();
    ASSERT_TRUE(db.ok());
    auto hits = carve_pages(**db, CarveScope::Slack, "", 2, 1000);
    EXPECT_EQ(regions_of(hits, 5), c.want) << c.what;
    for (const auto& h : hits) {
      EXPECT_EQ(h.offset, h.slack_start + (h.slack_start & 1)) << c.what;
      EXPECT_EQ(h.text.size(), (h.slack_end - h.offset) / 2) << c.what;
      EXPECT_STREQ(h.region_kind, "slack");
    }
  }
}

TEST(CarvePages, LargeLayoutMasksFifteenBits) {
  // 16 KiB pages, format 0x620 revision 17: 80-byte header, 15-bit masks.
  const uint32_t L = 16384;
  Image img(L, 8, 0x620, 17);
  set_raw_page(img, 5, kPageLeaf, 2, {{0x2000, 0x8010}, {0x8000 | 0x100, 8}});
  put16(img.bytes(), img.page_offset(5) + 28, 0);  // available data size: no tag bound
  auto db = img.open();
  ASSERT_TRUE(db.ok());
  EXPECT_EQ(regions_of(carve_pages(**db, CarveScope::Slack, "", 2, 1000), 5),
            (std::vector<Gap>{{80, 80 + 0x100}, {80 + 0x108, 80 + 0x2000}, {80 + 0x2010, L - 8}}));
  EXPECT_EQ(regions_of(carve_pages(**db, CarveScope::TagData, "", 2, 1000), 5),
            (std::vector<Gap>{{80 + 0x2000, 80 + 0x2010}, {80 + 0x100, 80 + 0x108}}));
}

TEST(CarvePages, ScopesOnOnePage) {
  // Tag 0 holds "SECOND" at 140, tag 1 "THIRD" at 240, tag 2 "FIRST" at 40;
  // "MORE" follows FIRST directly, in slack.
  Image img(kPage, 8);
  Bytes& b = img.bytes();
  const size_t base = img.page_offset(6);
  put32(b, base + 36, kPageLeaf);
  put16(b, base + 34, 3);
  const std::pair<uint16_t, uint16_t> slots[] = {{100, 12}, {200, 10}, {0, 10}};
  for (size_t i = 0; i < 3; ++i) {
    put16(b, base + kPage - 4 * (i + 1), slots[i].second);
    put16(b, base + kPage - 4 * (i + 1) + 2, slots[i].first);
  }
  put_utf16(b, base + 40, "FIRSTMORE");
  put_utf16(b, base + 140, "SECOND");
  put_utf16(b, base + 240, "THIRD");
  put_utf16(b, base + 1000, "GAPTEXT");
  put_utf16(b, base + 0, "HEAD");
  put_utf16(b, base + kPage - 20, "TAIL");  // ends just before the tag array
  auto db = img.open();
  ASSERT_TRUE(db.ok());

  struct Want {
    uint32_t offset;
    std::string text;
    uint32_t start, end;
  };
  auto check = [&](CarveScope scope, const char* kind, const std::vector<Want>& want) {
    auto hits = carve_pages(**db, scope, "", 4, 1000);
    ASSERT_EQ(hits.size(), want.size()) << kind;
    for (size_t i = 0; i < want.size(); ++i) {
      EXPECT_EQ(hits[i].page, 6u);
      EXPECT_EQ(hits[i].offset, want[i].offset) << kind << " " << i;
      EXPECT_EQ(hits[i].text, want[i].text) << kind << " " << i;
      EXPECT_EQ(hits[i].slack_start, want[i].start) << kind << " " << i;
      EXPECT_EQ(hits[i].slack_end, want[i].end) << kind << " " << i;
      EXPECT_STREQ(hits[i].region_kind, kind);
      EXPECT_STREQ(hits[i].page_type, "leaf");
      EXPECT_EQ(hits[i].page_flags, kPageLeaf);
      EXPECT_EQ(hits[i].table, nullptr);
    }
  };
  check(CarveScope::All, "all",
        {{0, "HEAD", 0, kPage}, {40, "FIRSTMORE", 0, kPage}, {140, "SECOND", 0, kPage},
         {240, "THIRD", 0, kPage}, {1000, "GAPTEXT", 0, kPage}, {kPage - 20, "TAIL", 0, kPage}});
  check(CarveScope::TagData, "tag_data",
        {{140, "SECOND", 140, 152}, {240, "THIRD", 240, 250}, {40, "FIRST", 40, 50}});
  check(CarveScope::Slack, "slack",
        {{50, "MORE", 50, 140}, {1000, "GAPTEXT", 250, kPage - 12},
         {kPage - 20, "TAIL", 250, kPage - 12}});
  EXPECT_TRUE(carve_pages(**db, CarveScope::LvAll, "", 2, 1000).empty());
  EXPECT_TRUE(carve_pages(**db, CarveScope::LvSlack, "", 2, 1000).empty());
}

TEST(CarvePages, PageTypesAndLongValueScopes) {
  const std::pair<uint32_t, const char*> types[] = {
      {0x80 | 0x20 | 0x02, "long_value"}, {0x20 | 0x40 | 0x02, "space_tree"},
      {0x40 | 0x02, "index"},             {0x02, "leaf"},
      {0x10002, "leaf"},                  {0x0, "branch"},
      {0x1, "branch"},                    {0x80, "long_value"},
  };
  Image img(kPage, 14);
  uint32_t n = 5;
  for (const auto& [flags, name] : types) {
    img.set_page(n, flags, {});
    put_utf16(img.bytes(), img.page_offset(n) + 100, "text" + std::to_string(n));
    ++n;
  }
  auto db = img.open();
  ASSERT_TRUE(db.ok());
  auto hits = carve_pages(**db, CarveScope::Slack, "text", 2, 1000);
  ASSERT_EQ(hits.size(), std::size(types));
  for (size_t i = 0; i < hits.size(); ++i) {
    EXPECT_EQ(hits[i].page, 5 + i);
    EXPECT_EQ(hits[i].page_flags, types[i].first);
    EXPECT_STREQ(hits[i].page_type, types[i].second) << i;
    EXPECT_EQ(hits[i].table, nullptr);
  }
  for (CarveScope scope : {CarveScope::LvAll, CarveScope::LvSlack}) {
    auto lv = carve_pages(**db, scope, "text", 2, 1000);
    ASSERT_EQ(lv.size(), 2u);
    EXPECT_EQ(lv[0].page, 5u);
    EXPECT_EQ(lv[1].page, 12u);
    for (const auto& h : lv) {
      EXPECT_STREQ(h.page_type, "long_value");
      EXPECT_STREQ(h.region_kind, scope == CarveScope::LvAll ? "all" : "slack");
      EXPECT_EQ(h.table, nullptr);
    }
  }
}

TEST(CarvePages, CapEndsTheWalkAndSettingsAreNormalised) {
  Image img(kPage, 10);
  for (uint32_t n = 5; n <= 8; ++n) {
    img.set_page(n, kPageLeaf, {});
    put_utf16(img.bytes(), img.page_offset(n) + 100, "ab");
    put_utf16(img.bytes(), img.page_offset(n) + 200, "cdef");
  }
  // Bytes after the last whole page are never carved.
  Bytes& b = img.bytes();
  const size_t tail = b.size();
  b.resize(tail + kPage / 2, 0);
  put_utf16(b, tail + 100, "trailing");
  auto db = img.open();
  ASSERT_TRUE(db.ok());
  struct Case {
    CarveScope scope;
    uint32_t min_chars, max_hits;
    std::vector<std::pair<uint32_t, std::string>> want;  // (page, text)
  };
  const Case cases[] = {
      {CarveScope::Slack, 0, 0, {{5, "ab"}}},
      {CarveScope::Slack, 1, 3, {{5, "ab"}, {5, "cdef"}, {6, "ab"}}},
      {CarveScope::All, 3, 2, {{5, "cdef"}, {6, "cdef"}}},
      {CarveScope::TagData, 2, 1000, {}},
      {CarveScope::Slack, 4, 1000, {{5, "cdef"}, {6, "cdef"}, {7, "cdef"}, {8, "cdef"}}},
  };
  for (const auto& c : cases) {
    std::vector<std::pair<uint32_t, std::string>> got;
    for (const auto& h : carve_pages(**db, c.scope, "", c.min_chars, c.max_hits)) {
      got.emplace_back(h.page, h.text);
    }
    EXPECT_EQ(got, c.want) << c.min_chars << " " << c.max_hits;
  }
  EXPECT_TRUE(carve_pages(**db, CarveScope::All, "\xC3\xA9", 2, 1000).empty());
}

// ---- Owning tables ----

TEST(CarvePages, OwningTableOnlyForDataLeavesOfItsTree) {
  Image img(kPage, 16);
  test::set_catalog_page(img, {test::table_record(10, "Alpha", 5), test::table_record(11, "Beta", 9),
                               test::table_record(12, "Gamma", 14)});
  using test::branch_value;
  img.set_page(5, 0, {{0, {}}, {0, branch_value(test::str("k"), 6)}});  // Alpha's root
  img.set_page(6, kPageLeaf, {}, 7);
  img.set_page(7, kPageLeaf, {}, 10);
  img.set_page(10, kPageIndex | kPageLeaf, {}, 8);  // in Alpha's chain, but an index page
  img.set_page(8, kPageLeaf, {}, 0);
  img.set_page(9, kPageLeaf, {}, 7);                // Beta: shares Alpha's tail
  img.set_page(11, kPageSpaceTree | kPageLeaf, {});
  img.set_page(12, kPageLongValue | kPageLeaf, {});
  img.set_page(13, kPageLeaf, {});                  // orphan
  img.set_page(14, 0, {{0, {}}});                   // Gamma: branch root with one tag
  for (uint32_t n = 5; n <= 14; ++n) put_utf16(img.bytes(), img.page_offset(n) + 2000, "owned");
  auto db = img.open();
  ASSERT_TRUE(db.ok());
  ASSERT_EQ((*db)->tables().size(), 3u);

  const std::pair<uint32_t, const char*> want[] = {
      // 8 lies past an index page in Alpha's chain: no walk reaches it.
      {5, nullptr},  {6, "Alpha"},  {7, "Alpha"},  {8, nullptr}, {9, "Beta"},
      {10, nullptr}, {11, nullptr}, {12, nullptr}, {13, nullptr}, {14, nullptr},
  };
  for (CarveScope scope : {CarveScope::All, CarveScope::Slack}) {
    auto hits = carve_pages(**db, scope, "owned", 2, 1000);
    ASSERT_EQ(hits.size(), std::size(want));
    for (size_t i = 0; i < hits.size(); ++i) {
      EXPECT_EQ(hits[i].page, want[i].first);
      if (want[i].second == nullptr) {
        EXPECT_EQ(hits[i].table, nullptr) << hits[i].page;
      } else {
        ASSERT_NE(hits[i].table, nullptr) << hits[i].page;
        EXPECT_EQ(*hits[i].table, want[i].second);
      }
    }
  }
}

// The owning-table search for one page, table by table: the first table
// whose tree walk reads the page as one of its leaves.
const Name* reference_owner(const Database& db, const std::vector<CarveTable>& tables, uint32_t n) {
  for (const auto& t : tables) {
    TreeCursor cursor(db, t.root_page);
    cursor.start_pages();
    while (cursor.next_page()) {
      if (cursor.page().number == n) return t.name;
    }
  }
  return nullptr;
}

// Random trees and chains with cycles in both the descent and the leaf
// links, shared tails, invalid children and roots, in both tag layouts.
TEST(CarveOwners, MatchesPerPageSearchOnRandomLinks) {
  std::mt19937 rng(99);
  auto pick = [&](uint32_t k) { return static_cast<uint32_t>(rng() % k); };
  for (int iter = 0; iter < 400; ++iter) {
    const bool large = iter % 2 == 1;
    const uint32_t pages = 8 + pick(iter % 4 < 2 ? 12 : 40);
    Image img(large ? 16384 : kPage, pages + 1, 0x620, large ? 17 : 12);
    const uint32_t total = pages;  // pages 1..total
    auto target = [&]() -> uint32_t {
      const uint32_t r = pick(20);
      if (r == 0) return 0;
      if (r == 1) return total + 1 + pick(3);
      return 1 + pick(total);
    };
    for (uint32_t n = 1; n <= total; ++n) {
      if (n == kCatalogRootPage) continue;  // stays an empty catalog
      if (pick(iter % 3 == 0 ? 3 : 2) == 0) {
        // A branch page: tag 1 leads to a child (or is damaged, or missing).
        const uint8_t flags = static_cast<uint8_t>(std::vector<uint8_t>{0, 1, 2, 3, 4}[pick(5)]);
        Bytes value = test::branch_value(test::str(std::string(pick(3), 'k')), target());
        if (flags & 4) value = test::cat({test::le16(2), value});
        if (pick(10) == 0) value.resize(pick(static_cast<uint32_t>(value.size())));
        std::vector<test::TestTag> tags{{0, {}}};
        if (pick(8) != 0) tags.push_back({flags, value});
        img.set_page(n, pick(6) == 0 ? 0x40 : 0, tags, target());
      } else {
        const uint32_t flags = std::vector<uint32_t>{kPageLeaf, kPageLeaf, kPageLeaf,
                                                     kPageLeaf | kPageIndex,
                                                     kPageLeaf | kPageLongValue}[pick(5)];
        img.set_page(n, flags, {}, pick(10) == 0 ? n : target());
      }
    }
    auto db = img.open();
    ASSERT_TRUE(db.ok());
    ASSERT_EQ((*db)->total_pages(), total);
    std::vector<Name> names;
    for (uint32_t i = 0, k = 1 + pick(16); i < k; ++i) names.push_back(std::to_string(100 + i));
    std::vector<CarveTable> tables;
    for (const auto& name : names) {
      tables.push_back({&name, pick(12) == 0 ? target() : 1 + pick(total)});
    }

    PageOwners in_order(**db, tables);
    PageOwners shuffled(**db, tables);
    std::vector<uint32_t> order;
    for (uint32_t n = 0; n <= total + 1; ++n) order.push_back(n);
    std::shuffle(order.begin(), order.end(), rng);
    std::vector<const Name*> want(total + 2), got_shuffled(total + 2);
    for (uint32_t n : order) got_shuffled[n] = shuffled.owner(n);
    for (uint32_t n = 0; n <= total + 1; ++n) {
      want[n] = (n == 0 || n > total) ? nullptr : reference_owner(**db, tables, n);
      ASSERT_EQ(in_order.owner(n), want[n]) << "iteration " << iter << " page " << n;
      ASSERT_EQ(got_shuffled[n], want[n]) << "iteration " << iter << " page " << n;
    }
  }
}

// ---- Whole carve against a literal reference ----

struct RefHit {
  uint32_t page, offset, start, end, flags;
  std::string kind, type, text;
  const Name* table;
  bool operator==(const RefHit&) const = default;
};

std::ostream& operator<<(std::ostream& os, const RefHit& h) {
  return os << "{page " << h.page << " @" << h.offset << " [" << h.start << "," << h.end << ") "
            << h.kind << " " << h.type << " " << h.flags << " " << (h.table ? *h.table : "-")
            << " '" << h.text << "'}";
}

// carve_pages written out rule by rule: regions from the slots, a stable
// sort and merge of the used intervals, the per-page owner search.
std::vector<RefHit> reference_carve(const Database& db, CarveScope scope, const std::string& needle,
                                    uint32_t min_chars, uint32_t max_hits) {
  min_chars = std::max<uint32_t>(min_chars, 2);
  max_hits = std::max<uint32_t>(max_hits, 1);
  std::vector<CarveTable> tables;
  for (const auto& [name, table] : db.tables()) tables.push_back({&name, table.root_page});
  std::vector<Found> found_hits;
  std::vector<RefHit> out;
  const bool lv = scope == CarveScope::LvAll || scope == CarveScope::LvSlack;
  for (uint32_t n = 1; n <= db.total_pages(); ++n) {
    if (found_hits.size() >= max_hits) break;
    auto page = db.read_page(n);
    if (!page) continue;
    const uint32_t flags = page->flags;
    if (lv && !(flags & 0x80)) continue;
    const char* type = (flags & 0x80)   ? "long_value"
                       : (flags & 0x20) ? "space_tree"
                       : (flags & 0x40) ? "index"
                       : (flags & 0x02) ? "leaf"
                                        : "branch";
    const Name* table =
        (flags & 0x02) && !(flags & 0xE0) ? reference_owner(db, tables, n) : nullptr;
    const uint32_t L = static_cast<uint32_t>(page->bytes.size());
    const uint32_t H = page->header_size;
    const uint32_t tc = tag_count(page->bytes, db.page_size());
    const uint32_t mask = db.large_layout() ? 0x7FFF : 0x1FFF;
    auto range = [&](uint32_t i, uint32_t& s, uint32_t& e) {
      if (4ull * (i + 1) > L) return false;
      const size_t slot = L - 4 * (i + 1);
      const uint32_t size = (page->bytes[slot] | (page->bytes[slot + 1] << 8)) & mask;
      const uint32_t offset = (page->bytes[slot + 2] | (page->bytes[slot + 3] << 8)) & mask;
      if (uint64_t{H} + offset + size > L) return false;
      s = H + offset;
      e = s + size;
      return true;
    };
    auto region = [&](uint32_t s, uint32_t e, const char* kind) {
      const size_t before = found_hits.size();
      reference_scan(page->bytes, s, e, min_chars, needle, max_hits, found_hits);
      for (size_t i = before; i < found_hits.size(); ++i) {
        out.push_back({n, found_hits[i].offset, s, e, flags, kind, type, found_hits[i].text, table});
      }
    };
    if (scope == CarveScope::All || scope == CarveScope::LvAll) {
      region(0, L, "all");
    } else if (scope == CarveScope::TagData) {
      for (uint32_t i = 0; i < tc; ++i) {
        if (found_hits.size() >= max_hits) break;
        uint32_t s, e;
        if (range(i, s, e) && e > s) region(s, e, "tag_data");
      }
    } else {
      std::vector<std::pair<uint32_t, uint32_t>> used{{0, std::min(L, H)},
                                                      {4 * tc > L ? 0 : L - 4 * tc, L}};
      for (uint32_t i = 0; i < tc; ++i) {
        uint32_t s, e;
        if (range(i, s, e) && e > s) used.push_back({s, e});
      }
      std::stable_sort(used.begin(), used.end(),
                       [](const auto& a, const auto& b) { return a.first < b.first; });
      std::vector<std::pair<uint32_t, uint32_t>> merged;
      for (const auto& u : used) {
        if (!merged.empty() && u.first <= merged.back().second) {
          merged.back().second = std::max(merged.back().second, u.second);
        } else {
          merged.push_back(u);
        }
      }
      uint32_t cursor = 0;
      for (const auto& m : merged) {
        if (cursor < m.first) {
          region(cursor, m.first, "slack");
          if (found_hits.size() >= max_hits) break;
        }
        cursor = std::max(cursor, m.second);
      }
    }
  }
  return out;
}

// Random pages (random flags, tag counts, slots in and out of the page,
// text scattered everywhere) and a catalog of tables with random roots and
// chains, carved in every scope and compared hit for hit.
TEST(CarvePages, MatchesReferenceOnRandomDatabases) {
  std::mt19937 rng(4242);
  auto pick = [&](uint32_t k) { return static_cast<uint32_t>(rng() % k); };
  const std::string needles[] = {"", "", "ab", "b", "zzzzzzzzzzzzzzzzzzzzzz"};
  for (int iter = 0; iter < 120; ++iter) {
    const uint32_t ps = std::vector<uint32_t>{4096, 16384, 32768}[iter % 3];
    const uint32_t pages = 6 + pick(14);
    Image img(ps, pages + 1, 0x620, ps > 8192 ? 17 : 12);
    const uint32_t total = pages;
    std::vector<Bytes> records;
    for (uint32_t t = 0, k = pick(4); t < k; ++t) {
      records.push_back(test::table_record(100 + t, "t" + std::to_string(t), 1 + pick(total)));
    }
    test::set_catalog_page(img, records);
    Bytes& b = img.bytes();
    for (uint32_t n = 1; n <= total; ++n) {
      if (n == kCatalogRootPage) continue;
      const size_t base = img.page_offset(n);
      if (pick(4) == 0) {
        for (uint32_t i = 0; i < ps; ++i) b[base + i] = static_cast<uint8_t>(rng());
      } else {
        // Text and zeros everywhere, then a header and slots on top.
        for (uint32_t o = 0; o + 1 < ps; o += 2) {
          const uint32_t r = pick(10);
          b[base + o] = r < 6 ? static_cast<uint8_t>("abz ~"[pick(5)]) : (r < 9 ? 0 : 9);
          b[base + o + 1] = pick(50) == 0 ? 1 : 0;
        }
        if (pick(3) == 0) b[base + 1 + 2 * pick(ps / 2 - 1)] = 'a';  // misaligned text
        const uint32_t flags = std::vector<uint32_t>{0, 2, 2, 2, 0x22, 0x42, 0x82, 0x80}[pick(8)];
        uint32_t tc = pick(30);
        if (pick(10) == 0) tc = 4000;
        if (pick(20) == 0) tc |= 0xF000;
        put32(b, base + 36, flags);
        put16(b, base + 34, static_cast<uint16_t>(tc));
        put16(b, base + 28, static_cast<uint16_t>(pick(8) == 0 ? rng() : 0));
        put32(b, base + 20, pick(3) == 0 ? 0 : 1 + pick(total + 2));
        const uint32_t body = ps - 80;
        for (uint32_t i = 0; i < std::min<uint32_t>(tc & 0xFFF, 60); ++i) {
          const size_t slot = base + ps - 4 * (i + 1);
          const uint32_t off = pick(body), size = pick(6) == 0 ? pick(ps) : pick(120);
          put16(b, slot, static_cast<uint16_t>(size | (pick(2) << 15)));
          put16(b, slot + 2, static_cast<uint16_t>(off | (pick(8) << 13)));
        }
        if (flags == 0 && pick(2) == 0) {  // a branch page whose tag 1 leads on
          const Bytes v = test::branch_value({}, 1 + pick(total));
          std::copy(v.begin(), v.end(), b.begin() + base + img.header_size() + 200);
          put16(b, base + ps - 8, static_cast<uint16_t>(v.size()));
          put16(b, base + ps - 6, 200);
        }
      }
    }
    auto db = img.open();
    ASSERT_TRUE(db.ok()) << iter;
    ASSERT_EQ((*db)->tables().size(), records.size());
    for (CarveScope scope : {CarveScope::Slack, CarveScope::All, CarveScope::TagData,
                             CarveScope::LvAll, CarveScope::LvSlack}) {
      const std::string& needle = needles[pick(5)];
      const uint32_t min_chars = pick(12);
      const uint32_t max_hits = pick(4) == 0 ? pick(5) : 100000;
      std::vector<RefHit> got;
      for (const auto& h : carve_pages(**db, scope, needle, min_chars, max_hits)) {
        got.push_back({h.page, h.offset, h.slack_start, h.slack_end, h.page_flags, h.region_kind,
                       h.page_type, h.text, h.table});
      }
      const auto want = reference_carve(**db, scope, needle, min_chars, max_hits);
      ASSERT_EQ(got, want) << "iteration " << iter << " scope " << static_cast<int>(scope);
    }
  }
}

}  // namespace
}  // namespace quarlet
