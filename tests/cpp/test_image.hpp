// Small in-memory database image builder for the C++ unit tests: a header
// page, its copy, and pages with tag arrays in either layout.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <set>
#include <utility>
#include <vector>

#include "database/database.hpp"
#include "page/checksum.hpp"

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
    written_.insert(n);
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

  // The owner id a page carries (page header offset 24).
  void set_owner(uint32_t n, uint32_t owner) { put32(bytes_, page_offset(n) + 24, owner); }
  // Page n keeps checksum fields that do not match its bytes (a torn write).
  void tear(uint32_t n) { torn_.insert(n); }

  Bytes& bytes() { return bytes_; }
  // Opens a copy in which every page written with set_page, but the torn
  // ones, carries the checksums its bytes give, as pages written by the
  // engine do. Pages made byte by byte are left as they are.
  Result<std::unique_ptr<Database>> open() const {
    Bytes copy = bytes_;
    const uint32_t pages = static_cast<uint32_t>(copy.size() / page_size_) - 1;
    for (uint32_t n = 1; n < pages; ++n) {
      if (torn_.count(n) != 0 || written_.count(n) == 0) continue;
      sign(copy, n);
    }
    return Database::open_bytes(std::move(copy));
  }

 private:
  void sign(Bytes& b, uint32_t n) const {
    const size_t base = page_offset(n);
    const ByteView page(b.data() + base, page_size_);
    if (std::all_of(page.begin(), page.end(), [](uint8_t x) { return x == 0; })) return;
    if (header_size() == 80) {
      const size_t block = page_size_ / 4;
      for (size_t k = 1; k < 4; ++k) {
        put32(b, base + 40 + 8 * (k - 1), xor32(page.subspan(k * block, block), n));
      }
      put32(b, base, xor32(page.subspan(8, block - 8), n));
    } else {
      put32(b, base, xor32(page.subspan(8), n));
    }
  }

  uint32_t page_size_, version_, revision_;
  Bytes bytes_;
  std::set<uint32_t> torn_;
  std::set<uint32_t> written_;
};

}  // namespace quarlet::test
