// Fuzz target for the decoded-view helpers: every decompressor, multi-value
// splitting, compressed long-value chunks and OLE dates on arbitrary bytes.
//
// Input: byte 0 = flags byte for the multi-value split, bytes 1..2 = a
// declared size (u16), the rest = data. Checks the contracts beyond "no
// crash": on success the output has exactly the declared size; on failure the
// output is empty; split elements lie inside the payload and follow each other.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "decode/compression.hpp"
#include "decode/long_value_chunks.hpp"
#include "decode/multivalue.hpp"
#include "decode/ole_date.hpp"
#include "fuzz_common.hpp"

using namespace quarlet;
using quarlet::fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  const uint8_t flags = data[0];
  const uint32_t declared = load_u16le(data + 1);
  const ByteView rest(data + 3, size - 3);
  const ByteView whole(data, size);
  std::vector<uint8_t> out;

  const bool x = xpress_decompress(rest, declared, out);
  check(x ? out.size() == declared : out.empty());
  const bool l = lz4_decompress(rest, declared, out);
  check(l ? out.size() == declared : out.empty());

  for (bool unicode : {false, true}) {
    const bool ok = decode_7bit(rest, unicode, out);
    check(ok == !rest.empty());
    if (ok && rest.size() > 1) check(out.size() <= (rest.size() - 1) * 8 / 7 * (unicode ? 2 : 1) + 2);
  }

  // The whole input as a compressed value (header byte first).
  const DecompressStatus status = decompress_value(whole, out);
  if (status != DecompressStatus::Ok) check(out.empty());

  // Multi-value split: views must tile the payload's data area in order.
  if (auto elements = split_multivalue(flags, rest)) {
    check(!elements->empty());
    const uint8_t* previous_end = nullptr;
    for (const MultiValueElement& e : *elements) {
      check(e.bytes.data() >= rest.data() && e.bytes.data() + e.bytes.size() <= rest.data() + rest.size());
      if (previous_end != nullptr) check(e.bytes.data() == previous_end);
      previous_end = e.bytes.data() + e.bytes.size();
      if (e.compressed) decompress_value(e.bytes, out);
    }
    check(previous_end == rest.data() + rest.size());
  }

  // Long value: cut the data into chunks at offsets taken from the flags byte.
  {
    std::vector<LongValueChunk> chunks;
    const size_t step = (flags & 0x3F) + 3;
    uint32_t logical = 0;
    for (size_t pos = 0; pos < rest.size(); pos += step) {
      const size_t n = rest.size() - pos < step ? rest.size() - pos : step;
      chunks.emplace_back(logical, rest.subspan(pos, n));
      logical += static_cast<uint32_t>(n) + ((flags & 0x40) ? declared % 97 : 0);
    }
    const uint32_t total = (flags & 0x80) ? declared : logical;
    const LongValueDecode lv = decompress_long_value(chunks, total, out);
    check(lv == LongValueDecode::Decompressed ? out.size() == total : out.empty());
  }

  // OLE date from the first 8 data bytes.
  if (rest.size() >= 8) {
    double days;
    std::memcpy(&days, rest.data(), sizeof days);
    if (auto parts = ole_date_to_utc(days)) {
      check(parts->year >= 1601 && parts->year <= 9999);
      check(parts->month >= 1 && parts->month <= 12 && parts->day >= 1 && parts->day <= 31);
      check(parts->hour < 24 && parts->minute < 60 && parts->second < 60);
      check(parts->microsecond < 1000000);
    }
  }
  return 0;
}
