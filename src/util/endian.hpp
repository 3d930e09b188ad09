// Little- and big-endian integer reads from byte views. Every read assembles
// its bytes one at a time, so no alignment or aliasing assumption is made;
// callers check bounds first.
#pragma once

#include <cstdint>
#include <span>

namespace quarlet {

using ByteView = std::span<const uint8_t>;

inline uint16_t load_u16le(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

inline uint32_t load_u32le(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

inline uint64_t load_u64le(const uint8_t* p) {
  return static_cast<uint64_t>(load_u32le(p)) |
         (static_cast<uint64_t>(load_u32le(p + 4)) << 32);
}

inline uint32_t load_u32be(const uint8_t* p) {
  return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
         (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}

inline uint64_t load_u64be(const uint8_t* p) {
  return (static_cast<uint64_t>(load_u32be(p)) << 32) | load_u32be(p + 4);
}

// Bounds-checked form: returns 0 when [off, off + width) is not inside v.
inline uint16_t u16_at(ByteView v, uint64_t off) {
  return off + 2 <= v.size() ? load_u16le(v.data() + off) : 0;
}

}  // namespace quarlet
