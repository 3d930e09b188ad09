// Decoded-view helpers: decompression schemes, multi-value splitting,
// compressed long-value chunks and OLE dates. Round trips use small reference
// encoders defined here.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "decode/compression.hpp"
#include "decode/long_value_chunks.hpp"
#include "decode/multivalue.hpp"
#include "decode/ole_date.hpp"

namespace quarlet {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes str(const std::string& s) { return Bytes(s.begin(), s.end()); }
Bytes utf16(const std::string& s) {
  Bytes out;
  for (char c : s) {
    out.push_back(static_cast<uint8_t>(c));
    out.push_back(0);
  }
  return out;
}
Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}
Bytes le16(uint32_t v) { return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8)}; }
Bytes le32(uint32_t v) {
  return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
          static_cast<uint8_t>(v >> 24)};
}

// ---- reference encoders ----------------------------------------------------

// 7-bit packing: header (scheme << 3 | bits in last byte - 1), then the
// characters LSB-first.
Bytes encode_7bit(const std::string& text, bool unicode) {
  Bytes data;
  uint32_t acc = 0;
  int held = 0;
  for (char c : text) {
    acc |= static_cast<uint32_t>(c & 0x7F) << held;
    held += 7;
    while (held >= 8) {
      data.push_back(static_cast<uint8_t>(acc));
      acc >>= 8;
      held -= 8;
    }
  }
  int last_bits = 8;
  if (held > 0) {
    data.push_back(static_cast<uint8_t>(acc));
    last_bits = held;
  }
  const uint8_t header = static_cast<uint8_t>(((unicode ? 2 : 1) << 3) | (last_bits - 1));
  return cat({{header}, data});
}

// Longest match for in[i..] among earlier positions up to `window` back,
// through a hash chain of 3-byte prefixes.
struct MatchFinder {
  const Bytes& in;
  size_t window;
  std::vector<int64_t> head = std::vector<int64_t>(1 << 12, -1);
  std::vector<int64_t> prev;

  MatchFinder(const Bytes& data, size_t w) : in(data), window(w), prev(data.size(), -1) {}
  static size_t hash(const uint8_t* p) { return ((p[0] << 8) ^ (p[1] << 4) ^ p[2]) & 0xFFF; }
  void insert(size_t i) {
    if (i + 3 > in.size()) return;
    const size_t h = hash(&in[i]);
    prev[i] = head[h];
    head[h] = static_cast<int64_t>(i);
  }
  std::pair<size_t, size_t> find(size_t i, size_t min_len) const {  // (offset, length)
    size_t best_len = 0, best_off = 0;
    if (i + 3 > in.size()) return {0, 0};
    int64_t j = head[hash(&in[i])];
    for (int depth = 0; j >= 0 && depth < 48; ++depth, j = prev[static_cast<size_t>(j)]) {
      const size_t off = i - static_cast<size_t>(j);
      if (off > window) break;
      size_t len = 0;
      while (i + len < in.size() && in[static_cast<size_t>(j) + len] == in[i + len]) ++len;
      if (len > best_len) best_len = len, best_off = off;
    }
    if (best_len < min_len) return {0, 0};
    return {best_off, best_len};
  }
};

