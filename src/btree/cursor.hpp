// The B-tree cursor: every entry of one tree, once, in key order, and nothing
// from outside the tree.
//
// A tree is the root page and every page below it that carries the root's
// owner id (page header offset 24) and is of the tree's kind. The cursor
// first walks the branch pages (depth first, children in tag order, each page
// once) to list the tree's leaves in key order, then reads those leaves in
// that order. Next-page links are not trusted for order: on a file copied
// from a running system they can be stale and lead into another object's
// pages or skip leaves. They matter in one case: a leaf of the tree that no
// branch page lists but that a link from one of the tree's leaves reaches is
// read right after that leaf, keeping only entries whose keys lie between
// the last key read and the first key of the next listed leaf (the rest is a
// stale copy of data the tree holds elsewhere).
//
// A branch entry that yields no page of the tree (its tag runs past the page,
// it is too short to hold a child page number, its child is 0 or past the
// file) keeps its place in the order as a leaf that cannot be read. Such a
// leaf ends the pass with the entry's error, unless the previous leaf's link
// led to an unlisted leaf of the tree that stands in for it. The error
// sticks: valid() is false from then on and status() keeps it. A branch
// entry whose child is a page of another object or kind is skipped: that
// page is not the tree's.
//
// On a page that fails its checksum, an entry of a record tree whose record
// header is impossible is garbage (a torn write), not a record: it is
// skipped and counted. Entries on sound pages are returned whatever they hold.
//
// Counting a tree (the integrity report): a cursor with filter Any, a
// TreeStats and a PageSet `reached` shared by all trees of the file, run to
// its end (start(); while valid() next();), fills every count; owned leaves
// that no walk reached are then those in the PageMap (btree/page_map.hpp)
// carrying the tree's owner() and the leaf flag, and absent from `reached`.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "btree/page_set.hpp"
#include "source/page_source.hpp"
#include "error/error.hpp"
#include "page/leaf.hpp"
#include "page/tag.hpp"

namespace quarlet {

// What the tree's leaves hold; decides which pages are of the tree's kind.
enum class TreeKind : uint8_t {
  Records,    // table data trees and the catalog: leaves without index,
              // long-value or space-tree flags, whose entries are records
  LongValue,  // long-value trees
  Index,      // secondary indexes
};

// Which leaf entries the cursor returns (by tag flag 0x2, deleted).
enum class EntryFilter : uint8_t { Live, Deleted, Any };

// A branch entry that yields no page of the tree, and why.
struct BranchFault {
  uint32_t page = 0;    // the branch page
  uint16_t tag = 0;     // the entry's tag on it
  std::string message;  // the entry's error (message() of an EseError)
};

// A page and the owner id it carries.
struct PageOwner {
  uint32_t page = 0;
  uint32_t owner = 0;
};

// A leaf and the next-page link it carries.
struct PageLink {
  uint32_t page = 0;
  uint32_t next = 0;
};

// What one pass saw of the tree, for the integrity report.
struct TreeStats {
  uint64_t branch_pages = 0;   // branch pages of the tree walked, root included
  uint64_t leaf_pages = 0;     // leaf pages read (listed and link-reached)
  uint64_t leaf_entries = 0;   // entries decoded on those leaves (tag 0 aside)
  uint64_t live = 0;           // live entries (records, for record trees)
  uint64_t deleted = 0;        // deleted-flagged entries
  uint64_t rejected = 0;       // impossible records on pages failing their checksum
  uint64_t stale = 0;          // entries of link-reached leaves outside their key range
  std::vector<PageOwner> foreign;       // listed or linked pages of another object or kind
  std::vector<PageLink> link_mismatch;  // leaves whose next link is not the next listed leaf
  std::vector<uint32_t> unlisted;       // leaves read that only a next-page link reached
  std::vector<uint32_t> unreadable;     // listed pages that cannot be read
  std::vector<BranchFault> branch_faults;  // branch entries that yield no page
};

struct CursorOptions {
  TreeKind kind = TreeKind::Records;
  EntryFilter filter = EntryFilter::Live;
  bool include_tag0 = false;      // also return tag 0 of leaf pages and follow
                                  // tag 0 of branch pages (the catalog walk)
  bool skip_past_file = false;    // a branch entry that yields no page is
                                  // skipped (still counted in the stats)
                                  // instead of ending the pass where it
                                  // stands (the catalog walk)
  TreeStats* stats = nullptr;     // filled during the pass when set
  PageSet* reached = nullptr;     // every page of the tree read is inserted
};

class TreeCursor {
 public:
  TreeCursor(const PageSource& source, uint32_t root, CursorOptions options = {});

