// B-tree walks: the whole-tree walk (catalog), the leftmost descent with a
// leaf cursor (table records) and the leaf-level scan of long-value trees.
//
// All walks are iterative and bounded on damaged links: a page met twice in
// one walk is not entered again, so cycles of child or next-page links end.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "database/database.hpp"
#include "error/error.hpp"
#include "page/leaf.hpp"
#include "page/tag.hpp"

namespace quarlet {

// Called with every accepted leaf entry, depth first in key order. The entry's
// views are valid only during the call. An error ends the walk.
using LeafVisitor = std::function<Status(const LeafEntry&)>;

// Visits every live leaf entry of the tree below `root` (tag 0 included;
// deleted entries, tag flag 0x2, skipped). An unreadable page ends the walk
// with its error.
Status walk_tree(const Database& db, uint32_t root, const LeafVisitor& visitor);

// Descends from `root` along the first branch entry (tag 1) of each level to
// the leftmost leaf page. A page met twice on the way down is a Parse error
// ("Cycle in tree at page N").
Result<Page> first_leaf(const Database& db, uint32_t root);

// Steps through the live leaf entries of a leaf level, following next-page
// links; ends at next page 0 or at a page already visited in this pass.
class LeafCursor {
 public:
  LeafCursor(const Database& db, Page page);
  // The next entry, nullopt at the end, or the error of an unreadable next
  // page (the cursor stays where it was). The entry's views point into the
  // mapping: valid at least until the next call (in fact while `db` lives).
  Result<std::optional<LeafEntry>> next();

 private:
  const Database* db_;
  Page page_;
  TagReader reader_;
  uint16_t next_tag_ = 1;
  bool ended_ = false;
  std::unordered_set<uint32_t> visited_;  // pages entered through next links
};

// One chunk of a long value: its offset in the value and its bytes.
using LongValueChunk = std::pair<uint32_t, ByteView>;

// Chunks of one long value found by a leaf scan.
struct LongValueChunks {
  std::vector<LongValueChunk> chunks;  // in scan order
  std::optional<uint32_t> total_size;  // from the root entry
};

// The chunks of `found` in offset order (stable): its own list when that is
// already in order (the usual scan order), else a sorted copy in `storage`.
std::span<const LongValueChunk> chunks_by_offset(const LongValueChunks& found,
                                                 std::vector<LongValueChunk>& storage);
// Length of the joined value: the chunks' bytes, cut to the total size when
// that is smaller (offsets order the chunks; they do not place them).
uint64_t joined_size(const LongValueChunks& found);
// Appends the chunks' bytes in the given order until `size` bytes are in `out`.
void join_chunks(std::span<const LongValueChunk> chunks, uint64_t size, std::vector<uint8_t>& out);

// Index of every long value in one long-value tree, built by one scan of its
// leaf level per id width (4 or 8 bytes), made on the first lookup of that
// width: most trees are only ever asked for 4-byte ids. Answers each id
// exactly as a fresh scan from the leftmost leaf would: an entry counts for
// its id only when no earlier key of the same id width was greater. One
// index serves one thread; `db` must outlive it.
class LongValueIndex {
 public:
  // Descends to the leftmost leaf of the tree rooted at `root`. When the
  // descent fails (unreadable root or child page) descent_failed() is true.
  static LongValueIndex build(const Database& db, uint32_t root);

  bool descent_failed() const { return descent_failed_; }
  // Chunks of a value by its reference id; `width` is 4 or 8 bytes. Null when
  // no entry counts for the id: the value is then empty, like one whose
  // entry holds no chunks. Chunk views point into the mapping.
  const LongValueChunks* find(uint64_t id, int width) const;

 private:
  // Files every live leaf entry under its id of `width` bytes.
  void scan(int width) const;

  const Database* db_ = nullptr;
  uint32_t first_leaf_ = 0;  // where the leaf-level scan starts
  bool descent_failed_ = false;
  mutable bool scanned32_ = false;
  mutable bool scanned64_ = false;
  mutable std::unordered_map<uint64_t, LongValueChunks> ids32_;
  mutable std::unordered_map<uint64_t, LongValueChunks> ids64_;
};

}  // namespace quarlet