// XPRESS plain LZ77: 32-bit flag words (MSB first, written before the items
// they describe), literals, and matches with the shared-nibble length scheme.
Bytes encode_xpress(const Bytes& in) {
  Bytes out(4);
  size_t flag_pos = 0;
  uint32_t flags = 0;
  int nflags = 0;
  size_t half = SIZE_MAX;
  auto flag = [&](uint32_t bit) {
    if (nflags == 32) {
      std::copy_n(le32(flags).begin(), 4, out.begin() + static_cast<long>(flag_pos));
      flag_pos = out.size();
      out.resize(out.size() + 4);
      flags = 0;
      nflags = 0;
    }
    flags = (flags << 1) | bit;
    ++nflags;
  };
  MatchFinder finder(in, 8192);
  for (size_t i = 0; i < in.size();) {
    auto [off, len] = finder.find(i, 3);
    if (len == 0) {
      flag(0);
      out.push_back(in[i]);
      finder.insert(i++);
      continue;
    }
    flag(1);
    size_t l = len - 3;
    const uint32_t word = static_cast<uint32_t>((off - 1) << 3) | static_cast<uint32_t>(std::min<size_t>(l, 7));
    Bytes w = le16(word);
    out.insert(out.end(), w.begin(), w.end());
    if (l >= 7) {
      l -= 7;
      const uint8_t nibble = static_cast<uint8_t>(std::min<size_t>(l, 15));
      if (half == SIZE_MAX) {
        half = out.size();
        out.push_back(nibble);
      } else {
        out[half] |= static_cast<uint8_t>(nibble << 4);
        half = SIZE_MAX;
      }
      if (l >= 15) {
        l -= 15;
        if (l < 255) {
          out.push_back(static_cast<uint8_t>(l));
        } else {
          out.push_back(255);
          Bytes full = le16(static_cast<uint32_t>(len - 3));
          out.insert(out.end(), full.begin(), full.end());
        }
      }
    }
    for (size_t k = 0; k < len; ++k) finder.insert(i + k);
    i += len;
  }
  const uint32_t pad = nflags == 32 ? 0 : (nflags == 0 ? 0xFFFFFFFFu : (1u << (32 - nflags)) - 1);
  flags = nflags == 0 ? pad : (flags << (32 - nflags)) | pad;
  std::copy_n(le32(flags).begin(), 4, out.begin() + static_cast<long>(flag_pos));
  return out;
}

void lz4_length(Bytes& out, size_t extra) {  // extension bytes after a nibble of 15
  while (extra >= 255) {
    out.push_back(255);
    extra -= 255;
  }
  out.push_back(static_cast<uint8_t>(extra));
}

// LZ4 block: sequences of literals and (offset, length >= 4) matches; the
// last sequence holds literals only.
Bytes encode_lz4(const Bytes& in) {
  Bytes out;
  MatchFinder finder(in, 65535);
  size_t anchor = 0;
  auto sequence = [&](size_t lit_end, size_t off, size_t len) {
    const size_t lits = lit_end - anchor;
    const size_t m = len >= 4 ? len - 4 : 0;
    out.push_back(static_cast<uint8_t>((std::min<size_t>(lits, 15) << 4) | std::min<size_t>(m, 15)));
    if (lits >= 15) lz4_length(out, lits - 15);
    out.insert(out.end(), in.begin() + static_cast<long>(anchor), in.begin() + static_cast<long>(lit_end));
    if (len == 0) return;
    Bytes o = le16(static_cast<uint32_t>(off));
    out.insert(out.end(), o.begin(), o.end());
    if (m >= 15) lz4_length(out, m - 15);
  };
  for (size_t i = 0; i < in.size();) {
    auto [off, len] = finder.find(i, 4);
    if (len == 0) {
      finder.insert(i++);
      continue;
    }
    sequence(i, off, len);
    for (size_t k = 0; k < len; ++k) finder.insert(i + k);
    i += len;
    anchor = i;
  }
  sequence(in.size(), 0, 0);
  return out;
}

// Random data with repeats near and far, runs, and noise.
Bytes random_data(std::mt19937& rng, size_t size) {
  Bytes out;
  std::uniform_int_distribution<int> kind(0, 9);
  while (out.size() < size) {
    const int k = kind(rng);
    if (k < 3 || out.size() < 8) {
      const size_t n = rng() % 40 + 1;
      const uint8_t alphabet = k == 0 ? 255 : 6;
      for (size_t i = 0; i < n; ++i) out.push_back(static_cast<uint8_t>('a' + rng() % alphabet));
    } else if (k < 8) {
      const size_t back = rng() % std::min<size_t>(out.size(), k == 7 ? 60000 : 300) + 1;
      const size_t len = rng() % (k == 6 ? 600 : 30) + 1;
      const size_t from = out.size() - back;
      for (size_t i = 0; i < len; ++i) out.push_back(out[from + i]);
    } else {
      out.insert(out.end(), rng() % 400 + 1, static_cast<uint8_t>(rng()));
    }
  }
  out.resize(size);
  return out;
}

Bytes with_header(uint8_t header, size_t size, const Bytes& body) {
  return cat({{header}, le16(static_cast<uint32_t>(size)), body});
}