  // Walks the branch pages and moves to the first entry. An unreadable root
  // fails here (root_failed()); every later error comes from next().
  void start();
  bool valid() const { return valid_; }
  // Moves to the next entry; at the end or on an error valid() turns false.
  void next();
  // Ok at the end of a sound pass; otherwise the error that ended it.
  const Status& status() const { return status_; }
  bool root_failed() const { return root_failed_; }
  // Leaves the branch pages list (after start()): the size of the pass, as
  // far as it is known before reading it.
  size_t listed_leaves() const { return listed_.size(); }
  // Where the pass stands in the listed leaves: the index of the next one
  // to read, and the page of listed leaf i (0 for none or one past the file).
  size_t listed_position() const { return next_listed_; }
  uint32_t listed_page(size_t i) const {
    return i < listed_.size() && listed_[i].readable ? listed_[i].page : 0;
  }

  // The current entry (valid() must be true): views into the mapping, valid
  // while the database lives.
  const LeafEntry& entry() const { return entry_; }
  const Page& page() const { return page_; }
  uint16_t tag() const { return tag_; }
  uint32_t owner() const { return owner_; }
  // The current entry's full key (see full_key in page/leaf.hpp): at most
  // `limit` bytes written, the full length returned.
  size_t key(uint8_t* out, size_t limit) const;

  // Moves page by page instead of entry by entry: the next leaf page of the
  // pass (listed or link-reached), or false at the end or on an error. Used
  // by walks that attribute pages without reading entries; do not mix with
  // next() on one cursor. start_pages() replaces start().
  void start_pages();
  bool next_page();

 private:
  struct Listed {
    uint32_t page;    // the child page (0 when the entry gives none)
    bool readable;    // a page of the file; else `fault` says why not
    uint32_t fault;   // 1 + index in faults_ of the entry's error; 0 none
  };

  bool leaf_of_tree(const Page& page) const;
  void list_leaves();
  bool list_leaf(const Page& page);
  void list_below(const Page& branch, std::vector<Listed>& out);
  void list_fault(const Page& branch, uint16_t tag, uint32_t child, EseError error,
                  std::vector<Listed>& out);
  bool enter_next_leaf();
  bool follow_link();
  void set_page(const Page& page, bool unlisted);
  bool accept(const LeafEntry& entry, uint16_t i);
  bool next_listed_entry();
  bool in_key_range(const LeafEntry& entry);
  bool page_is_sound();
  void fail(EseError error);
  bool load_entry_key(uint32_t page, uint16_t tag, std::vector<uint8_t>& out) const;
  bool first_key_after(size_t index, std::vector<uint8_t>& out);

  const PageSource* source_;
  uint32_t root_;
  CursorOptions opt_;
  TreeStats scratch_stats_;          // used when the caller wants none
  TreeStats& stats() { return opt_.stats != nullptr ? *opt_.stats : scratch_stats_; }

  Status status_;
  bool valid_ = false;
  bool root_failed_ = false;
  bool ended_ = false;               // the last listed leaf has been left
  uint32_t owner_ = 0;               // the root page's owner id

  std::vector<Listed> listed_;       // the tree's leaves in branch order (checked
                                     // when entered: the tree's, or skipped)
  std::vector<EseError> faults_;     // errors of branch entries that yield no page
  PageSet seen_;                     // pages listed by the branch pages, or read
  size_t next_listed_ = 0;           // index in listed_ of the next leaf to read
  bool has_last_listed_ = false;     // last_listed_ is a readable listed leaf
  uint32_t last_listed_ = 0;         // the listed leaf read last
  uint32_t last_listed_next_ = 0;    // its next-page link
  bool bypass_ = false;              // an unlisted leaf was read after last_listed_
  bool on_unlisted_ = false;         // the current page only a link reached

  bool page_loaded_ = false;         // page_ is a leaf being read
  Page page_;
  TagReader reader_;
  LeafTags tags_;                    // reader_'s tags, decoded as leaf entries
  uint16_t next_tag_ = 0;
  uint16_t tag_ = 0;
  LeafEntry entry_;
  int sound_ = -1;                   // checksum verdict of page_: -1 unknown, 0 bad, 1 sound

  // Key range of link-reached leaves: above `lower_`, below `upper_`.
  bool has_lower_ = false;
  bool has_upper_ = false;
  std::vector<uint8_t> lower_;
  std::vector<uint8_t> upper_;
  std::vector<uint8_t> key_buf_;
  uint32_t last_entry_page_ = 0;     // where the last entry read in order lies
  uint16_t last_entry_tag_ = 0;
  // First key at or after a listed leaf, kept between searches.
  bool upper_known_ = false;
  bool upper_found_ = false;
  size_t upper_index_ = 0;
  std::vector<uint8_t> upper_cache_;
};

}  // namespace quarlet
