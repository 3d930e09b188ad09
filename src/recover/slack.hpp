// Old records in the free bytes of a page.
//
// The free bytes of a page are those of its data area (from the end of the
// header to the start of the tag array) that no tag's value covers: the
// bytes between the last value and the tag array, and holes between values.
// A node whose tag the engine removed stays there until the page is
// reorganised: [u16 key size][key][record], one after another.
//
// The scan looks at every offset of a free region for a record header that
// fits the table (recover/record_check.hpp). A record without tagged data
// ends where its variable data ends. One with tagged data has no length of
// its own: it runs to the next credible node found after its last tagged
// value starts, or to the end of the region, less a trailing run of zeros
// (unwritten space) long enough that no value holds it. A record of fixed
// columns only must follow a node's key-size field, its header being its
// only check otherwise. Records never overlap: a candidate inside an
// accepted record is not one.
#pragma once

#include <cstdint>
#include <vector>

#include "page/tag.hpp"
#include "recover/record_check.hpp"
#include "util/endian.hpp"

namespace quarlet {

// Bytes [begin, end) of a page.
struct ByteRange {
  uint32_t begin = 0;
  uint32_t end = 0;
};

// The free regions of the page read through `reader`, in offset order, into
// `out`; `spans` is working storage. Never reads past the page.
void free_regions(const TagReader& reader, std::vector<ByteRange>& spans,
                  std::vector<ByteRange>& out);

// A credible record found in free bytes: page bytes [begin, end).
struct SlackRecord {
  uint32_t begin = 0;
  uint32_t end = 0;
  bool node_key = false;  // a key-size field of a node leads to it
};

// Working storage of scan_region, reused from region to region.
struct SlackScratch {
  struct Candidate {
    uint32_t begin;     // record start
    uint32_t var_end;   // end of its variable data (tagged area start)
  };
  std::vector<Candidate> candidates;
};

// Appends the credible records of the free region `region` of `page` to
// `out`, in offset order. `max_common`: 0 when the page's nodes carry no
// common-key-size field, else the longest common key they can share (the
// length of the page's key prefix).
void scan_region(const RecordShape& shape, ByteView page, ByteRange region, uint32_t max_common,
                 SlackScratch& scratch, std::vector<SlackRecord>& out);

// The `max_common` of scan_region for the page read through `reader`: the
// length of its key prefix (tag 0) when one of its entries shares it; 255
// for a page left without entries.
uint32_t common_key_limit(const TagReader& reader);

}  // namespace quarlet
