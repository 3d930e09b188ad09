// The integrity pass: header facts, tree walks that count, page checksums.
//
// Each page's bytes are read as few times as possible: the walks judge the
// checksum of every leaf they enter and count its entries from its tag
// array while the page is at hand; a last pass in file order judges every
// page no walk entered (branch pages, and pages of no tree) and finds the
// leaves no walk reached.
#include "database/integrity.hpp"

#include <algorithm>
#include <unordered_map>
#include <unordered_set>

#include "btree/page_set.hpp"
#include "page/checksum.hpp"

namespace quarlet {

namespace {

// Passes hand their pages back to the kernel after this many bytes.

// The database's own object (page 1 and its space trees).
constexpr uint32_t kDatabaseObject = 1;

// Owner id 0 names no object.
constexpr uint32_t kNoObject = 0;

// Page flag 0x8: the page holds no entries (the engine emptied it).
constexpr uint32_t kPageEmpty = 0x08;

// Tag flags: 0x4 common key size present, 0x2 deleted.
constexpr uint8_t kTagCommonKey = 0x4;
constexpr uint8_t kTagDeleted = 0x2;

TreeKind kind_of(TreeRole role) {
  switch (role) {
    case TreeRole::LongValue: return TreeKind::LongValue;
    case TreeRole::Index: return TreeKind::Index;
    case TreeRole::Catalog:
    case TreeRole::Data: break;
  }
  return TreeKind::Records;
}

// The kind of tree a page of these flags belongs to.
TreeKind page_kind(uint32_t flags) {
  if ((flags & kPageLongValue) != 0) return TreeKind::LongValue;
  if ((flags & kPageIndex) != 0) return TreeKind::Index;
  return TreeKind::Records;
}

// True for a leaf of some tree (not of a space tree).
bool tree_leaf(uint32_t flags) {
  return (flags & kPageLeaf) != 0 && (flags & kPageSpaceTree) == 0;
}


// What judging a page found.
enum class Judged : uint8_t {
  Passed,  // the checksum holds
  Unused,  // all zeros: never written
  Failed,  // bad, or written without checksums
};

// The checksum verdict of every page, each judged once.
class PageJudge {
 public:
  PageJudge(const Database& db, PageChecks& out)
      : out_(out), blocks_(checksums_by_block(db)), judged_(db.total_pages()),
        failed_(db.total_pages()) {}

  bool judged(uint32_t n) const { return judged_.contains(n); }

  // Judges page n (its bytes `page`), counting it once. A bad page is
  // recorded with `owner`, the checked tree `tree` (-1 none) and whether a
  // walk reached it. A page judged before gives Passed or Failed again.
  Judged judge(uint32_t n, ByteView page, uint32_t owner, int64_t tree, bool reached) {
    if (!judged_.insert(n)) return failed_.contains(n) ? Judged::Failed : Judged::Passed;
    ++out_.checked;
    const PageChecksum c = check_page_checksum(page, n, blocks_);
    switch (c.verdict) {
      case ChecksumVerdict::Sound:
        ++out_.sound;
        return Judged::Passed;
      case ChecksumVerdict::Unused:
        ++out_.unused;
        return Judged::Unused;
      case ChecksumVerdict::Bad:
        break;
    }
    failed_.insert(n);
    if (checksum_fields_blank(page, blocks_)) {
      ++out_.no_checksum;
      out_.no_checksum_pages.push_back(n);
    } else {
      ++out_.bad;
      out_.bad_pages.push_back(BadPage{n, c.bad_blocks, owner, tree, reached});
    }
    return Judged::Failed;
  }

  // Pages were judged in walk order, then in file order: sorts the lists.
  void finish() {
    std::sort(out_.bad_pages.begin(), out_.bad_pages.end(),
              [](const BadPage& a, const BadPage& b) { return a.number < b.number; });
    std::sort(out_.no_checksum_pages.begin(), out_.no_checksum_pages.end());
  }