// abc repeated 100 times, as a plain LZ77 stream: three literals, then one
// match of 297 bytes at offset 3 using the nibble, byte and u16 length forms.
const Bytes kAbcStream = {0xFF, 0xFF, 0xFF, 0x1F, 'a', 'b', 'c', 0x17, 0x00, 0x0F, 0xFF, 0x26, 0x01};

Bytes abc_times(size_t n) {
  Bytes out;
  for (size_t i = 0; i < n; ++i) out.insert(out.end(), {'a', 'b', 'c'});
  return out;
}

// ---- 7-bit -----------------------------------------------------------------

TEST(DecodeSevenBit, UnicodeExampleWithOneBitInLastByte) {
  Bytes out;
  ASSERT_EQ(decompress_value(Bytes{0x10, 0x70, 0xF9, 0xFB, 0x2C, 0x0F, 0xB7, 0x01}, out),
            DecompressStatus::Ok);
  EXPECT_EQ(out, utf16("program"));  // 7 characters, not 8 from the byte count
}

TEST(DecodeSevenBit, RoundTripsEveryLength) {
  std::mt19937 rng(7);
  for (bool unicode : {false, true}) {
    for (size_t n = 0; n <= 40; ++n) {
      std::string text;
      for (size_t i = 0; i < n; ++i) text.push_back(static_cast<char>(rng() % 128));
      const Bytes packed = encode_7bit(text, unicode);
      Bytes out;
      ASSERT_EQ(decompress_value(packed, out), DecompressStatus::Ok) << n;
      EXPECT_EQ(out, unicode ? utf16(text) : str(text)) << "n=" << n << " unicode=" << unicode;
    }
  }
}

TEST(DecodeSevenBit, HeaderAloneIsEmptyAndNoPayloadFails) {
  Bytes out{1, 2};
  EXPECT_TRUE(decode_7bit(Bytes{0x0F}, false, out));
  EXPECT_TRUE(out.empty());
  out = {1};
  EXPECT_FALSE(decode_7bit(Bytes{}, true, out));
  EXPECT_TRUE(out.empty());
}

// ---- XPRESS ----------------------------------------------------------------

TEST(DecodeXpress, DecodesAllLengthForms) {
  Bytes out;
  ASSERT_TRUE(xpress_decompress(kAbcStream, 300, out));
  EXPECT_EQ(out, abc_times(100));

  // u16 length 0 selects a u32 length (full length - 3): 'a' then 300 more.
  const Bytes long_form = cat({le32(0x7FFFFFFF), {'a', 0x07, 0x00, 0x0F, 0xFF, 0x00, 0x00}, le32(297)});
  ASSERT_TRUE(xpress_decompress(long_form, 301, out));
  EXPECT_EQ(out, Bytes(301, 'a'));

  // Two extended lengths share one nibble byte: low nibble first, high second.
  // "ab", match off 2 len 10 (nibble 0), match off 2 len 12 (nibble 2).
  const Bytes shared = cat({le32(0x3FFFFFFF), {'a', 'b', 0x0F, 0x00, 0x20, 0x0F, 0x00}});
  ASSERT_TRUE(xpress_decompress(shared, 24, out));
  Bytes expected;
  for (int i = 0; i < 12; ++i) expected.insert(expected.end(), {'a', 'b'});
  EXPECT_EQ(out, expected);
}

// Random data of up to 64 KiB encoded by `encode` decodes back exactly, both
// through `decode` and through decompress_value behind `header`.
void check_round_trips(uint32_t seed, uint8_t header, Bytes (*encode)(const Bytes&),
                       bool (*decode)(ByteView, uint32_t, std::vector<uint8_t>&)) {
  std::mt19937 rng(seed);
  for (int iter = 0; iter < 120; ++iter) {
    const size_t size = iter < 100 ? rng() % 3000 : rng() % 65536;
    const Bytes data = random_data(rng, size);
    const Bytes encoded = encode(data);
    Bytes out;
    ASSERT_TRUE(decode(encoded, static_cast<uint32_t>(size), out)) << iter;
    ASSERT_EQ(out, data) << iter;
    ASSERT_EQ(decompress_value(with_header(header, size, encoded), out), DecompressStatus::Ok);
    ASSERT_EQ(out, data);
  }
}

TEST(DecodeXpress, RandomRoundTrips) { check_round_trips(3, 0x18, encode_xpress, xpress_decompress); }

