// Splitting of multi-valued tagged column values (offset-array and two-value
// forms) into element views, with every start checked against the payload.
#include "decode/multivalue.hpp"

namespace quarlet {
namespace {

constexpr uint16_t kSeparatedBit = 0x8000;
constexpr uint16_t kStartMask = 0x7FFF;

// The two-value form: one size byte, element 0, then element 1 to the end.
std::optional<std::vector<MultiValueElement>> split_two_values(ByteView p) {
  if (p.empty()) return std::nullopt;
  const size_t first = p[0];
  if (1 + first > p.size()) return std::nullopt;
  std::vector<MultiValueElement> elements(2);
  elements[0].bytes = p.subspan(1, first);
  elements[1].bytes = p.subspan(1 + first);
  return elements;
}

// The offset-array form; see the header for the consistency rules.
std::optional<std::vector<MultiValueElement>> split_offset_array(ByteView p) {
  if (p.size() < 2) return std::nullopt;
  const size_t array_end = load_u16le(p.data()) & kStartMask;
  if (array_end == 0 || array_end % 2 != 0 || array_end > p.size()) return std::nullopt;
  const size_t count = array_end / 2;
  std::vector<MultiValueElement> elements(count);
  size_t start = array_end;
  for (size_t i = 0; i < count; ++i) {
    const uint16_t word = load_u16le(p.data() + 2 * i);
    const size_t next_word_start =
        i + 1 < count ? (load_u16le(p.data() + 2 * (i + 1)) & kStartMask) : p.size();
    // word 0's start is array_end by construction; later starts were checked
    // as next_word_start in the previous round.
    if (next_word_start < start || next_word_start > p.size()) return std::nullopt;
    elements[i].bytes = p.subspan(start, next_word_start - start);
    elements[i].separated = (word & kSeparatedBit) != 0;
    start = next_word_start;
  }
  return elements;
}

}  // namespace

std::optional<std::vector<MultiValueElement>> split_multivalue(uint8_t flags, ByteView payload) {
  if ((flags & kTaggedMultiValue) == 0) return std::nullopt;
  auto elements = (flags & kTaggedTwoValues) != 0 ? split_two_values(payload)
                                                  : split_offset_array(payload);
  if (elements && (flags & kTaggedCompressed) != 0 && !(*elements)[0].separated) {
    (*elements)[0].compressed = true;
  }
  return elements;
}

}  // namespace quarlet