 private:
  PageChecks& out_;
  bool blocks_;     // pages carry four checksummed blocks
  PageSet judged_;  // pages judged so far
  PageSet failed_;  // judged pages whose checksum fails
};

// Every tree of the catalog, or of one table: the catalog (page 4) first,
// then each table's data tree, long-value trees and indexes. A table's
// primary index is no tree of its own: its root is the table's, and it
// names the key of the table's tree instead.
std::vector<TreeCheck> list_trees(const Database& db, const TableDef* only) {
  std::vector<TreeCheck> trees;
  auto add = [&](const TableDef& t, const Name& name, TreeRole role, uint32_t root) {
    TreeCheck tree;
    tree.table = t.name;
    tree.name = name;
    tree.role = role;
    tree.root = root;
    trees.push_back(std::move(tree));
  };
  if (only == nullptr) {
    TreeCheck catalog;
    catalog.role = TreeRole::Catalog;
    catalog.root = kCatalogRootPage;
    trees.push_back(std::move(catalog));
  }
  for (const auto& entry : db.tables()) {
    const TableDef& t = entry.second;
    if (only != nullptr && &t != only) continue;
    if (t.root_page == kCatalogRootPage && only == nullptr) {
      trees.front().table = t.name;  // the catalog lists itself
      trees.front().name = t.name;
    } else {
      add(t, t.name, t.root_page == kCatalogRootPage ? TreeRole::Catalog : TreeRole::Data,
          t.root_page);
    }
    const size_t data = t.root_page == kCatalogRootPage && only == nullptr ? 0 : trees.size() - 1;
    for (const auto& lv : t.long_values) add(t, lv.second.name, TreeRole::LongValue, lv.second.root_page);
    for (const auto& ix : t.indexes) {
      if (ix.second.root_page == t.root_page) {
        if (trees[data].primary_index.empty()) trees[data].primary_index = ix.second.name;
        continue;
      }
      add(t, ix.second.name, TreeRole::Index, ix.second.root_page);
    }
  }
  return trees;
}

CursorOptions walk_options(const TreeCheck& tree, TreeStats* stats, PageSet* reached) {
  CursorOptions options;
  options.kind = kind_of(tree.role);
  options.filter = EntryFilter::Any;
  // The catalog is read as the open reads it: tag 0 included, children past
  // the file skipped.
  options.include_tag0 = tree.role == TreeRole::Catalog;
  options.skip_past_file = tree.role == TreeRole::Catalog;
  options.stats = stats;
  options.reached = reached;
  return options;
}

// Counts the entries of a leaf whose entries need no judging (a sound page
// of the tree's branch order, or any page of a tree whose entries are not
// records): every tag after tag 0 that decodes as a leaf entry (a value in
// the page of at least 2 bytes, 4 with a common key size), live or deleted
// by its tag flags, as the cursor's entry pass counts them.
void count_entries(const Database& db, const Page& page, TreeStats& stats) {
  const TagReader reader = db.tags(page);
  for (uint16_t i = 1; i < reader.count; ++i) {
    auto tag = get_tag_span(reader, i);
    if (!tag.ok()) continue;
    const size_t minimum = (tag->flags & kTagCommonKey) != 0 ? 4 : 2;
    if (tag->value.size() < minimum) continue;
    ++stats.leaf_entries;
    if ((tag->flags & kTagDeleted) != 0) {
      ++stats.deleted;
    } else {
      ++stats.live;
    }
  }
}

// Walks the leaves of tree `index`: the cursor's page pass gives the pages
// and the structural findings, each leaf is judged and its entries counted.
// Where entries need judging (a record leaf failing its checksum may hold
// impossible records; a leaf only a link reached may hold stale entries) the
// tree's entries are counted by the cursor's entry pass instead. Resident
// pages are handed back as the walk goes, so a large tree does not stay in
// memory.
void walk_tree_pages(const Database& db, std::vector<TreeCheck>& trees, size_t index,
                     PageSet& reached, PageJudge& judge, ResidentBudget& release) {
  TreeCheck& tree = trees[index];
  auto root = db.read_page(tree.root);
  if (root.ok()) tree.owner = root->owning_object;
  const bool records = kind_of(tree.role) == TreeKind::Records;
  TreeCursor pages(db, tree.root, walk_options(tree, &tree.stats, &reached));
  pages.start_pages();
  bool judge_entries = false;
  while (pages.next_page()) {
    const Page& page = pages.page();
    release.page_read();
    const bool failed = judge.judge(page.number, page.bytes, page.owning_object,
                                    static_cast<int64_t>(index), true) == Judged::Failed;
    if (failed) tree.bad_pages.push_back(page.number);
    if (failed && records) judge_entries = true;
    if (!judge_entries) count_entries(db, page, tree.stats);
  }
  if (!pages.status().ok()) tree.error = message(pages.status().error());
  if (!judge_entries && tree.stats.unlisted.empty()) return;

  TreeStats entries;
  TreeCursor cursor(db, tree.root, walk_options(tree, &entries, nullptr));
  for (cursor.start(); cursor.valid(); cursor.next()) {
  }
  tree.stats.leaf_entries = entries.leaf_entries;
  tree.stats.live = entries.live;
  tree.stats.deleted = entries.deleted;
  tree.stats.rejected = entries.rejected;
  tree.stats.stale = entries.stale;
}

// The checked trees by owner id, and the owner ids of every object of the
// catalog, checked or not.
struct Owners {
  std::unordered_map<uint32_t, std::vector<size_t>> checked;  // owner -> tree indices
  std::unordered_set<uint32_t> known;                         // owner ids of catalog objects