TEST(DecodeXpress, DamagedStreamsFail) {
  struct Case {
    const char* what;
    Bytes stream;
    uint32_t size;
  };
  const Case cases[] = {
      {"declared size one short", kAbcStream, 299},
      {"declared size one long", kAbcStream, 301},
      {"reference before start", cat({le32(0x7FFFFFFF), {'a', 0x08, 0x00}}), 4},
      {"match as first item", cat({le32(0xFFFFFFFF), {0x00, 0x00}}), 3},
      {"match word cut", cat({le32(0x7FFFFFFF), {'a', 0x00}}), 4},
      {"nibble byte missing", cat({le32(0x7FFFFFFF), {'a', 0x07, 0x00}}), 11},
      {"long form under 22", cat({le32(0x7FFFFFFF), {'a', 0x07, 0x00, 0x0F, 0xFF, 0x15, 0x00}}), 25},
      {"u32 length cut", cat({le32(0x7FFFFFFF), {'a', 0x07, 0x00, 0x0F, 0xFF, 0x00, 0x00, 0x01}}), 40},
      {"length far past the end", cat({le32(0x7FFFFFFF), {'a', 0x07, 0x00, 0x0F, 0xFF, 0x00, 0x00}, le32(0xFFFFFFFF)}), 65535},
      {"literals beyond size", cat({le32(0x0FFFFFFF), {'a', 'b', 'c', 'd'}}), 3},
      {"empty stream, size 5", {}, 5},
  };
  for (const Case& c : cases) {
    Bytes out{9};
    EXPECT_FALSE(xpress_decompress(c.stream, c.size, out)) << c.what;
    EXPECT_TRUE(out.empty()) << c.what;
  }
  Bytes out;
  EXPECT_TRUE(xpress_decompress(Bytes{}, 0, out));
  EXPECT_TRUE(xpress_decompress(le32(0xFFFFFFFF), 0, out));
}

TEST(DecodeXpress, EveryTruncationFails) {
  std::mt19937 rng(11);
  const Bytes data = random_data(rng, 900);
  const Bytes stream = encode_xpress(data);
  Bytes out;
  for (size_t cut = 0; cut < stream.size(); ++cut) {
    EXPECT_FALSE(xpress_decompress(ByteView(stream).first(cut), 900, out)) << cut;
  }
}

// ---- LZ4 -------------------------------------------------------------------

TEST(DecodeLz4, DecodesBlocksEndingInLiteralsOrMatch) {
  // 3 literals "abc", match offset 3 length 6, then a final literal "!".
  const Bytes block = {0x32, 'a', 'b', 'c', 0x03, 0x00, 0x10, '!'};
  Bytes out;
  ASSERT_TRUE(lz4_decompress(block, 10, out));
  EXPECT_EQ(out, str("abcabcabc!"));
  ASSERT_TRUE(lz4_decompress(ByteView(block).first(6), 9, out));
  EXPECT_EQ(out, str("abcabcabc"));
  // Extended literal count (15 + 255 + 2) and match length (4 + 15 + 255 + 0).
  Bytes lits(272, 'x');
  const Bytes extended = cat({{0xFF, 0xFF, 0x02}, lits, {0x01, 0x00, 0xFF, 0x00}});
  ASSERT_TRUE(lz4_decompress(extended, 272 + 274, out));
  EXPECT_EQ(out, Bytes(546, 'x'));
  // Overlapping matches repeat their period: "abc" + 100 bytes at offset 3,
  // "ab" + 12 bytes at offset 2.
  ASSERT_TRUE(lz4_decompress(Bytes{0x3F, 'a', 'b', 'c', 0x03, 0x00, 81}, 103, out));
  Bytes expected = abc_times(35);
  expected.resize(103);
  EXPECT_EQ(out, expected);
  ASSERT_TRUE(lz4_decompress(Bytes{0x28, 'a', 'b', 0x02, 0x00}, 14, out));
  EXPECT_EQ(out, str("abababababab" "ab"));
}

TEST(DecodeLz4, RandomRoundTrips) { check_round_trips(5, 0x38, encode_lz4, lz4_decompress); }

