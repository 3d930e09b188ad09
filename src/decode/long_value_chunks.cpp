// Decompression of long values from their chunks: detects compressed chunks
// by their stored length and joins the decoded chunks in offset order.
#include "decode/long_value_chunks.hpp"

#include <algorithm>

#include "decode/compression.hpp"

namespace quarlet {
namespace {

// The number of logical bytes chunk i supplies, or 0 when the chunks do not
// tile [0, total): chunk 0 not at 0, offsets not strictly increasing, or an
// offset at or past the total.
uint32_t chunk_span(std::span<const LongValueChunk> chunks, size_t i, uint32_t total) {
  const uint32_t start = chunks[i].first;
  const uint32_t end = i + 1 < chunks.size() ? chunks[i + 1].first : total;
  if (i == 0 && start != 0) return 0;
  if (start >= end || end > total) return 0;
  return end - start;
}

}  // namespace

LongValueDecode decompress_long_value(std::span<const LongValueChunk> chunks, uint32_t total_size,
                                      std::vector<uint8_t>& out) {
  out.clear();
  if (chunks.empty() || total_size == 0) return LongValueDecode::NotCompressed;

  // First pass: is any chunk compressed, and do the chunks tile the value?
  bool any_compressed = false;
  bool tiled = true;
  for (size_t i = 0; i < chunks.size(); ++i) {
    const uint32_t span = chunk_span(chunks, i, total_size);
    if (span == 0) {
      tiled = false;
      // Without a tiling the spans are unknown; judge by the total alone.
      if (chunks[i].second.size() < total_size - std::min(chunks[i].first, total_size)) {
        any_compressed = true;
      }
      continue;
    }
    if (chunks[i].second.size() < span) any_compressed = true;
  }
  if (!any_compressed) return LongValueDecode::NotCompressed;
  if (!tiled) return LongValueDecode::Damaged;

  for (size_t i = 0; i < chunks.size(); ++i) {
    const uint32_t span = chunk_span(chunks, i, total_size);
    const ByteView stored = chunks[i].second;
    const size_t before = out.size();
    if (stored.size() < span) {
      if (decompress_value_append(stored, out) != DecompressStatus::Ok ||
          out.size() - before != span) {
        out.clear();
        return LongValueDecode::Damaged;
      }
    } else {
      const bool last = i + 1 == chunks.size();
      if (stored.size() > span && !last) {  // runs into the next chunk
        out.clear();
        return LongValueDecode::Damaged;
      }
      out.insert(out.end(), stored.begin(), stored.begin() + span);
    }
  }
  return LongValueDecode::Decompressed;
}

}  // namespace quarlet