  // The checked tree of `owner` whose kind is `kind`, or -1.
  int64_t tree_of(const std::vector<TreeCheck>& trees, uint32_t owner, TreeKind kind) const {
    auto it = checked.find(owner);
    if (it == checked.end()) return -1;
    for (size_t i : it->second) {
      if (kind_of(trees[i].role) == kind) return static_cast<int64_t>(i);
    }
    return -1;
  }
};

Owners collect_owners(const Database& db, const std::vector<TreeCheck>& trees) {
  Owners owners;
  owners.known.insert(kDatabaseObject);
  for (size_t i = 0; i < trees.size(); ++i) {
    if (trees[i].owner == kNoObject) continue;  // its root cannot be read
    owners.checked[trees[i].owner].push_back(i);
    owners.known.insert(trees[i].owner);
  }
  // Objects whose trees were not walked (a check of one table) still own
  // their pages.
  for (const TreeCheck& t : list_trees(db, nullptr)) {
    auto root = db.read_page(t.root);
    if (root.ok() && root->owning_object != kNoObject) owners.known.insert(root->owning_object);
  }
  return owners;
}

}  // namespace

const char* tree_role_name(TreeRole role) {
  switch (role) {
    case TreeRole::Catalog: return "catalog";
    case TreeRole::Data: return "data";
    case TreeRole::LongValue: return "long_value";
    case TreeRole::Index: return "index";
  }
  return "data";
}

bool TreeCheck::anomalous() const {
  return !error.empty() || !stats.branch_faults.empty() || stats.rejected != 0 || stats.stale != 0 || !stats.foreign.empty() ||
         !stats.link_mismatch.empty() || !stats.unlisted.empty() || !stats.unreadable.empty() ||
         !orphans.empty() || !bad_pages.empty();
}

HeaderFacts header_facts(const Database& db) {
  // The header and its shadow copy one page further on. A source that
  // fails the read was read at open: its header copy stands in.
  auto head = db.read_bytes(0, uint64_t{db.page_size()} + kHeaderChecksummedBytes);
  if (head) return parse_header(*head);
  return parse_header(ByteView(db.header().data(), db.header().size()));
}

bool checksums_by_block(const Database& db) {
  return header_format(db.format_version(), db.format_revision()) == PageHeaderFormat::Extended &&
         db.page_size() > 8192;
}

IntegrityReport check_integrity(const Database& db, const TableDef* only) {
  IntegrityReport report;
  report.header = header_facts(db);
  ResidentBudget release(db);
  PageJudge judge(db, report.pages);
  std::vector<TreeCheck>& trees = report.trees;

  // The walks first: the last pass needs to know which pages they reached.
  trees = list_trees(db, only);
  PageSet reached(db.total_pages());
  for (size_t i = 0; i < trees.size(); ++i) {
    walk_tree_pages(db, trees, i, reached, judge, release);
  }
  const Owners owners = collect_owners(db, trees);

  // Every page no walk entered, in file order.
  PageChecks& pages = report.pages;
  const uint64_t size = db.page_size();
  for (uint64_t n = 1; n <= db.total_pages(); ++n) {
    const uint32_t number = static_cast<uint32_t>(n);
    if (judge.judged(number)) continue;
    const uint64_t start = (n + 1) * size;
    if (start + size > db.file_length()) break;  // total_pages keeps every page inside
    release.page_read();
    // A source whose bytes cannot be fetched ends the pass here.
    const auto read = db.read_bytes(start, size);
    if (!read || read->size() != size) break;
    const ByteView page = *read;
    // Owner id and flags from the page header (none on pages too small to
    // hold one, or never written).
    const uint32_t owner = size >= 40 ? load_u32le(page.data() + 24) : kNoObject;
    const uint32_t flags = size >= 40 ? load_u32le(page.data() + 36) : 0;
    const bool was_reached = reached.contains(number);
    const int64_t tree = owners.tree_of(trees, owner, page_kind(flags));
    const Judged judged = judge.judge(number, page, owner, tree, was_reached);
    if (judged == Judged::Unused) continue;
    if (was_reached) {
      // A branch page of a walk.
      if (judged == Judged::Failed && tree >= 0) {
        trees[static_cast<size_t>(tree)].bad_pages.push_back(number);
      }
      continue;
    }
    // A written page no walk reached: a leaf of a checked tree's object and
    // kind is the tree's orphan, a page of no catalog object is unowned.
    if (tree >= 0 && tree_leaf(flags)) {
      TreeCheck& t = trees[static_cast<size_t>(tree)];
      ((flags & kPageEmpty) != 0 ? t.freed : t.orphans).push_back(number);
    } else if (owners.known.find(owner) == owners.known.end()) {
      ++pages.unowned;
    }
  }
  judge.finish();
  for (TreeCheck& t : trees) std::sort(t.bad_pages.begin(), t.bad_pages.end());
  return report;
}

}  // namespace quarlet
