// Page and header checksum verification (see checksum.hpp for the forms).
#include "page/checksum.hpp"

#include <algorithm>
#include <cstring>

namespace quarlet {

namespace {

constexpr uint32_t kHeaderSeed = 0x89ABCDEF;
constexpr size_t kHeaderCovered = 4096;

bool all_zero(ByteView bytes) {
  const uint8_t* p = bytes.data();
  size_t n = bytes.size();
  uint64_t acc = 0;
  for (; n >= 8; p += 8, n -= 8) {
    uint64_t w;
    std::memcpy(&w, p, 8);
    acc |= w;
    // Most pages are not zero: stop at the first non-zero block.
    if (acc != 0) return false;
  }
  for (; n > 0; ++p, --n) acc |= *p;
  return acc == 0;
}

}  // namespace

uint32_t xor32(ByteView bytes, uint32_t seed) {
  const uint8_t* p = bytes.data();
  size_t n = bytes.size() / 4 * 4;
  // Two 32-bit lanes per 64-bit word; folded at the end.
  uint64_t acc = 0;
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t w;
    std::memcpy(&w, p + i, 8);
    acc ^= w;
  }
  uint32_t x = seed ^ static_cast<uint32_t>(acc) ^ static_cast<uint32_t>(acc >> 32);
  if (i < n) x ^= load_u32le(p + i);
  return x;
}

PageChecksum check_page_checksum(ByteView page, uint32_t number, bool blocks) {
  PageChecksum out;
  if (all_zero(page)) {
    out.verdict = ChecksumVerdict::Unused;
    return out;
  }
  const size_t size = page.size();
  if (size < 8) {
    out.verdict = ChecksumVerdict::Bad;
    out.bad_blocks = 1;
    return out;
  }
  const uint32_t stored0 = load_u32le(page.data());
  if (!blocks || size < 64 || size % 4 != 0) {
    const bool ok = xor32(page.subspan(8), number) == stored0 ||
                    xor32(page.subspan(4), kHeaderSeed) == stored0;
    if (!ok) {
      out.verdict = ChecksumVerdict::Bad;
      out.bad_blocks = 1;
    }
    return out;
  }
  const size_t block = size / 4;
  if (xor32(page.subspan(8, block - 8), number) != stored0) out.bad_blocks |= 1;
  for (size_t k = 1; k < 4; ++k) {
    const uint32_t stored = load_u32le(page.data() + 40 + 8 * (k - 1));
    if (xor32(page.subspan(k * block, block), number) != stored) {
      out.bad_blocks |= static_cast<uint8_t>(1u << k);
    }
  }
  if (out.bad_blocks != 0) out.verdict = ChecksumVerdict::Bad;
  return out;
}

bool checksum_fields_blank(ByteView page, bool blocks) {
  if (page.size() < 8 || !all_zero(page.first(8))) return false;
  if (!blocks || page.size() < 64 || page.size() % 4 != 0) return true;
  return all_zero(page.subspan(40, 24));
}

HeaderChecksum header_checksum(ByteView header) {
  HeaderChecksum out;
  if (header.size() < 4) return out;
  out.stored = load_u32le(header.data());
  const size_t end = std::min(header.size(), kHeaderCovered);
  out.computed = xor32(header.subspan(4, end - 4), kHeaderSeed);
  return out;
}

}  // namespace quarlet
