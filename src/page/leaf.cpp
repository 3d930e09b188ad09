// Decoding of leaf and branch entries from tag values.
#include "page/leaf.hpp"

#include <algorithm>
#include <cstdio>
#include <string>

namespace quarlet {

namespace {

std::string hex_flags(uint8_t flags) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "%x", flags);
  return buf;
}

uint16_t u16_stripped(ByteView v, size_t off, bool strip_byte1) {
  uint8_t lo = v[off];
  uint8_t hi = v[off + 1];
  if (strip_byte1 && off + 1 == 1) hi &= 0x1F;
  return static_cast<uint16_t>(lo | (hi << 8));
}

// Common prefix of both entry kinds: sizes and the local key.
struct KeyPart {
  std::optional<uint16_t> common;
  uint16_t declared = 0;  // declared local key size (15 bits)
  ByteView key;
  size_t end = 0;  // offset just past the key
};

KeyPart decode_key(uint8_t flags, ByteView v, bool strip_byte1) {
  KeyPart k;
  size_t p = 0;
  if (flags & 0x4) {
    k.common = u16_stripped(v, 0, strip_byte1);
    p = 2;
  }
  k.declared = u16_stripped(v, p, strip_byte1) & 0x7FFF;
  const size_t s = p + 2;
  const size_t n = v.size();
  const size_t take = s >= n ? 0 : std::min<size_t>(k.declared, n - s);
  k.key = v.subspan(std::min(s, n), take);
  k.end = std::min(s, n) + take;
  return k;
}

// "<Kind> entry too short: got N bytes, need at least M (flags: 0xF)".
EseError too_short(const char* kind, size_t n, size_t minimum, uint8_t flags) {
  return EseError::parse(std::string(kind) + " entry too short: got " + std::to_string(n) +
                         " bytes, need at least " + std::to_string(minimum) + " (flags: 0x" +
                         hex_flags(flags) + ")");
}

}  // namespace

Result<LeafEntry> decode_leaf_entry(uint8_t flags, ByteView v, bool strip_byte1) {
  const size_t n = v.size();
  const size_t minimum = (flags & 0x4) ? 4 : 2;
  if (n < minimum) return too_short("Leaf", n, minimum, flags);
  KeyPart k = decode_key(flags, v, strip_byte1);
  LeafEntry e;
  e.common_key_size = k.common;
  e.key = k.key;
  e.local_key_size = static_cast<uint16_t>(k.key.size());
  e.data = v.subspan(k.end);
  e.tag_flags = flags;
  return e;
}

size_t full_key(ByteView prefix, bool prefix_strip, const LeafEntry& entry, uint8_t* out,
                size_t limit) {
  const size_t common =
      entry.common_key_size ? std::min<size_t>(*entry.common_key_size, prefix.size()) : 0;
  const size_t length = common + entry.key.size();
  const size_t take = std::min(length, limit);
  for (size_t j = 0; j < take; ++j) {
    uint8_t b = j < common ? prefix[j] : entry.key[j - common];
    if (j == 1 && j < common && prefix_strip) b &= 0x1F;
    out[j] = b;
  }
  return length;
}

TagSpan key_prefix(const TagReader& reader) {
  if (reader.count == 0) return TagSpan{};
  auto tag0 = get_tag_span(reader, 0);
  return tag0.ok() ? *tag0 : TagSpan{};
}

void full_key(const TagReader& reader, const LeafEntry& entry, std::vector<uint8_t>& out) {
  const TagSpan prefix = key_prefix(reader);
  out.resize(prefix.value.size() + entry.key.size());
  out.resize(full_key(prefix.value, prefix.strip_byte1, entry, out.data(), out.size()));
}

Result<BranchEntry> decode_branch_entry(uint8_t flags, ByteView v, uint32_t max_child_page,
                                        bool strip_byte1) {
  const size_t n = v.size();
  const size_t minimum = (flags & 0x4) ? 8 : 6;
  if (n < minimum) return too_short("Branch", n, minimum, flags);
  KeyPart k = decode_key(flags, v, strip_byte1);
  const size_t c = k.end;
  if (n < c + 4) {
    return EseError::parse("Branch entry too short for child page number: got " +
                           std::to_string(n) + " bytes, offset " + std::to_string(c) +
                           ", need 4 more (likely metadata tag)");
  }
  const uint32_t child = load_u32le(v.data() + c);
  if (child == 0 || child > max_child_page) {
    return EseError::parse("Branch entry has invalid child page number: " +
                           std::to_string(child) + " (likely corrupted data)");
  }
  BranchEntry e;
  e.key = k.key;
  e.child_page = child;
  e.common_key_size = k.common;
  e.local_key_size = k.declared;
  return e;
}

}  // namespace quarlet