TEST(DecodeLz4, DamagedBlocksFail) {
  struct Case {
    const char* what;
    Bytes block;
    uint32_t size;
  };
  const Case cases[] = {
      {"offset zero", {0x10, 'a', 0x00, 0x00}, 5},
      {"reference before start", {0x10, 'a', 0x02, 0x00}, 5},
      {"offset cut", {0x10, 'a', 0x01}, 5},
      {"literal count past input", {0x50, 'a', 'b'}, 5},
      {"literal extension cut", {0xF0, 0xFF}, 300},
      {"match extension cut", {0x1F, 'a', 0x01, 0x00, 0xFF}, 300},
      {"match beyond size", {0x1F, 'a', 0x01, 0x00, 0x10}, 20},
      {"declared size too large", {0x30, 'a', 'b', 'c'}, 4},
      {"declared size too small", {0x30, 'a', 'b', 'c'}, 2},
      {"empty block, size 1", {}, 1},
  };
  for (const Case& c : cases) {
    Bytes out{9};
    EXPECT_FALSE(lz4_decompress(c.block, c.size, out)) << c.what;
    EXPECT_TRUE(out.empty()) << c.what;
  }
}

TEST(DecodeLz4, EveryTruncationFails) {
  std::mt19937 rng(13);
  const Bytes data = random_data(rng, 900);
  const Bytes block = encode_lz4(data);
  Bytes out;
  for (size_t cut = 0; cut < block.size(); ++cut) {
    // Only dropping an empty final literal sequence leaves a complete block.
    const bool complete = cut + 1 == block.size() && block.back() == 0x00;
    EXPECT_EQ(lz4_decompress(ByteView(block).first(cut), 900, out), complete) << cut;
  }
}

// ---- scheme dispatch -------------------------------------------------------

TEST(DecodeValue, SchemeSelection) {
  const std::pair<Bytes, DecompressStatus> cases[] = {
      {{}, DecompressStatus::Damaged},
      {{0x00, 0x41}, DecompressStatus::UnknownScheme},
      {{0x07, 0x41}, DecompressStatus::UnknownScheme},
      {{0x20, 0x00, 0x00}, DecompressStatus::UnknownScheme},  // scrub
      {{0x28, 0x01, 0x00, 0x00}, DecompressStatus::UnknownScheme},
      {{0x30, 0x01, 0x00, 0x00}, DecompressStatus::UnknownScheme},
      {{0x40, 0x00}, DecompressStatus::UnknownScheme},
      {{0xFF}, DecompressStatus::UnknownScheme},
      {{0x18, 0x00}, DecompressStatus::Damaged},  // size cut
      {{0x38}, DecompressStatus::Damaged},
      {{0x18, 0x00, 0x00}, DecompressStatus::Ok},  // empty XPRESS value
      {cat({{0x18}, le16(300), kAbcStream}), DecompressStatus::Ok},
      {cat({{0x18}, le16(301), kAbcStream}), DecompressStatus::Damaged},
  };
  for (const auto& [payload, status] : cases) {
    Bytes out{1, 2, 3};
    EXPECT_EQ(decompress_value(payload, out), status) << payload.size();
    if (status != DecompressStatus::Ok) {
      EXPECT_TRUE(out.empty());
    }
  }
}

TEST(DecodeValue, AppendKeepsPrefixAndRestoresOnFailure) {
  Bytes out = str("xy");
  EXPECT_EQ(decompress_value_append(cat({{0x18}, le16(301), kAbcStream}), out), DecompressStatus::Damaged);
  EXPECT_EQ(out, str("xy"));
  EXPECT_EQ(decompress_value_append(encode_7bit("ok", false), out), DecompressStatus::Ok);
  EXPECT_EQ(out, str("xyok"));
}

// ---- multi-values ----------------------------------------------------------

std::vector<Bytes> element_bytes(const std::vector<MultiValueElement>& elements) {
  std::vector<Bytes> out;
  for (const auto& e : elements) out.emplace_back(e.bytes.begin(), e.bytes.end());
  return out;
}

