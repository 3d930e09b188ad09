// Fuzz target for one page: the page header, the tag count, the tag slots
// through get_tag, get_tag_owned and get_tag_span, and each tag value decoded
// as a leaf and as a branch entry.
//
// Input: byte 0 selects the format (bits 0-2: version and revision), the page
// size (bits 3-5) and whether the page is cut or zero-padded to the page size
// (bit 7 clear) or taken as it is; byte 1 is the page count bound for child
// pages; the rest is the page. Checks that get_tag_span agrees with
// get_tag_owned and, in the small layout, with get_tag; that slots past the
// count fail; that entries lie inside their values.
#include <cstdint>
#include <optional>
#include <cstdlib>
#include <vector>

#include "page/leaf.hpp"
#include "page/tag.hpp"
#include "fuzz_common.hpp"

using namespace quarlet;
using quarlet::fuzz::check;

namespace {

bool inside(ByteView part, ByteView whole) {
  if (part.empty()) return true;
  return part.data() >= whole.data() && part.data() + part.size() <= whole.data() + whole.size();
}

void decode_both(uint8_t flags, ByteView value, bool strip, uint32_t max_child) {
  if (auto leaf = decode_leaf_entry(flags, value, strip)) {
    check(inside(leaf->key, value) && inside(leaf->data, value));
    check(leaf->common_key_size.has_value() == ((flags & 0x4) != 0));
    check(leaf->local_key_size == leaf->key.size());
  }
  if (auto branch = decode_branch_entry(flags, value, max_child, strip)) {
    check(inside(branch->key, value));
    check(branch->child_page >= 1 && branch->child_page <= max_child);
  }
}

struct Format {
  uint32_t version, revision;
};
constexpr Format kFormats[] = {{0x620, 20}, {0x620, 17}, {0x620, 12}, {0x620, 9}, {0x623, 0}};
constexpr uint32_t kPageSizes[] = {4096, 8192, 16384, 32768, 2048, 40, 79, 100};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const Format format = kFormats[(data[0] & 0x7) % 5];
  const uint32_t page_size = kPageSizes[(data[0] >> 3) & 0x7];
  const uint32_t max_child = data[1];
  // The page is exactly the rest of the input when bit 7 of byte 0 is set
  // (pages shorter or longer than the page size), else it is cut or
  // zero-padded to the page size.
  std::vector<uint8_t> page_bytes(data + 2, data + size);
  if (!(data[0] & 0x80)) page_bytes.resize(page_size, 0);
  const ByteView bytes(page_bytes.data(), page_bytes.size());

  (void)tag_count(bytes, page_size);
  auto page = parse_page(bytes, format.version, format.revision, page_size);
  if (!page) return 0;
  const TagReader reader(*page, format.version, format.revision, page_size);
  check(reader.count < 4096);
  // The first 64 tags, the last one, and two slots past the count (which
  // must fail, not read): enough for every slot shape without spending each
  // run on thousands of tags of a garbage page.
  std::vector<uint32_t> which;
  for (uint32_t i = 0; i < reader.count && i < 64; ++i) which.push_back(i);
  const uint32_t tail = reader.count > 64 ? reader.count - 1u : reader.count;
  for (uint32_t i = tail; i < reader.count + 2u; ++i) which.push_back(i);
  for (uint32_t i : which) {
    const uint16_t n = static_cast<uint16_t>(i);
    auto tag = get_tag(reader, n);
    auto owned = get_tag_owned(reader, n);
    auto span = get_tag_span(reader, n);
    check(owned.ok() == span.ok());
    if (i >= reader.count) check(!tag.ok() && !span.ok());
    if (tag) {
      check(inside(tag->value, bytes));
      decode_both(tag->flags, tag->value, false, max_child);
    }
    if (span) {
      check(inside(span->value, bytes));
      check(owned->value.size() == span->value.size() && owned->flags == span->flags);
      if (!reader.large) {
        check(tag.ok() && tag->value.data() == span->value.data());
      }
      decode_both(span->flags, span->value, span->strip_byte1, max_child);
      const ByteView copy(owned->value.data(), owned->value.size());
      decode_both(owned->flags, copy, false, max_child);
    }
    // The walks' one-step decoder agrees with the tag view and the entry
    // decoder it stands for.
    LeafEntry fast;
    const bool got = decode_leaf_tag(reader, n, fast);
    // The walks' look-ahead reads only slots inside the page.
    LeafTags(reader).prefetch(n);
    std::optional<LeafEntry> slow;
    if (span && !span->value.empty()) {
      if (auto e = decode_leaf_entry(span->flags, span->value, span->strip_byte1)) slow = *e;
    }
    check(got == slow.has_value());
    if (got) {
      check(fast.key.data() == slow->key.data() && fast.key.size() == slow->key.size());
      check(fast.data.data() == slow->data.data() && fast.data.size() == slow->data.size());
      check(fast.common_key_size == slow->common_key_size && fast.tag_flags == slow->tag_flags);
      check(fast.local_key_size == slow->local_key_size);
    }
  }
  return 0;
}
