// Decompression of compressed column values: 7-bit packing, XPRESS plain
// LZ77 and LZ4 blocks, each bounded by its declared output size.
#include "decode/compression.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

namespace quarlet {
namespace {

constexpr size_t kNoHalfByte = static_cast<size_t>(-1);

// Copies `len` bytes that start `offset` bytes back from dst[0] to dst[0..len).
// The ranges may overlap (offset < len repeats the last `offset` bytes); the
// caller has checked that offset <= bytes already written and that len fits.
inline void copy_match(uint8_t* dst, size_t offset, size_t len) {
  const uint8_t* src = dst - offset;
  if (offset >= len) {
    std::memcpy(dst, src, len);
  } else if (offset == 1) {
    std::memset(dst, src[0], len);
  } else if (len < 32) {
    for (size_t i = 0; i < len; ++i) dst[i] = src[i];
  } else {
    // The output repeats src[0, offset). Copy from src each time, doubling
    // the amount: [src, dst + done) always holds whole periods, and the
    // source range ends at or before the destination.
    size_t done = 0;
    while (done < len) {
      const size_t chunk = std::min(done + offset, len - done);
      std::memcpy(dst + done, src, chunk);
      done += chunk;
    }
  }
}

// Unpacks `count` 7-bit characters, LSB-first, from src[0, len) into dst,
// two bytes each when Unicode. The caller sized dst and guarantees
// count * 7 <= 8 * len.
template <bool kUnicode>
void unpack_7bit(const uint8_t* src, size_t len, size_t count, uint8_t* dst) {
  size_t produced = 0;
  size_t i = 0;
  // Whole groups: 7 bytes hold exactly 8 characters. The 8-byte load stays
  // inside the input (len - i >= 8); its last byte is not used.
  while (count - produced >= 8 && len - i >= 8) {
    const uint64_t group = load_u64le(src + i);
    for (int k = 0; k < 8; ++k) {
      const uint8_t c = static_cast<uint8_t>((group >> (7 * k)) & 0x7F);
      if constexpr (kUnicode) {
        dst[2 * (produced + k)] = c;
        dst[2 * (produced + k) + 1] = 0;
      } else {
        dst[produced + k] = c;
      }
    }
    i += 7;
    produced += 8;
  }
  uint32_t acc = 0;  // bits not yet emitted, lowest first
  int held = 0;      // number of valid bits in acc (at most 14)
  for (; i < len && produced < count; ++i) {
    acc |= static_cast<uint32_t>(src[i]) << held;
    held += 8;
    while (held >= 7 && produced < count) {
      const uint8_t c = static_cast<uint8_t>(acc & 0x7F);
      acc >>= 7;
      held -= 7;
      if constexpr (kUnicode) {
        dst[2 * produced] = c;
        dst[2 * produced + 1] = 0;
      } else {
        dst[produced] = c;
      }
      ++produced;
    }
  }
}

// Appends the 7-bit decoding of `payload` (header byte included) to `out`.
// Returns false only for an empty payload; `out` is then unchanged.
bool append_7bit(ByteView payload, bool unicode, std::vector<uint8_t>& out) {
  if (payload.empty()) return false;
  const size_t data_len = payload.size() - 1;
  if (data_len == 0) return true;
  const uint64_t bits = 8 * static_cast<uint64_t>(data_len - 1) + (payload[0] & 7) + 1;
  const size_t count = static_cast<size_t>(bits / 7);
  const size_t base = out.size();
  out.resize(base + (unicode ? 2 * count : count));
  if (unicode) {
    unpack_7bit<true>(payload.data() + 1, data_len, count, out.data() + base);
  } else {
    unpack_7bit<false>(payload.data() + 1, data_len, count, out.data() + base);
  }
  return true;
}

// Appends the XPRESS plain LZ77 decoding of `in` to `out`; exactly `size`
// bytes must come out. On failure `out` is restored to its previous size.
// Reads stay inside `in`; writes stay inside the `size` bytes reserved.
bool append_xpress(ByteView in, uint32_t size, std::vector<uint8_t>& out) {
  const size_t base = out.size();
  out.resize(base + size);
  uint8_t* dst = out.data() + base;
  const uint8_t* src = in.data();
  const size_t n = in.size();
  size_t ip = 0;  // next input byte
  size_t op = 0;  // bytes written so far
  uint32_t flags = 0;
  int nflags = 0;              // flag bits left in `flags`, consumed from the top
  size_t half = kNoHalfByte;   // input position of a length nibble byte whose
                               // high nibble is still unused
  bool ended = false;
  for (;;) {
    if (nflags == 0) {
      if (n - ip < 4) {
        ended = true;
        break;
      }
      flags = load_u32le(src + ip);
      ip += 4;
      nflags = 32;
    }
    // A run of 0 bits from the top of the remaining flags is a run of
    // literals, copied at once.
    const uint32_t pending = flags << (32 - nflags);  // nflags is 1..32 here
    const size_t run = pending == 0 ? static_cast<size_t>(nflags)
                                    : static_cast<size_t>(std::countl_zero(pending));
    if (run > 0) {
      const size_t take = run < n - ip ? run : n - ip;
      if (take > size - op) break;  // literals present beyond the declared size
      if (take != 0) std::memcpy(dst + op, src + ip, take);
      op += take;
      ip += take;
      nflags -= static_cast<int>(take);
      if (take < run) {  // input ended inside the run
        ended = true;
        break;
      }
      continue;
    }
    --nflags;  // a match
    if (ip >= n) {  // the encoder pads the last flag word with 1 bits
      ended = true;
      break;
    }
    if (n - ip < 2) break;
    const uint32_t word = load_u16le(src + ip);
    ip += 2;
    const size_t offset = (word >> 3) + 1;
    uint64_t len = word & 7;
    if (len == 7) {
      if (half == kNoHalfByte) {
        if (ip >= n) break;
        len = src[ip] & 0x0F;
        half = ip;
        ++ip;
      } else {
        len = src[half] >> 4;
        half = kNoHalfByte;
      }
      if (len == 15) {
        if (ip >= n) break;
        len = src[ip++];
        if (len == 255) {
          if (n - ip < 2) break;
          len = load_u16le(src + ip);
          ip += 2;
          if (len == 0) {
            if (n - ip < 4) break;
            len = load_u32le(src + ip);
            ip += 4;
          }
          if (len < 22) break;  // a long form must not encode a short match
          len -= 22;            // the long forms hold the full length minus 3
        }
        len += 15;
      }
      len += 7;
    }
    len += 3;
    if (offset > op) break;         // reference before the start
    if (len > size - op) break;     // would exceed the declared size
    copy_match(dst + op, offset, static_cast<size_t>(len));
    op += static_cast<size_t>(len);
  }
  if (ended && op == size) return true;
  out.resize(base);
  return false;
}

// Reads an LZ4 length extension: adds bytes from in[*ip..] while each is 255,
// the final non-255 byte included. Returns false when the input ends first.
inline bool read_lz4_extension(const uint8_t* src, size_t n, size_t* ip, uint64_t* len) {
  for (;;) {
    if (*ip >= n) return false;
    const uint8_t b = src[(*ip)++];
    *len += b;
    if (b != 255) return true;
  }
}

// Appends the LZ4 block decoding of `in` to `out`; exactly `size` bytes must
// come out. On failure `out` is restored to its previous size.
bool append_lz4(ByteView in, uint32_t size, std::vector<uint8_t>& out) {
  const size_t base = out.size();
  out.resize(base + size);
  uint8_t* dst = out.data() + base;
  const uint8_t* src = in.data();
  const size_t n = in.size();
  size_t ip = 0;
  size_t op = 0;
  bool ended = false;
  for (;;) {
    if (ip >= n) {  // end of block after a match (or an empty block)
      ended = true;
      break;
    }
    const uint8_t token = src[ip++];
    uint64_t literals = token >> 4;
    if (literals == 15 && !read_lz4_extension(src, n, &ip, &literals)) break;
    if (literals > n - ip || literals > size - op) break;
    if (literals != 0) std::memcpy(dst + op, src + ip, static_cast<size_t>(literals));
    ip += static_cast<size_t>(literals);
    op += static_cast<size_t>(literals);
    if (ip >= n) {  // the last sequence holds literals only
      ended = true;
      break;
    }
    if (n - ip < 2) break;
    const size_t offset = load_u16le(src + ip);
    ip += 2;
    if (offset == 0 || offset > op) break;
    uint64_t len = token & 0x0F;
    if (len == 15 && !read_lz4_extension(src, n, &ip, &len)) break;
    len += 4;
    if (len > size - op) break;
    copy_match(dst + op, offset, static_cast<size_t>(len));
    op += static_cast<size_t>(len);
  }
  if (ended && op == size) return true;
  out.resize(base);
  return false;
}

}  // namespace

DecompressStatus decompress_value_append(ByteView payload, std::vector<uint8_t>& out) {
  if (payload.empty()) return DecompressStatus::Damaged;
  switch (compression_scheme(payload[0])) {
    case kScheme7BitAscii:
      append_7bit(payload, false, out);
      return DecompressStatus::Ok;
    case kScheme7BitUnicode:
      append_7bit(payload, true, out);
      return DecompressStatus::Ok;
    case kSchemeXpress:
    case kSchemeLz4: {
      if (payload.size() < 3) return DecompressStatus::Damaged;
      const uint32_t size = load_u16le(payload.data() + 1);
      const ByteView body = payload.subspan(3);
      const bool ok = compression_scheme(payload[0]) == kSchemeXpress
                          ? append_xpress(body, size, out)
                          : append_lz4(body, size, out);
      return ok ? DecompressStatus::Ok : DecompressStatus::Damaged;
    }
    default:  // 0 is not a header; scrub, XPRESS9/10 and above are not decoded
      return DecompressStatus::UnknownScheme;
  }
}

DecompressStatus decompress_value(ByteView payload, std::vector<uint8_t>& out) {
  out.clear();
  return decompress_value_append(payload, out);
}

bool decode_7bit(ByteView payload, bool unicode, std::vector<uint8_t>& out) {
  out.clear();
  return append_7bit(payload, unicode, out);
}

bool xpress_decompress(ByteView stream, uint32_t size, std::vector<uint8_t>& out) {
  out.clear();
  return append_xpress(stream, size, out);
}

bool lz4_decompress(ByteView block, uint32_t size, std::vector<uint8_t>& out) {
  out.clear();
  return append_lz4(block, size, out);
}

}  // namespace quarlet
