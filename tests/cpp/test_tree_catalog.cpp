// Tests of the tree walks, the leaf cursor, the long-value index and the
// catalog loader, over small in-memory database images.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "catalog_image.hpp"
#include "database/catalog.hpp"
#include "btree/cursor.hpp"
#include "btree/walk.hpp"
#include "database/long_value.hpp"
#include "test_image.hpp"

namespace quarlet {
namespace {

using test::Bytes;
using test::branch_value;
using test::cat;
using test::Image;
using test::le16;
using test::le32;
using test::leaf_value;
using test::str;
using test::TestTag;

constexpr uint32_t kLeaf = kPageLeaf;
constexpr uint32_t kBranch = 0;
constexpr uint32_t kSmall = 4096;   // small tag layout
constexpr uint32_t kLarge = 16384;  // large-page tag layout (format 0x620 rev 20)

std::unique_ptr<Database> open_image(const Image& image) {
  auto db = image.open();
  EXPECT_TRUE(db.ok()) << (db.ok() ? "" : message(db.error()));
  return db.ok() ? std::move(*db) : nullptr;
}

std::string text(ByteView v) { return std::string(v.begin(), v.end()); }

// Data of every entry the walk visits, in order.
std::vector<std::string> walk_data(const Database& db, uint32_t root, Status* status = nullptr) {
  std::vector<std::string> out;
  Status s = walk_tree(db, root, [&](const LeafEntry& e) {
    out.push_back(text(e.data));
    return Status::Ok();
  });
  if (status != nullptr) *status = s;
  return out;
}

// Data of every entry a cursor over the tree at `root` returns until its end
// or an error.
std::vector<std::string> cursor_data(const Database& db, uint32_t root,
                                     std::optional<EseError>* error = nullptr,
                                     CursorOptions options = {}) {
  std::vector<std::string> out;
  TreeCursor cursor(db, root, options);
  int guard = 0;
  for (cursor.start(); cursor.valid() && guard < 100000; cursor.next(), ++guard) {
    out.push_back(text(cursor.entry().data));
  }
  EXPECT_LT(guard, 100000) << "cursor did not end";
  if (!cursor.status().ok() && error != nullptr) *error = cursor.status().error();
  // The end and the error both stick.
  cursor.next();
  EXPECT_FALSE(cursor.valid());
  return out;
}

TestTag leaf(const std::string& key, const std::string& data, uint8_t flags = 0) {
  return {flags, leaf_value(str(key), str(data))};
}
TestTag child(uint32_t page, uint8_t flags = 0, const std::string& key = "k") {
  return {flags, branch_value(str(key), page)};
}
const TestTag kEmptyTag{0, {}};

using Strings = std::vector<std::string>;

// ---------------------------------------------------------------------------
// walk_tree

class TreeWalkLayout : public ::testing::TestWithParam<uint32_t> {};

TEST_P(TreeWalkLayout, TwoLevelTreeIsWalkedDepthFirstInTagOrder) {
  Image image(GetParam(), 16);
  // Root 5: children in tag order 7, 6, then the inner branch page 8 (9, 10).
  image.set_page(5, kBranch, {kEmptyTag, child(7), child(6), child(8)});
  image.set_page(7, kLeaf, {leaf("", "a0"), leaf("1", "a1"), leaf("2", "a2")});
  image.set_page(6, kLeaf, {kEmptyTag, leaf("3", "b1"), leaf("4", "gone", 0x2), leaf("5", "b2")});
  image.set_page(8, kBranch, {kEmptyTag, child(9), child(10)});
  image.set_page(9, kLeaf, {kEmptyTag, leaf("6", "c1")});
  image.set_page(10, kLeaf, {kEmptyTag, leaf("7", "d1"), leaf("8", "d2", 0x1)});
  // Pages holding long values or space trees contribute nothing.
  image.set_page(11, kLeaf | kPageLongValue, {kEmptyTag, leaf("9", "lv")});
  image.set_page(12, kLeaf | kPageSpaceTree, {kEmptyTag, leaf("9", "space")});
  image.set_page(13, kBranch, {child(11), child(12), child(5)});
  auto db = open_image(image);
  ASSERT_TRUE(db);
  EXPECT_EQ(walk_data(*db, 5), (Strings{"a0", "a1", "a2", "b1", "b2", "c1", "d1", "d2"}));
  EXPECT_EQ(walk_data(*db, 13), (Strings{"a0", "a1", "a2", "b1", "b2", "c1", "d1", "d2"}));
  EXPECT_EQ(walk_data(*db, 7), (Strings{"a0", "a1", "a2"}));
}

TEST_P(TreeWalkLayout, EntriesDecodeWithFlagBitsRemoved) {
  Image image(GetParam(), 8);
  // A branch entry with tag flags 0x1 and no common key size: in the large
  // layout its key-size word carries the flag bits.
  image.set_page(5, kBranch, {kEmptyTag, child(6, 0x1), child(7, 0x2)});
  image.set_page(6, kLeaf,
                 {kEmptyTag, {0x4, leaf_value(str("xy"), str("data1"), uint16_t{3})},
                  {0x1, leaf_value(str("k"), str("data2"))}});
  image.set_page(7, kLeaf, {kEmptyTag, leaf("z", "data3")});
  auto db = open_image(image);
  ASSERT_TRUE(db);

  std::vector<std::tuple<std::string, std::string, std::optional<uint16_t>>> seen;
  ASSERT_TRUE(walk_tree(*db, 5, [&](const LeafEntry& e) {
                seen.emplace_back(text(e.key), text(e.data), e.common_key_size);
                return Status::Ok();
              }).ok());
  using Seen = decltype(seen);
  EXPECT_EQ(seen, (Seen{{"xy", "data1", uint16_t{3}}, {"k", "data2", std::nullopt},
                        {"z", "data3", std::nullopt}}));

  EXPECT_EQ(cursor_data(*db, 5), (Strings{"data1", "data2", "data3"}));
}

INSTANTIATE_TEST_SUITE_P(TreeWalk, TreeWalkLayout, ::testing::Values(kSmall, kLarge),
                         [](const auto& info) { return info.param == kSmall ? "Small" : "Large"; });

TEST(TreeWalk, CyclesAndSharedChildrenAreEnteredOnce) {
  Image image(kSmall, 10);
  // 5 -> 6 -> {5, 7, 6}, and 5 -> 7 again: every page is entered once.
  image.set_page(5, kBranch, {child(6), child(7)});
  image.set_page(6, kBranch, {child(5), child(7), child(6)});
  image.set_page(7, kLeaf, {kEmptyTag, leaf("a", "x")});
  auto db = open_image(image);
  ASSERT_TRUE(db);
  Status s;
  EXPECT_EQ(walk_data(*db, 5, &s), (Strings{"x"}));
  EXPECT_TRUE(s.ok());
}

TEST(TreeWalk, ChildPageBoundIsThePageCount) {
  Image image(kSmall, 10);
  auto probe = open_image(image);
  ASSERT_TRUE(probe);
  const uint32_t last = probe->total_pages();
  image.set_page(5, kBranch, {kEmptyTag, child(last), child(last + 1), child(0)});
  image.set_page(last, kLeaf, {kEmptyTag, leaf("a", "last")});
  image.set_page(6, kBranch, {kEmptyTag, child(last + 1)});
  auto db = open_image(image);
  ASSERT_TRUE(db);
  Status s;
  EXPECT_EQ(walk_data(*db, 5, &s), (Strings{"last"}));
  EXPECT_TRUE(s.ok());

  // A table's pass ends where the child past the file stands.
  std::optional<EseError> error;
  EXPECT_EQ(cursor_data(*db, 5, &error), (Strings{"last"}));
  ASSERT_TRUE(error.has_value());
  EXPECT_EQ(message(*error), "Invalid page number: " + std::to_string(last + 1));
  error.reset();
  EXPECT_EQ(cursor_data(*db, 6, &error), (Strings{}));
  ASSERT_TRUE(error.has_value());
  EXPECT_EQ(error->a(), last + 1);
}

TEST(TreeWalk, UnreadablePageAndVisitorErrorEndTheWalk) {
  Image image(kSmall, 8);
  image.set_page(5, kBranch, {child(6), child(7)});
  image.set_page(6, kLeaf, {leaf("a", "x"), leaf("b", "y")});
  image.set_page(7, kLeaf, {leaf("c", "z")});
  auto db = open_image(image);
  ASSERT_TRUE(db);

  Status s;
  walk_data(*db, db->total_pages() + 1, &s);
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(s.error().kind(), ErrorKind::InvalidPageNumber);

  int calls = 0;
  s = walk_tree(*db, 5, [&](const LeafEntry&) -> Status {
    ++calls;
    return EseError::invalid_catalog_entry();
  });
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(s.error().kind(), ErrorKind::InvalidCatalogEntry);
  EXPECT_EQ(calls, 1);
}

TEST(TreeWalk, DeepChainOfBranchPagesNeedsNoDeepStack) {
  // 20000 levels of one-child branch pages on 512-byte pages: a recursive
  // walk would need megabytes of stack here.
  constexpr uint32_t kDepth = 20000;
  constexpr uint32_t kFirst = 5;
  Image image(512, kFirst + kDepth + 2);
  for (uint32_t p = kFirst; p < kFirst + kDepth; ++p) {
    image.set_page(p, kBranch, {kEmptyTag, child(p + 1)});
  }
  image.set_page(kFirst + kDepth, kLeaf, {kEmptyTag, leaf("a", "bottom")});
  auto db = open_image(image);
  ASSERT_TRUE(db);
  EXPECT_EQ(walk_data(*db, kFirst), (Strings{"bottom"}));
  EXPECT_EQ(cursor_data(*db, kFirst), (Strings{"bottom"}));
}

// ---------------------------------------------------------------------------
// TreeCursor: damage on the way down

// A branch entry that yields no page ends the pass where it stands, like a
// child past the file; a child already visited (a cycle) is skipped.
TEST(TreeCursor, DamagedBranchEntriesEndThePassAndCyclesAreSkipped) {
  for (uint32_t page_size : {kSmall, kLarge}) {
    SCOPED_TRACE(page_size);
    Image image(page_size, 12);
    image.set_page(5, kBranch, {kEmptyTag, child(6)});
    image.set_page(6, kBranch, {kEmptyTag, child(5), child(9)});  // back up to the root
    image.set_page(7, kBranch, {kEmptyTag, {0, str("tiny")}, child(9)});
    image.set_page(8, kBranch, {kEmptyTag, child(9)});
    // Tag 1 of page 8 made to run past the page, also in the large layout.
    const size_t slot = image.page_offset(8) + page_size - 8;
    test::put16(image.bytes(), slot + 2, 0x7000 & (page_size > 8192 ? 0x7FFF : 0x1FFF));
    test::put16(image.bytes(), slot, 0x1000);
    image.set_page(9, kLeaf, {kEmptyTag, leaf("a", "x")});
    image.set_page(10, kBranch, {child(9)});  // tag 0 only: no child for a table
    auto db = open_image(image);
    ASSERT_TRUE(db);
    for (uint32_t root : {5u, 10u}) {
      std::optional<EseError> error;
      EXPECT_EQ(cursor_data(*db, root, &error), root == 5 ? Strings{"x"} : Strings{}) << root;
      EXPECT_FALSE(error.has_value()) << root;
    }
    std::optional<EseError> error;
    EXPECT_EQ(cursor_data(*db, 7, &error), Strings{});
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(message(*error),
              "Parse error: Branch entry too short: got 4 bytes, need at least 6 (flags: 0x0)");
    error.reset();
    EXPECT_EQ(cursor_data(*db, 8, &error), Strings{});
    ASSERT_TRUE(error.has_value());
    EXPECT_EQ(error->kind(), ErrorKind::TagOffsetOutOfBounds);
    // Each entry is listed once with its page and tag.
    TreeStats stats;
    CursorOptions options;
    options.stats = &stats;
    TreeCursor cursor(*db, 7, options);
    for (cursor.start(); cursor.valid(); cursor.next()) {
    }
    ASSERT_EQ(stats.branch_faults.size(), 1u);
    EXPECT_EQ(stats.branch_faults[0].page, 7u);
    EXPECT_EQ(stats.branch_faults[0].tag, 1u);
  }
}

// Leaf chains without branch pages: a leaf root whose links reach unlisted
// leaves of the tree; cycles end the pass.
struct NextLinkCase {
  const char* name;
  std::vector<uint32_t> next;  // next link of pages 5, 6, 7
  Strings expected;
};

class TreeCursorLinks : public ::testing::TestWithParam<NextLinkCase> {};

TEST_P(TreeCursorLinks, EndPromptly) {
  const NextLinkCase& c = GetParam();
  Image image(kSmall, 10);
  for (uint32_t i = 0; i < 3; ++i) {
    const std::string n = std::to_string(5 + i);
    image.set_page(5 + i, kLeaf, {kEmptyTag, leaf("k" + n, n)}, c.next[i]);
  }
  auto db = open_image(image);
  ASSERT_TRUE(db);
  EXPECT_EQ(cursor_data(*db, 5), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    TreeCursor, TreeCursorLinks,
    ::testing::Values(NextLinkCase{"SelfLoop", {5, 0, 0}, {"5"}},
                      NextLinkCase{"BackToStart", {6, 5, 0}, {"5", "6"}},
                      NextLinkCase{"LoopAfterStart", {6, 7, 6}, {"5", "6", "7"}},
                      NextLinkCase{"Chain", {6, 7, 0}, {"5", "6", "7"}},
                      NextLinkCase{"PastTheFile", {999, 0, 0}, {"5"}}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// TreeCursor: dirty files (stale links, reused pages, unlisted leaves)

constexpr uint32_t kOwner = 9;
constexpr uint32_t kOther = 11;

// Root 5 (owner 9) lists the leaves given; each leaf is (page, keys, next).
struct TestLeaf {
  uint32_t page;
  Strings keys;  // data = key
  uint32_t next = 0;
  uint32_t owner = kOwner;
  uint8_t flags = 0;  // tag flags of every entry
};

Image dirty_image(uint32_t page_size, const std::vector<uint32_t>& listed,
                  const std::vector<TestLeaf>& leaves) {
  Image image(page_size, 40);
  std::vector<TestTag> children{kEmptyTag};
  for (uint32_t p : listed) children.push_back(child(p));
  image.set_page(5, kBranch, children);
  image.set_owner(5, kOwner);
  for (const TestLeaf& l : leaves) {
    std::vector<TestTag> tags{kEmptyTag};
    for (const auto& k : l.keys) tags.push_back(leaf(k, k, l.flags));
    image.set_page(l.page, kLeaf, tags, l.next);
    image.set_owner(l.page, l.owner);
  }
  return image;
}

struct DirtyCase {
  const char* name;
  std::vector<uint32_t> listed;
  std::vector<TestLeaf> leaves;
  Strings expected;
  bool fails = false;           // the pass ends with an error
  size_t foreign = 0;
  size_t unlisted = 0;
  uint64_t stale = 0;
};

class TreeCursorDirty : public ::testing::TestWithParam<std::tuple<DirtyCase, uint32_t>> {};

TEST_P(TreeCursorDirty, ReadsEveryLeafOfTheTreeOnceAndNothingElse) {
  const auto& [c, page_size] = GetParam();
  auto db = open_image(dirty_image(page_size, c.listed, c.leaves));
  ASSERT_TRUE(db);
  TreeStats stats;
  CursorOptions options;
  options.stats = &stats;
  std::optional<EseError> error;
  const Strings got = cursor_data(*db, 5, &error, options);
  EXPECT_EQ(got, c.expected);
  EXPECT_EQ(error.has_value(), c.fails);
  EXPECT_EQ(stats.foreign.size(), c.foreign);
  EXPECT_EQ(stats.unlisted.size(), c.unlisted);
  EXPECT_EQ(stats.stale, c.stale);
  EXPECT_TRUE(std::is_sorted(got.begin(), got.end()));
  EXPECT_EQ(std::set<std::string>(got.begin(), got.end()).size(), got.size());
}

const uint32_t kPast = 999;  // a page number past the file

INSTANTIATE_TEST_SUITE_P(
    TreeCursor, TreeCursorDirty,
    ::testing::Combine(
        ::testing::Values(
            DirtyCase{"SoundChain", {6, 7}, {{6, {"a", "b"}, 7}, {7, {"c"}, 0}}, {"a", "b", "c"}},
            // The chain leaves the table for another object's leaves.
            DirtyCase{"StaleLinkIntoAnotherObject",
                      {6, 7},
                      {{6, {"a"}, 20}, {7, {"c"}, 0}, {20, {"x", "y"}, 21, kOther},
                       {21, {"z"}, 0, kOther}},
                      {"a", "c"}, false, 1},
            // The last leaves are reachable only through the branch pages.
            DirtyCase{"LeavesOnlyTheBranchesReach",
                      {6, 7, 8},
                      {{6, {"a"}, 0}, {7, {"b"}, 0}, {8, {"c"}, 0}},
                      {"a", "b", "c"}},
            // A listed child now belongs to another object.
            DirtyCase{"BranchChildReused",
                      {6, 7, 8},
                      {{6, {"a"}, 7}, {7, {"q"}, 8, kOther}, {8, {"c"}, 0}},
                      {"a", "c"}, false, 1},
            // An unlisted leaf of the tree: only keys between its neighbours'.
            DirtyCase{"UnlistedLeafInKeyRange",
                      {6, 8},
                      {{6, {"b", "c"}, 7}, {7, {"a", "c", "d", "e", "m", "z"}, 8}, {8, {"m"}, 0}},
                      {"b", "c", "d", "e", "m"}, false, 0, 1, 4},
            // A stale copy of a listed leaf: nothing of it is new.
            DirtyCase{"StaleDuplicateOfALeaf",
                      {6, 8},
                      {{6, {"a"}, 7}, {7, {"m", "n"}, 8}, {8, {"m", "n"}, 0}},
                      {"a", "m", "n"}, false, 0, 1, 2},
            // A listed page that cannot be read, with and without an unlisted
            // leaf standing in for it.
            DirtyCase{"UnreadableListedPageBypassed",
                      {6, kPast, 8},
                      {{6, {"a"}, 7}, {7, {"b"}, 8}, {8, {"c"}, 0}},
                      {"a", "b", "c"}, false, 0, 1},
            DirtyCase{"UnreadableListedPageEndsThePass",
                      {6, kPast, 8},
                      {{6, {"a"}, 0}, {8, {"c"}, 0}},
                      {"a"}, true},
            // Links and children that cycle through foreign pages.
            DirtyCase{"CycleThroughForeignPages",
                      {6, 20, 7},
                      {{6, {"a"}, 20}, {20, {"x"}, 6, kOther}, {7, {"b"}, 20}},
                      {"a", "b"}, false, 1},
            // Deleted-flagged entries are not live records.
            DirtyCase{"DeletedEntriesSkipped",
                      {6, 7},
                      {{6, {"a"}, 7}, {7, {"b", "c"}, 0, kOwner, 0x2}},
                      {"a"}}),
        ::testing::Values(4096u, 8192u, 16384u, 32768u)),
    [](const auto& info) {
      return std::string(std::get<0>(info.param).name) + "_" +
             std::to_string(std::get<1>(info.param));
    });

TEST(TreeCursor, EntryFilterAndLinkStatistics) {
  auto db = open_image(dirty_image(kSmall, {6, 7},
                                   {{6, {"a"}, 20}, {7, {"b", "c"}, 0, kOwner, 0x2},
                                    {20, {"x"}, 0, kOther}}));
  ASSERT_TRUE(db);
  CursorOptions options;
  options.filter = EntryFilter::Deleted;
  EXPECT_EQ(cursor_data(*db, 5, nullptr, options), (Strings{"b", "c"}));
  TreeStats stats;
  options.filter = EntryFilter::Any;
  options.stats = &stats;
  EXPECT_EQ(cursor_data(*db, 5, nullptr, options), (Strings{"a", "b", "c"}));
  EXPECT_EQ(stats.branch_pages, 1u);
  EXPECT_EQ(stats.leaf_pages, 2u);
  EXPECT_EQ(stats.leaf_entries, 3u);
  EXPECT_EQ(stats.live, 1u);
  EXPECT_EQ(stats.deleted, 2u);
  ASSERT_EQ(stats.link_mismatch.size(), 1u);
  EXPECT_EQ(stats.link_mismatch[0].page, 6u);
  EXPECT_EQ(stats.link_mismatch[0].next, 20u);
  ASSERT_EQ(stats.foreign.size(), 1u);
  EXPECT_EQ(stats.foreign[0].owner, kOther);
}

// ---------------------------------------------------------------------------
// TreeCursor: torn pages

TEST(TreeCursor, ImpossibleRecordsAreDroppedOnlyOnPagesFailingTheirChecksum) {
  for (uint32_t page_size : {kSmall, 8192u, kLarge, 32768u}) {
    for (bool torn : {false, true}) {
      SCOPED_TRACE(std::to_string(page_size) + (torn ? " torn" : " sound"));
      Image image(page_size, 10);
      const std::string record = std::string("\x01\x80\x05\x00", 4) + "x";  // F=1 V=128 O=5
      image.set_page(6, kLeaf,
                     {kEmptyTag, leaf("a", record), leaf("b", std::string(4, '\0')),
                      leaf("c", "ab"), leaf("d", std::string("\x00\x7f\x09\x00", 4))});
      if (torn) image.tear(6);
      auto db = open_image(image);
      ASSERT_TRUE(db);
      TreeStats stats;
      CursorOptions options;
      options.stats = &stats;
      const Strings got = cursor_data(*db, 6, nullptr, options);
      // Every entry is counted once: rejected, or live.
      EXPECT_EQ(stats.leaf_entries, 4u);
      if (torn) {
        EXPECT_EQ(got, (Strings{record}));
        EXPECT_EQ(stats.rejected, 3u);
        EXPECT_EQ(stats.live, 1u);
      } else {
        EXPECT_EQ(got.size(), 4u);
        EXPECT_EQ(stats.rejected, 0u);
        EXPECT_EQ(stats.live, 4u);
      }
      // Long-value and index trees hold no records: nothing is rejected.
      options.kind = TreeKind::LongValue;
      EXPECT_EQ(cursor_data(*db, 6, nullptr, options).size(), 4u);
    }
  }
}

// ---------------------------------------------------------------------------
// Long-value index

// Result of one long-value lookup: what the resolver works from.
struct LvResult {
  bool descent_failed = false;
  std::vector<std::pair<uint32_t, Bytes>> chunks;
  std::optional<uint32_t> total_size;
  bool operator==(const LvResult&) const = default;
};

std::string describe(const LvResult& r) {
  std::string s = r.descent_failed ? "descent failed; " : "";
  for (const auto& [offset, bytes] : r.chunks) {
    s += std::to_string(offset) + ":" + std::to_string(bytes.size()) + " ";
  }
  if (r.total_size) s += "total " + std::to_string(*r.total_size);
  return s;
}

LvResult from_index(const LongValueIndex& index, uint64_t id, int width) {
  LvResult r;
  r.descent_failed = index.descent_failed();
  if (r.descent_failed) return r;
  if (const LongValueChunks* found = index.find(id, width)) {
    for (const auto& [offset, view] : found->chunks) {
      r.chunks.emplace_back(offset, Bytes(view.begin(), view.end()));
    }
    r.total_size = found->total_size;
  }
  return r;
}

// Tag i as get_tag reads it, its value copied; in the large layout the flag
// bits of the second byte cleared.
std::optional<TagOwned> reference_tag(const TagReader& reader, uint16_t i) {
  auto tag = get_tag(reader, i);
  if (!tag.ok()) return std::nullopt;
  TagOwned out{tag->flags, Bytes(tag->value.begin(), tag->value.end())};
  if (reader.large && out.value.size() >= 2) out.value[1] &= 0x1F;
  return out;
}

struct FullKeyEntry {
  Bytes key;  // page prefix part + local key
  Bytes data;
};

// Live entries of tags 1.. of a leaf page with their full keys.
std::vector<FullKeyEntry> reference_entries(const Database& db, const Page& page) {
  const TagReader reader = db.tags(page);
  Bytes prefix;
  if (reader.count > 0) {
    if (auto t0 = reference_tag(reader, 0)) prefix = t0->value;
  }
  std::vector<FullKeyEntry> out;
  for (uint16_t i = 1; i < reader.count; ++i) {
    auto tag = reference_tag(reader, i);
    if (!tag) continue;
    auto e = decode_leaf_entry(tag->flags, tag->value);
    if (!e.ok() || (tag->flags & 0x2)) continue;
    const size_t c = e->common_key_size ? std::min<size_t>(*e->common_key_size, prefix.size()) : 0;
    FullKeyEntry f;
    f.key.assign(prefix.begin(), prefix.begin() + static_cast<ptrdiff_t>(c));
    f.key.insert(f.key.end(), e->key.begin(), e->key.end());
    f.data.assign(e->data.begin(), e->data.end());
    out.push_back(std::move(f));
  }
  return out;
}

uint64_t big_endian(const Bytes& b, size_t pos, size_t n) {
  uint64_t v = 0;
  for (size_t j = 0; j < n; ++j) v = (v << 8) | b[pos + j];
  return v;
}

// The per-reference scan the index replaces: the tree's entries in the
// cursor's order, scanned from the left for the entries of one id, stopping
// at the first greater id.
LvResult reference_scan(const Database& db, uint32_t root, uint64_t id, size_t width) {
  LvResult r;
  TreeStats stats;
  CursorOptions options;
  options.kind = TreeKind::LongValue;
  options.stats = &stats;
  TreeCursor cursor(db, root, options);
  cursor.start();
  if (!cursor.valid() && !cursor.status().ok() && stats.leaf_pages == 0) {
    return LvResult{true, {}, {}};
  }
  for (; cursor.valid(); cursor.next()) {
    Bytes key(4096);
    key.resize(std::min(key.size(), cursor.key(key.data(), key.size())));
    const ByteView data = cursor.entry().data;
    if (key.size() < width) continue;
    const uint64_t k = big_endian(key, 0, width);
    if (k < id) continue;
    if (k > id) return r;
    if (key.size() >= width + 4) {
      r.chunks.emplace_back(static_cast<uint32_t>(big_endian(key, width, 4)),
                            Bytes(data.begin(), data.end()));
    } else if (data.size() >= 8) {
      r.total_size = load_u32le(data.data() + 4);
    }
  }
  return r;
}

Bytes be32(uint32_t v) {
  return {static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16),
          static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
}
Bytes be64(uint64_t v) { return cat({be32(static_cast<uint32_t>(v >> 32)), be32(static_cast<uint32_t>(v))}); }
TestTag lv_chunk(const Bytes& id, uint32_t offset, const std::string& data, uint8_t flags = 0) {
  return {flags, leaf_value(cat({id, be32(offset)}), str(data))};
}
TestTag lv_root(const Bytes& id, uint32_t total) {
  return {0, leaf_value(id, cat({le32(1), le32(total)}))};
}

LvResult expect_chunks(std::vector<std::pair<uint32_t, std::string>> chunks,
                       std::optional<uint32_t> total = std::nullopt) {
  LvResult r;
  for (auto& [offset, s] : chunks) r.chunks.emplace_back(offset, str(s));
  r.total_size = total;
  return r;
}

TEST(LongValueIndex, AnswersLikeAScanPerId) {
  for (uint32_t page_size : {kSmall, kLarge}) {
    SCOPED_TRACE(page_size);
    Image image(page_size, 12);
    image.set_page(5, kBranch | kPageLongValue, {kEmptyTag, child(6), child(7)});
    image.set_page(6, kLeaf | kPageLongValue,
                   {kEmptyTag, lv_root(be32(1), 5), lv_chunk(be32(1), 4096, "BB"),
                    lv_chunk(be32(1), 0, "AAAA"), lv_chunk(be32(2), 0, "gone", 0x2),
                    lv_chunk(be32(2), 0, "two"), lv_chunk(be32(5), 0, "five")},
                   7);
    // Id 3 after the greater id 5: a scan for 3 stops at 5 and never sees it.
    image.set_page(7, kLeaf | kPageLongValue,
                   {kEmptyTag, lv_chunk(be32(3), 0, "late"), lv_chunk(be32(5), 8, "more"),
                    lv_chunk(be32(9), 0, "nine")},
                   7);
    auto db = open_image(image);
    ASSERT_TRUE(db);
    const LongValueIndex index = LongValueIndex::build(*db, 5);
    for (uint64_t id : {1, 2, 3, 4, 5, 9, 10}) {
      SCOPED_TRACE(id);
      EXPECT_EQ(from_index(index, id, 4), reference_scan(*db, 5, id, 4));
    }
    EXPECT_EQ(from_index(index, 1, 4), expect_chunks({{4096, "BB"}, {0, "AAAA"}}, 5));
    EXPECT_EQ(from_index(index, 2, 4), expect_chunks({{0, "two"}}));
    EXPECT_EQ(from_index(index, 3, 4), expect_chunks({}));
    EXPECT_EQ(from_index(index, 5, 4), expect_chunks({{0, "five"}, {8, "more"}}));
    EXPECT_EQ(from_index(index, 9, 4), expect_chunks({{0, "nine"}}));
  }
}

TEST(LongValueIndex, SixtyFourBitIdsAndPagePrefix) {
  for (uint32_t page_size : {kSmall, kLarge}) {
    SCOPED_TRACE(page_size);
    Image image(page_size, 10);
    const Bytes id1 = be64(0x8000000080000001ull);
    const Bytes id2 = be64(0x8000000080000002ull);
    // Tag 0 holds the shared prefix (flag bits set on it in the large layout);
    // entries take its first bytes through their common key size.
    const Bytes prefix = cat({id2, be32(0)});
    image.set_page(5, kLeaf | kPageLongValue,
                   {{0x1, prefix}, lv_root(id1, 6), lv_chunk(id1, 0, "ab"),
                    lv_chunk(id1, 2, "cdef"),
                    {0x4, leaf_value(cat({be32(0x80000002u), be32(0)}), str("x"), uint16_t{4})},
                    {0x4, leaf_value(be32(16), str("y"), uint16_t{8})}});
    auto db = open_image(image);
    ASSERT_TRUE(db);
    const LongValueIndex index = LongValueIndex::build(*db, 5);
    EXPECT_EQ(from_index(index, 0x8000000080000001ull, 8),
              expect_chunks({{0, "ab"}, {2, "cdef"}}, 6));
    EXPECT_EQ(from_index(index, 0x8000000080000002ull, 8), expect_chunks({{0, "x"}, {16, "y"}}));
    // Read as 32-bit ids, all five entries are chunks of id 0x80000000.
    EXPECT_EQ(from_index(index, 0x80000000u, 4).chunks.size(), 5u);
    EXPECT_EQ(from_index(index, 0x80000000u, 4), reference_scan(*db, 5, 0x80000000u, 4));
    EXPECT_EQ(from_index(index, 0x8000000080000002ull, 8),
              reference_scan(*db, 5, 0x8000000080000002ull, 8));
  }
}

TEST(LongValueIndex, DescentFailsOnlyOnAnUnreadablePage) {
  Image image(kSmall, 8);
  image.set_page(5, kBranch, {kEmptyTag, {0, str("junk")}});  // an entry that gives no page
  image.set_page(6, kBranch, {kEmptyTag, child(6)});           // cycle: stops at 6
  auto db = open_image(image);
  ASSERT_TRUE(db);
  EXPECT_TRUE(LongValueIndex::build(*db, db->total_pages() + 1).descent_failed());
  EXPECT_TRUE(LongValueIndex::build(*db, 5).descent_failed());
  for (uint32_t root : {6u, 0u}) {
    const LongValueIndex index = LongValueIndex::build(*db, root);
    EXPECT_FALSE(index.descent_failed());
    EXPECT_EQ(index.find(1, 4), nullptr);
  }
}

// Random long-value trees, damaged in the ways real files are: out-of-order
// keys, mixed id widths, deleted and undecodable entries, page prefixes,
// broken next links and descents.
class RandomLvTree {
 public:
  RandomLvTree(uint32_t page_size, uint32_t seed) : rng_(seed), image_(page_size, kPages) {
    const int leaves = pick(1, 6);
    std::vector<uint32_t> leaf_pages;
    for (int i = 0; i < leaves; ++i) leaf_pages.push_back(kFirstLeaf + static_cast<uint32_t>(i));
    std::shuffle(leaf_pages.begin(), leaf_pages.end(), rng_);

    std::vector<std::pair<Bytes, Bytes>> entries = random_entries(leaves * pick(4, 20));
    size_t next_entry = 0;
    for (int i = 0; i < leaves; ++i) {
      // At most 40 entries of at most 33 bytes: every page fits in 4 KiB.
      const size_t take = std::min(entries.size() - next_entry,
                                   static_cast<size_t>(i + 1 == leaves ? 40 : pick(0, 25)));
      std::vector<std::pair<Bytes, Bytes>> mine(entries.begin() + next_entry,
                                                entries.begin() + next_entry + take);
      next_entry += take;
      uint32_t next = i + 1 < leaves ? leaf_pages[i + 1] : 0;
      switch (pick(0, 14)) {
        case 0: next = leaf_pages[pick(0, i)]; break;       // back into the chain
        case 1: next = kRoot; break;                         // a branch page
        case 2: next = kPages + 3; break;                    // past the file
        case 3: next = 0; break;                             // chain cut short
        default: break;
      }
      uint32_t flags = kLeaf | kPageLongValue;
      if (pick(0, 30) == 0) flags = kBranch;
      image_.set_page(leaf_pages[i], flags, leaf_tags(mine), next);
    }

    // Root 5 -> (maybe inner page 6) -> first leaf, with occasional damage.
    const uint32_t first = leaf_pages[0];
    std::vector<TestTag> root_tags{kEmptyTag, child(first)};
    switch (pick(0, 12)) {
      case 0: root_tags[1] = child(kPages + 7); break;          // invalid child
      case 1: root_tags[1] = {0, {0x01}}; break;                // undecodable
      case 2: root_tags = {kEmptyTag}; break;                   // no tag 1
      case 3:  // the inner page leads back to the root
        root_tags[1] = child(kInner);
        image_.set_page(kInner, kBranch, {kEmptyTag, child(kRoot)});
        break;
      case 4: case 5:
        root_tags[1] = child(kInner, 0x1);
        image_.set_page(kInner, kBranch, {kEmptyTag, child(first, 0x2), child(kRoot)});
        break;
      default: break;
    }
    for (int extra = pick(0, 2); extra > 0; --extra) {
      root_tags.push_back(child(leaf_pages[pick(0, leaves - 1)]));
    }
    image_.set_page(kRoot, kBranch | kPageLongValue, root_tags);
    root_ = pick(0, 25) == 0 ? kPages + 1 : (pick(0, 20) == 0 ? first : kRoot);
  }

  const Image& image() const { return image_; }
  uint32_t root() const { return root_; }

  static constexpr uint32_t kPages = 16;
  static constexpr uint32_t kRoot = 5;
  static constexpr uint32_t kInner = 6;
  static constexpr uint32_t kFirstLeaf = 7;

 private:
  int pick(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }

  Bytes random_bytes(int n) {
    Bytes b(static_cast<size_t>(n));
    for (auto& x : b) x = static_cast<uint8_t>(pick(0, 255));
    return b;
  }

  // Full keys: 32- and 64-bit ids from small pools, as chunk keys (id +
  // offset), root keys (id alone) or odd lengths; mostly ascending.
  std::vector<std::pair<Bytes, Bytes>> random_entries(int n) {
    std::vector<std::pair<Bytes, Bytes>> out;
    for (int i = 0; i < n; ++i) {
      const bool wide = pick(0, 2) == 0;
      const Bytes id = wide ? be64(0x8000000080000000ull + static_cast<uint64_t>(pick(0, 4)))
                            : be32(static_cast<uint32_t>(pick(0, 6)));
      Bytes key;
      Bytes data = random_bytes(pick(0, 12));
      switch (pick(0, 9)) {
        case 0: key = id; data = cat({le32(0), le32(static_cast<uint32_t>(pick(0, 40)))}); break;
        case 1: key = random_bytes(pick(0, 13)); break;
        case 2: key = cat({id, random_bytes(pick(0, 3))}); break;
        default: key = cat({id, be32(static_cast<uint32_t>(pick(0, 3) * 1024))}); break;
      }
      out.emplace_back(key, data);
    }
    std::stable_sort(out.begin(), out.end());
    for (int swaps = pick(0, 4); swaps > 0 && out.size() > 1; --swaps) {
      const size_t a = static_cast<size_t>(pick(0, static_cast<int>(out.size()) - 1));
      const size_t b = static_cast<size_t>(pick(0, static_cast<int>(out.size()) - 1));
      std::swap(out[a], out[b]);
    }
    return out;
  }

  // Tags of one leaf page: tag 0 a prefix taken from one of its keys, then
  // the entries, some sharing the prefix, some deleted or undecodable.
  std::vector<TestTag> leaf_tags(const std::vector<std::pair<Bytes, Bytes>>& entries) {
    Bytes prefix;
    if (!entries.empty() && pick(0, 2) != 0) {
      prefix = entries[static_cast<size_t>(pick(0, static_cast<int>(entries.size()) - 1))].first;
      prefix.resize(std::min(prefix.size(), static_cast<size_t>(pick(0, 12))));
    }
    std::vector<TestTag> tags{{static_cast<uint8_t>(pick(0, 7)), prefix}};
    for (const auto& [key, data] : entries) {
      uint8_t flags = pick(0, 8) == 0 ? 0x2 : 0;
      if (pick(0, 40) == 0) {
        tags.push_back({0, {0x05}});
        continue;
      }
      size_t shared = 0;
      while (shared < key.size() && shared < prefix.size() && key[shared] == prefix[shared]) {
        ++shared;
      }
      if (pick(0, 1) == 0) {
        // Sometimes claim more than the prefix holds (capped when read).
        const size_t c = pick(0, 10) == 0 ? prefix.size() + 3
                                          : static_cast<size_t>(pick(0, static_cast<int>(shared)));
        const Bytes local(key.begin() + static_cast<ptrdiff_t>(std::min(c, key.size())), key.end());
        tags.push_back({static_cast<uint8_t>(flags | 0x4),
                        leaf_value(local, data, static_cast<uint16_t>(c))});
      } else {
        tags.push_back({static_cast<uint8_t>(flags | (pick(0, 3) == 0 ? 0x1 : 0)),
                        leaf_value(key, data)});
      }
    }
    return tags;
  }

  std::mt19937 rng_;
  Image image_;
  uint32_t root_ = kRoot;
};

// Every (id, width) any leaf key of the image could name, plus absent ones.
std::set<std::pair<uint64_t, size_t>> candidate_ids(const Database& db) {
  std::set<std::pair<uint64_t, size_t>> ids{{0, 4}, {0, 8}, {77, 4}, {~0ull, 8}};
  for (uint32_t p = 1; p <= db.total_pages(); ++p) {
    auto page = db.read_page(p);
    if (!page.ok() || !page->is_leaf()) continue;
    for (const FullKeyEntry& e : reference_entries(db, *page)) {
      for (size_t w : {size_t{4}, size_t{8}}) {
        if (e.key.size() >= w) ids.insert({big_endian(e.key, 0, w), w});
      }
    }
  }
  return ids;
}

class LongValueIndexRandom : public ::testing::TestWithParam<uint32_t> {};

TEST_P(LongValueIndexRandom, EqualsAFreshScanForEveryId) {
  int compared = 0, nonempty = 0;
  for (uint32_t seed = 1; seed <= 60; ++seed) {
    RandomLvTree tree(GetParam(), seed);
    auto db = open_image(tree.image());
    ASSERT_TRUE(db);
    // One index asked in ascending order, one in descending order: the pass
    // goes only as far as a lookup needs, and an answer given early must
    // still hold once the pass has moved on.
    const auto ids = candidate_ids(*db);
    const LongValueIndex up = LongValueIndex::build(*db, tree.root());
    const LongValueIndex down = LongValueIndex::build(*db, tree.root());
    std::vector<LvResult> early, descending(ids.size());
    for (const auto& [id, width] : ids) early.push_back(from_index(up, id, static_cast<int>(width)));
    size_t i = ids.size();
    for (auto it = ids.rbegin(); it != ids.rend(); ++it) {
      descending[--i] = from_index(down, it->first, static_cast<int>(it->second));
    }
    for (const auto& [id, width] : ids) {
      const LvResult want = reference_scan(*db, tree.root(), id, width);
      for (const LvResult* got : {&early[i], &descending[i]}) {
        EXPECT_EQ(*got, want) << "seed " << seed << " id " << id << " width " << width
                              << "\n  index: " << describe(*got) << "\n  scan:  " << describe(want);
      }
      EXPECT_EQ(from_index(up, id, static_cast<int>(width)), want) << "seed " << seed << " id " << id;
      ++i;
      ++compared;
      if (!want.chunks.empty()) ++nonempty;
    }
  }
  // The generator must produce real values, not only misses.
  EXPECT_GT(nonempty, compared / 10);
}

INSTANTIATE_TEST_SUITE_P(LongValueIndex, LongValueIndexRandom, ::testing::Values(kSmall, kLarge),
                         [](const auto& info) { return info.param == kSmall ? "Small" : "Large"; });

// ---------------------------------------------------------------------------
// Catalog records

using test::catalog_record;
using test::CatalogFields;
using test::column_record;
using test::index_record;
using test::long_value_record;
using test::set_catalog_page;
using test::table_record;

Bytes truncated(Bytes b, size_t n) {
  b.resize(n);
  return b;
}

struct BadRecordCase {
  const char* name;
  Bytes record;
  ErrorKind kind;
  uint32_t payload;  // type number where the kind carries one
};

class CatalogBadRecord : public ::testing::TestWithParam<BadRecordCase> {};

TEST_P(CatalogBadRecord, FailsWithItsKind) {
  const BadRecordCase& c = GetParam();
  auto r = parse_catalog_record(c.record);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind(), c.kind) << message(r.error());
  if (c.kind == ErrorKind::UnsupportedCatalogType || c.kind == ErrorKind::UnsupportedColumnType) {
    EXPECT_EQ(r.error().a(), c.payload);
  }
}

Bytes with_type(uint16_t type, uint8_t last_variable = 128) {
  return catalog_record(CatalogFields{type, 1, 2, 3, 4, 5, 6}, "name", last_variable);
}
Bytes with_name_length(Bytes record, uint16_t length) {
  test::put16(record, 30, length);
  return record;
}

INSTANTIATE_TEST_SUITE_P(
    Catalog, CatalogBadRecord,
    ::testing::Values(
        BadRecordCase{"FourBytes", Bytes(4, 0), ErrorKind::InvalidCatalogEntry, 0},
        BadRecordCase{"ThirteenBytes", truncated(with_type(1), 13), ErrorKind::InvalidCatalogEntry, 0},
        BadRecordCase{"TypeZero", with_type(0), ErrorKind::UnsupportedCatalogType, 0},
        BadRecordCase{"TypeSix", with_type(6), ErrorKind::UnsupportedCatalogType, 6},
        BadRecordCase{"TypeSixShortNameArea", truncated(with_type(6), 14), ErrorKind::UnsupportedCatalogType, 6},
        BadRecordCase{"Callback", with_type(5), ErrorKind::CallbackCatalogType, 0},
        BadRecordCase{"TableShort", truncated(with_type(1), 21), ErrorKind::InvalidCatalogEntry, 0},
        BadRecordCase{"ColumnShort", truncated(with_type(2), 29), ErrorKind::InvalidCatalogEntry, 0},
        BadRecordCase{"IndexShort", truncated(with_type(3), 29), ErrorKind::InvalidCatalogEntry, 0},
        BadRecordCase{"LongValueShort", truncated(with_type(4), 21), ErrorKind::InvalidCatalogEntry, 0},
        BadRecordCase{"ColumnType19", column_record(1, 1, "c", 19), ErrorKind::UnsupportedColumnType, 19},
        BadRecordCase{"ColumnType19NoName", catalog_record({2, 1, 1, 19, 0, 0, 0}, "c", 0),
                      ErrorKind::UnsupportedColumnType, 19},
        BadRecordCase{"NoVariableColumns", with_type(1, 127), ErrorKind::InvalidCatalogEntry, 0},
        BadRecordCase{"NoVariableColumnsZero", with_type(4, 0), ErrorKind::InvalidCatalogEntry, 0},
        BadRecordCase{"NameLengthPastEnd", with_name_length(with_type(1), 5), ErrorKind::InvalidCatalogEntry, 0},
        BadRecordCase{"NameLengthNullBit", with_name_length(with_type(2), 0x8004), ErrorKind::InvalidCatalogEntry, 0},
        BadRecordCase{"OffsetArrayPastEnd", truncated(with_type(3), 31), ErrorKind::InvalidCatalogEntry, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CatalogRecord, ShortRecordsAreIgnored) {
  for (size_t n = 0; n < 4; ++n) {
    auto r = parse_catalog_record(Bytes(n, 0xFF));
    ASSERT_TRUE(r.ok());
    EXPECT_TRUE(std::holds_alternative<std::monostate>(*r));
  }
}

TEST(CatalogRecord, NameFollowsTheVariableOffsetArray) {
  // Three variable columns: the name starts after three offset entries.
  Bytes lv = cat({truncated(long_value_record(7, 10, "", 42), 30), le16(2), le16(0), le16(2),
                  str("LV")});
  lv[1] = 130;
  auto r = parse_catalog_record(lv);
  ASSERT_TRUE(r.ok()) << message(r.error());
  const auto& l = std::get<CatalogEntry>(*r);
  EXPECT_EQ(l.type, CatalogType::LongValue);
  EXPECT_EQ(l.owning_table, 7u);
  EXPECT_EQ(l.id, 10u);
  EXPECT_EQ(l.root_page, 42u);
  EXPECT_EQ(l.name, "LV");
}

// ---------------------------------------------------------------------------
// load_catalog

std::vector<std::string> table_names(const Database& db) {
  std::vector<std::string> names;
  for (const auto& [name, def] : db.tables()) names.push_back(name);
  return names;
}

TEST(CatalogLoad, TablesInWalkOrderWithTheirColumnsIndexesAndLongValues) {
  Image image(kSmall, 8);
  set_catalog_page(image, {
      column_record(2, 1, "early", 4),            // before its table: still attached
      table_record(2, "Second", 30),
      table_record(1, "First", 20),
      column_record(1, 1, "a", 4),
      column_record(1, 2, "b", 10, 255, 1200),
      column_record(2, 1, "x", 1),
      index_record(1, 5, "ix", 21),
      long_value_record(1, 6, "lv", 22),
      column_record(9, 1, "orphan", 4),           // no table with id 9
      Bytes{1, 2, 3},                             // short: ignored
      Bytes{},                                    // empty: ignored
  });
  auto db = open_image(image);
  ASSERT_TRUE(db);
  EXPECT_EQ(table_names(*db), (Strings{"Second", "First"}));
  const TableDef* first = db->tables().find("First");
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->root_page, 20u);
  ASSERT_EQ(first->columns.size(), 2u);
  EXPECT_EQ(first->columns[1].first, "b");
  EXPECT_EQ(first->columns[1].second.codepage, std::optional<uint32_t>(1200));
  EXPECT_EQ(first->columns[1].second.size, 255u);
  EXPECT_EQ(first->columns[1].second.id, 2u);
  ASSERT_EQ(first->indexes.size(), 1u);
  EXPECT_EQ(first->indexes[0].second.root_page, 21u);
  ASSERT_EQ(first->long_values.size(), 1u);
  EXPECT_EQ(first->long_values[0].second.root_page, 22u);
  const TableDef* second = db->tables().find("Second");
  ASSERT_NE(second, nullptr);
  ASSERT_EQ(second->columns.size(), 2u);
  EXPECT_EQ(second->columns[0].first, "early");
  EXPECT_EQ(second->columns[1].first, "x");
}

TEST(CatalogLoad, RepeatedNamesReplaceInPlace) {
  Image image(kSmall, 8);
  set_catalog_page(image, {
      table_record(1, "T", 20),
      table_record(3, "Other", 40),
      table_record(2, "T", 30),        // same name, later record wins, first position
      column_record(1, 1, "c", 4),
      column_record(1, 2, "d", 4),
      column_record(2, 3, "c", 11),    // same name: replaces "c" in place
  });
  auto db = open_image(image);
  ASSERT_TRUE(db);
  EXPECT_EQ(table_names(*db), (Strings{"T", "Other"}));
  const TableDef* t = db->tables().find("T");
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(t->root_page, 30u);
  ASSERT_EQ(t->columns.size(), 2u);
  EXPECT_EQ(t->columns[0].first, "c");
  EXPECT_EQ(t->columns[0].second.column_type, 11u);
  EXPECT_EQ(t->columns[0].second.id, 3u);
  EXPECT_EQ(t->columns[1].first, "d");
}

TEST(CatalogLoad, DeletedRowsAreNotRead) {
  Image image(kSmall, 8);
  set_catalog_page(image,
                   {table_record(1, "T", 20), table_record(1, "T", 99), table_record(2, "Gone", 30),
                    column_record(1, 1, "c", 4), column_record(1, 1, "c", 19)},
                   {0, 0x2, 0x2, 0, 0x2});
  auto db = open_image(image);
  ASSERT_TRUE(db);
  EXPECT_EQ(table_names(*db), (Strings{"T"}));
  EXPECT_EQ(db->tables().find("T")->root_page, 20u);
  EXPECT_EQ(db->tables().find("T")->columns.size(), 1u);
}

TEST(CatalogLoad, EmptyCatalogOpensWithNoTables) {
  Image image(kSmall, 8);
  set_catalog_page(image, {});
  auto db = open_image(image);
  ASSERT_TRUE(db);
  EXPECT_TRUE(db->tables().empty());
}

struct MalformedCase {
  uint32_t page_size;
  bool fatal;
};

class CatalogMalformedRecord : public ::testing::TestWithParam<MalformedCase> {};

TEST_P(CatalogMalformedRecord, FatalUpTo8KiBSkippedAbove) {
  const MalformedCase& c = GetParam();
  const std::vector<std::pair<Bytes, ErrorKind>> bad = {
      {column_record(1, 2, "bad", 19), ErrorKind::UnsupportedColumnType},
      {with_type(6), ErrorKind::UnsupportedCatalogType},
      {Bytes(8, 0), ErrorKind::InvalidCatalogEntry},
      {with_type(2, 12), ErrorKind::InvalidCatalogEntry},
  };
  for (const auto& [record, kind] : bad) {
    Image image(c.page_size, 8);
    set_catalog_page(image, {table_record(1, "T", 20), record, column_record(1, 1, "ok", 4)});
    auto db = image.open();
    if (c.fatal) {
      ASSERT_FALSE(db.ok());
      EXPECT_EQ(db.error().kind(), kind);
    } else {
      ASSERT_TRUE(db.ok()) << message(db.error());
      const TableDef* t = (*db)->tables().find("T");
      ASSERT_NE(t, nullptr);
      ASSERT_EQ(t->columns.size(), 1u);
      EXPECT_EQ(t->columns[0].first, "ok");
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Catalog, CatalogMalformedRecord,
                         ::testing::Values(MalformedCase{4096, true}, MalformedCase{8192, true},
                                           MalformedCase{16384, false},
                                           MalformedCase{32768, false}),
                         [](const auto& info) { return std::to_string(info.param.page_size); });

}  // namespace
}  // namespace quarlet
