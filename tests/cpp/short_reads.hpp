// A stream over bytes in memory, as a SpillFile reads a file object: served
// in reads of at most 1000 bytes, one at a time, failing from byte
// `fail_from` on. Shared by the unit tests and the fuzz targets.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <mutex>
#include <vector>

#include "source/spill_file.hpp"

namespace quarlet::test {

class ShortReads final : public ChunkReader {
 public:
  explicit ShortReads(std::vector<uint8_t> bytes, uint64_t fail_from = UINT64_MAX)
      : bytes_(std::move(bytes)), fail_from_(fail_from) {}
  Status exclusive(const std::function<Status()>& fill) override {
    std::lock_guard<std::mutex> lock(busy_);
    return fill();
  }
  Result<size_t> read_at(uint64_t offset, uint8_t* out, size_t length) override {
    if (offset >= fail_from_) return EseError::io_text("device gone");
    if (offset >= bytes_.size()) return size_t{0};
    const size_t n = std::min({length, static_cast<size_t>(bytes_.size() - offset), size_t{1000}});
    std::memcpy(out, bytes_.data() + offset, n);
    return n;
  }

 private:
  std::vector<uint8_t> bytes_;
  uint64_t fail_from_;
  std::mutex busy_;
};

}  // namespace quarlet::test
