// A set of page numbers as a bitmap over 0..total_pages: one bit a page,
// constant-time insert and lookup. Numbers outside the range are never
// members and cannot be inserted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace quarlet {

class PageSet {
 public:
  PageSet() = default;
  explicit PageSet(uint32_t total_pages) { reset(total_pages); }

  // Empties the set and sizes it for pages 0..total_pages.
  void reset(uint32_t total_pages) {
    limit_ = static_cast<uint64_t>(total_pages) + 1;
    bits_.assign(static_cast<size_t>((limit_ + 63) / 64), 0);
  }
  bool contains(uint32_t n) const {
    return n < limit_ && ((bits_[n >> 6] >> (n & 63)) & 1) != 0;
  }
  // Inserts n; false when it was already there or is out of range.
  bool insert(uint32_t n) {
    if (n >= limit_) return false;
    uint64_t& word = bits_[n >> 6];
    const uint64_t bit = uint64_t{1} << (n & 63);
    if ((word & bit) != 0) return false;
    word |= bit;
    return true;
  }

 private:
  uint64_t limit_ = 0;         // one past the largest member allowed
  std::vector<uint64_t> bits_;
};

}  // namespace quarlet