TEST(DecodeMultiValue, OffsetArrayAndTwoValueForms) {
  const struct {
    uint8_t flags;
    Bytes payload;
    std::vector<Bytes> elements;
  } cases[] = {
      {0x08, {0x06, 0x00, 0x07, 0x00, 0x08, 0x00, 0x00, 0x7F, 0xFF}, {{0x00}, {0x7F}, {0xFF}}},
      {0x18, {0x01, 0x00, 0xFF}, {{0x00}, {0xFF}}},
      {0x18, {0x00, 0x01, 0x00}, {{}, {0x01, 0x00}}},
      {0x18, {0x02, 0x01, 0x00}, {{0x01, 0x00}, {}}},
      {0x08, {0x04, 0x00, 0x04, 0x00, 'z'}, {{}, {'z'}}},  // equal starts: empty element
      {0x09, {0x02, 0x00}, {{}}},                          // one element, empty
      {0x09, {0x02, 0x00, 'x', 'y'}, {{'x', 'y'}}},
  };
  for (const auto& c : cases) {
    const auto elements = split_multivalue(c.flags, c.payload);
    ASSERT_TRUE(elements) << int(c.flags);
    EXPECT_EQ(element_bytes(*elements), c.elements) << int(c.flags);
  }
}

TEST(DecodeMultiValue, SeparatedAndCompressedMarks) {
  const Bytes sep = cat({le16(0x8004), le16(0x8008), le32(0x11), le32(0x22)});
  auto elements = split_multivalue(0x09, sep);
  ASSERT_TRUE(elements);
  ASSERT_EQ(elements->size(), 2u);
  EXPECT_TRUE((*elements)[0].separated && (*elements)[1].separated);
  EXPECT_FALSE((*elements)[0].compressed);

  // With 0x02 only element 0 is compressed; a separated element 0 is not.
  const Bytes packed = encode_7bit("aaaa", false);
  const Bytes mixed = cat({le16(6), le16(static_cast<uint32_t>(6 + packed.size())),
                           le16(static_cast<uint32_t>(8 + packed.size())), packed, {'b', 'b'}, {'c'}});
  elements = split_multivalue(0x0B, mixed);
  ASSERT_TRUE(elements);
  ASSERT_EQ(elements->size(), 3u);
  EXPECT_TRUE((*elements)[0].compressed);
  EXPECT_FALSE((*elements)[1].compressed || (*elements)[2].compressed);
  Bytes out;
  ASSERT_EQ(decompress_value((*elements)[0].bytes, out), DecompressStatus::Ok);
  EXPECT_EQ(out, str("aaaa"));
  elements = split_multivalue(0x0B, sep);
  ASSERT_TRUE(elements);
  EXPECT_FALSE((*elements)[0].compressed);
}

TEST(DecodeMultiValue, InconsistentStructureIsRejected) {
  const std::pair<uint8_t, Bytes> cases[] = {
      {0x01, {0x02, 0x00, 'a'}},                    // not multi-valued
      {0x10, {0x01, 0x00, 0xFF}},                   // two-value bit alone
      {0x08, {}},                                   // empty
      {0x08, {0x02}},                               // half a word
      {0x08, {0x00, 0x00, 'a'}},                    // N = 0
      {0x08, {0x03, 0x00, 'a', 'b'}},               // odd first start
      {0x08, {0x06, 0x00, 0x06, 0x00}},             // array past the payload
      {0x08, {0x04, 0x00, 0x09, 0x00, 'a'}},        // start past the payload
      {0x08, {0x06, 0x00, 0x08, 0x00, 0x07, 0x00, 'a', 'b'}},  // decreasing starts
      {0x08, {0x04, 0x00, 0x03, 0x00, 'a'}},        // start inside the array
      {0x18, {}},                                   // two-value, empty
      {0x18, {0x03, 'a', 'b'}},                     // element 0 past the end
  };
  for (const auto& [flags, payload] : cases) {
    EXPECT_FALSE(split_multivalue(flags, payload)) << int(flags) << " size " << payload.size();
  }
}

// ---- compressed long values ------------------------------------------------

