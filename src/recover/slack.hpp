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
// its own: it ends where the page still says its node ended (the stale tag
// slot just below the live tag array gives a removed node's exact extent;
// the header's first free offset bounds what was written below it), else it
// runs to the next credible node found after its last tagged value starts,
// or to the end of the region, less a trailing run of zeros (unwritten
// space) long enough that no value holds it. The tag array, with the stale
// slot just below it, is never part of a region. A record of fixed
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

// What a page still says about where its old nodes end.
struct NodeBounds {
  // Page offset of the page's first free byte (header offset 32, from the
  // end of the header): nothing was written at or above it since the page
  // was last reorganised, so a node that starts below it ends at or before
  // it.
  uint32_t first_free = 0;
  // The node whose tag slot is still there just below the live tag array
  // (cleanup removed the page's last tag and left its slot): its exact
  // start and size, as page bytes [begin, end); empty when the slot there
  // names no such node (a value that a live value overlaps is a copy of a
  // live slot, left when a tag before it was removed).
  ByteRange removed;
  // Where the tag array starts, the stale slot just below it included: no
  // node's bytes reach into it.
  uint32_t tag_array = 0;
};

// The bounds of the page read through `reader` into `out`. The 4 bytes
// just below the live tag array are a stale slot when they name a value of
// at least 2 bytes (the smallest node) inside the data area and below
// themselves. Deeper words are left alone: on small pages ordinary data
// often looks like a slot, and old slots can be far older than the bytes
// now there. Never reads past the page.
void node_bounds(const TagReader& reader, uint16_t first_free, NodeBounds& out);

// The free regions of the page read through `reader`, in offset order, into
// `out`, ending where the tag array (with its stale slot) starts; `spans`
// is working storage. Never reads past the page.
void free_regions(const TagReader& reader, const NodeBounds& bounds,
                  std::vector<ByteRange>& spans, std::vector<ByteRange>& out);

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
// length of the page's key prefix). A record of the removed node of
// `bounds` (its key-size field at the node's start leads to the record)
// ends where that node ends; one that starts below the first free byte ends
// at or before it.
void scan_region(const RecordShape& shape, ByteView page, ByteRange region, uint32_t max_common,
                 const NodeBounds& bounds, SlackScratch& scratch, std::vector<SlackRecord>& out);

// The `max_common` of scan_region for the page read through `reader`: the
// length of its key prefix (tag 0) when one of its entries shares it; 255
// for a page left without entries.
uint32_t common_key_limit(const TagReader& reader);

}  // namespace quarlet
