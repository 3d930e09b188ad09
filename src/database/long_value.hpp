// Long values: the index of a long-value tree and the joining of its chunks.
//
// Long-value tree keys (big-endian): the value's id (4 or 8 bytes), then,
// for a chunk, its offset in the value (4 bytes); a key holding the id alone
// is the value's root entry, whose data bytes 4..8 (little-endian) give its
// total size.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <unordered_map>
#include <utility>
#include <vector>

#include "database/database.hpp"
#include "util/endian.hpp"

namespace quarlet {

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
// The same written to out[0, size): returns the bytes written, `size` when
// `size` is at most the chunks' bytes (as joined_size gives it).
size_t join_chunks_to(std::span<const LongValueChunk> chunks, uint64_t size, uint8_t* out);

// Index of every long value in one long-value tree, filled by one pass over
// its leaves per id width (4 or 8 bytes), started on the first lookup of
// that width: most trees are only ever asked for 4-byte ids. The pass goes
// only as far as a lookup needs (up to the first greater id), so a table
// read in key order reads each long value's pages once, just before it
// copies them: a file fetched on demand is then read once, not in two
// passes. Answers each id exactly as a scan of all the leaves in key order
// would: an entry counts for its id only when no earlier key of the same id
// width was greater. One index serves one thread; `db` must outlive it.
class LongValueIndex {
 public:
  LongValueIndex();
  ~LongValueIndex();
  LongValueIndex(LongValueIndex&&) noexcept;
  LongValueIndex& operator=(LongValueIndex&&) noexcept;

  // Checks that the tree rooted at `root` can be entered. When it cannot
  // (an unreadable root, or an unreadable first leaf), descent_failed() is
  // true and every reference to the tree stays as it is.
  static LongValueIndex build(const Database& db, uint32_t root);

  bool descent_failed() const { return descent_failed_; }
  // Chunks of a value by its reference id; `width` is 4 or 8 bytes. Null when
  // no entry counts for the id: the value is then empty, like one whose
  // entry holds no chunks. Chunk views point into the mapping.
  const LongValueChunks* find(uint64_t id, int width) const;

 private:
  // The pass of one id width, where it stands.
  struct Scan;

  const Database* db_ = nullptr;
  uint32_t root_ = 0;
  bool descent_failed_ = false;
  mutable std::unique_ptr<Scan> scan32_;
  mutable std::unique_ptr<Scan> scan64_;
  mutable std::unordered_map<uint64_t, LongValueChunks> ids32_;
  mutable std::unordered_map<uint64_t, LongValueChunks> ids64_;
};

}  // namespace quarlet