TEST(DecodeLongValue, DetectsCompressedChunksByLength) {
  const Bytes abc = cat({{0x18}, le16(300), kAbcStream});
  Bytes out;
  std::vector<LongValueChunk> one = {{0, abc}};
  ASSERT_EQ(decompress_long_value(one, 300, out), LongValueDecode::Decompressed);
  EXPECT_EQ(out, abc_times(100));

  // A plain chunk followed by a compressed one; the last plain chunk is cut.
  const Bytes head = str("0123456789");
  std::vector<LongValueChunk> mixed = {{0, head}, {10, abc}};
  ASSERT_EQ(decompress_long_value(mixed, 310, out), LongValueDecode::Decompressed);
  EXPECT_EQ(out, cat({head, abc_times(100)}));
  std::vector<LongValueChunk> tail = {{0, abc}, {300, head}};
  ASSERT_EQ(decompress_long_value(tail, 305, out), LongValueDecode::Decompressed);
  EXPECT_EQ(out, cat({abc_times(100), str("01234")}));

  std::vector<LongValueChunk> plain = {{0, head}, {10, head}};
  EXPECT_EQ(decompress_long_value(plain, 20, out), LongValueDecode::NotCompressed);
  EXPECT_EQ(decompress_long_value(plain, 15, out), LongValueDecode::NotCompressed);
  EXPECT_EQ(decompress_long_value({}, 20, out), LongValueDecode::NotCompressed);
  EXPECT_TRUE(out.empty());
}

TEST(DecodeLongValue, InconsistentChunksAreDamaged) {
  const Bytes abc = cat({{0x18}, le16(300), kAbcStream});
  const Bytes head = str("0123456789");
  const Bytes unknown = {0x28, 0x2C, 0x01, 0, 0};
  const std::pair<std::vector<LongValueChunk>, uint32_t> cases[] = {
      {{{0, abc}}, 301},                 // decodes shorter than the total
      {{{0, abc}, {200, head}}, 210},    // decodes longer than its span
      {{{5, abc}}, 305},                 // first chunk not at 0
      {{{0, head}, {0, abc}}, 310},      // repeated offset
      {{{0, str("0123456789ABC")}, {10, abc}}, 310},  // plain chunk runs into the next
      {{{0, unknown}}, 300},             // unknown scheme
      {{{0, head}, {20, head}}, 30},     // gap: the first chunk is short of its span
  };
  for (const auto& [chunks, total] : cases) {
    Bytes out{1};
    EXPECT_EQ(decompress_long_value(chunks, total, out), LongValueDecode::Damaged) << total;
    EXPECT_TRUE(out.empty());
  }
}

// ---- OLE dates -------------------------------------------------------------

TEST(DecodeOleDate, ConvertsDaysSinceEpoch) {
  struct Case {
    double days;
    DateTimeParts parts;
  };
  const Case cases[] = {
      {0.0, {1899, 12, 30, 0, 0, 0, 0}},
      {1.5, {1899, 12, 31, 12, 0, 0, 0}},
      {-1.25, {1899, 12, 29, 6, 0, 0, 0}},
      {-0.5, {1899, 12, 30, 12, 0, 0, 0}},
      {2.0, {1900, 1, 1, 0, 0, 0, 0}},
      {36526.0, {2000, 1, 1, 0, 0, 0, 0}},
      {60.0 + 0.0, {1900, 2, 28, 0, 0, 0, 0}},  // no 1900-02-29 in this calendar
      {1.0 + 3661.000001 / 86400.0, {1899, 12, 31, 1, 1, 1, 1}},
      {1.0 - 1e-12, {1899, 12, 31, 0, 0, 0, 0}},  // rounds up to midnight
      {-109205.0, {1601, 1, 1, 0, 0, 0, 0}},
      {-109205.75, {1601, 1, 1, 18, 0, 0, 0}},
      {2958465.0, {9999, 12, 31, 0, 0, 0, 0}},
      {2958465.5, {9999, 12, 31, 12, 0, 0, 0}},
  };
  for (const Case& c : cases) {
    const auto parts = ole_date_to_utc(c.days);
    ASSERT_TRUE(parts) << c.days;
    EXPECT_EQ(*parts, c.parts) << c.days;
  }
}

TEST(DecodeOleDate, RejectsOutOfRangeAndNonFinite) {
  const double cases[] = {-109206.0, 2958466.0, 2958465.9999999999, 1e300, -1e300,
                          std::numeric_limits<double>::quiet_NaN(),
                          std::numeric_limits<double>::infinity(),
                          -std::numeric_limits<double>::infinity()};
  for (double d : cases) EXPECT_FALSE(ole_date_to_utc(d)) << d;
}

}  // namespace
}  // namespace quarlet
