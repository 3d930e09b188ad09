// Small in-memory database image builder for the C++ unit tests: a header
// page, its copy, and pages with tag arrays in either layout.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "database/database.hpp"

namespace quarlet::test {

using Bytes = std::vector<uint8_t>;

inline void put16(Bytes& b, size_t off, uint16_t v) {
  b[off] = static_cast<uint8_t>(v);
  b[off + 1] = static_cast<uint8_t>(v >> 8);
}
inline void put32(Bytes& b, size_t off, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[off + i] = static_cast<uint8_t>(v >> (8 * i));
}
inline Bytes le16(uint16_t v) { return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8)}; }
inline Bytes le32(uint32_t v) {
  return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
          static_cast<uint8_t>(v >> 24)};
}
inline Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}
inline Bytes str(const std::string& s) { return Bytes(s.begin(), s.end()); }

struct TestTag {
  uint8_t flags = 0;
  Bytes value;
};

// Leaf entry value: [common key size if flags & 4] local key size, key, data.
inline Bytes leaf_value(const Bytes& key, const Bytes& data, std::optional<uint16_t> common = {}) {
  Bytes v;
  if (common) v = le16(*common);
  Bytes k = le16(static_cast<uint16_t>(key.size()));
  v.insert(v.end(), k.begin(), k.end());
  v.insert(v.end(), key.begin(), key.end());
  v.insert(v.end(), data.begin(), data.end());
  return v;
}
inline Bytes branch_value(const Bytes& key, uint32_t child) {
  return cat({le16(static_cast<uint16_t>(key.size())), key, le32(child)});
}

class Image {
 public:
  // A file of `pages` numbered pages (0..pages-1) plus the header page.
  Image(uint32_t page_size, uint32_t pages, uint32_t version = 0x620, uint32_t revision = 20)
      : page_size_(page_size), version_(version), revision_(revision),
        bytes_(static_cast<size_t>(page_size) * (pages + 1), 0) {
    put32(bytes_, 4, kSignature);
    put32(bytes_, 8, version);
    put32(bytes_, 232, revision);
    put32(bytes_, 236, page_size);
    if (pages > 0) std::memcpy(bytes_.data() + page_size, bytes_.data(), page_size);
  }

  bool large() const { return is_large_layout(version_, revision_, page_size_); }
  uint32_t header_size() const {
    return header_format(version_, revision_) == PageHeaderFormat::Extended && page_size_ > 8192
               ? 80 : 40;
  }
  size_t page_offset(uint32_t n) const { return static_cast<size_t>(n + 1) * page_size_; }

  // Writes page n: header fields and the tags' values packed after the header.
  void set_page(uint32_t n, uint32_t flags, const std::vector<TestTag>& tags,
                uint32_t next_page = 0, uint32_t prev_page = 0) {
    const size_t base = page_offset(n);
    std::fill(bytes_.begin() + base, bytes_.begin() + base + page_size_, 0);
    put32(bytes_, base + 16, prev_page);
    put32(bytes_, base + 20, next_page);
    put32(bytes_, base + 36, flags);
    put16(bytes_, base + 34, static_cast<uint16_t>(tags.size()));
    const uint32_t h = header_size();
    uint32_t off = 0;
    for (size_t i = 0; i < tags.size(); ++i) {
      Bytes v = tags[i].value;
      uint16_t w0 = static_cast<uint16_t>(v.size());
      uint16_t w1 = static_cast<uint16_t>(off);
      if (large()) {
        if (v.size() >= 2) v[1] = static_cast<uint8_t>((v[1] & 0x1F) | (tags[i].flags << 5));
      } else {
        w1 = static_cast<uint16_t>(w1 | (tags[i].flags << 13));
      }
      if (!v.empty()) std::memcpy(bytes_.data() + base + h + off, v.data(), v.size());
      const size_t slot = base + page_size_ - 4 * (i + 1);
      put16(bytes_, slot, w0);
      put16(bytes_, slot + 2, w1);
      off += static_cast<uint32_t>(v.size());
    }
    const uint32_t used = h + off + 4 * static_cast<uint32_t>(tags.size());
    put16(bytes_, base + 28, static_cast<uint16_t>(page_size_ - used));
  }

  Bytes& bytes() { return bytes_; }
  Result<std::unique_ptr<Database>> open() const { return Database::open_bytes(bytes_); }

 private:
  uint32_t page_size_, version_, revision_;
  Bytes bytes_;
};

}  // namespace quarlet::test
