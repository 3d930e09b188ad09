// Carving UTF-16LE printable-ASCII strings out of database pages: the region
// scan, the regions of each scope (whole page, tag data, slack gaps) and the
// page-to-table attribution that every hit carries.
//
// A tag's data range, as carving sees it: slot i is the 4 bytes
// [L-4(i+1), L-4i); size = w0 & mask, offset = w1 & mask (mask 0x7FFF in the
// large-page layout, 0x1FFF otherwise); the range is [H+offset, H+offset+size)
// and exists only when its end is within the page.
#include "database/carve.hpp"

#include <algorithm>
#include <bit>
#include <string_view>

#include "btree/cursor.hpp"
#include "page/leaf.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace quarlet {

namespace {

constexpr const char* kKindSlack = "slack";
constexpr const char* kKindAll = "all";
constexpr const char* kKindTagData = "tag_data";

constexpr uint32_t kBlockUnits = 16;  // code units classified per block
constexpr uint32_t kBlockMask = 0xFFFF;

inline bool is_printable(uint16_t unit) { return unit >= 0x20 && unit <= 0x7E; }

// Bit k set when the code unit at p + 2k (k < 16) is printable ASCII.
// Reads exactly 32 bytes at p.
inline uint32_t printable_block(const uint8_t* p) {
#if defined(__SSE2__)
  const __m128i bias = _mm_set1_epi16(0x20);
  const __m128i span = _mm_set1_epi16(0x7E - 0x20);
  const __m128i zero = _mm_setzero_si128();
  __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16));
  // (unit - 0x20) mod 2^16 <= 0x5E exactly for 0x20..0x7E; the saturating
  // subtraction leaves 0 exactly there.
  a = _mm_cmpeq_epi16(_mm_subs_epu16(_mm_sub_epi16(a, bias), span), zero);
  b = _mm_cmpeq_epi16(_mm_subs_epu16(_mm_sub_epi16(b, bias), span), zero);
  return static_cast<uint32_t>(_mm_movemask_epi8(_mm_packs_epi16(a, b)));
#else
  uint32_t m = 0;
  for (uint32_t k = 0; k < kBlockUnits; ++k) {
    m |= static_cast<uint32_t>(is_printable(load_u16le(p + 2 * k))) << k;
  }
  return m;
#endif
}

// As printable_block for the first `units` (< 16) code units; reads 2 * units bytes.
inline uint32_t printable_partial(const uint8_t* p, uint32_t units) {
  uint32_t m = 0;
  for (uint32_t k = 0; k < units; ++k) {
    m |= static_cast<uint32_t>(is_printable(load_u16le(p + 2 * k))) << k;
  }
  return m;
}

// One region handed to the scan and the page facts its hits carry.
struct Region {
  uint32_t page_number = 0;
  uint32_t start = 0;
  uint32_t end = 0;
  const char* kind = "";
  uint32_t flags = 0;
  const char* type = "";
  const Name* table = nullptr;
};

// The region scan with one carve call's settings; appends to one hit list.
class RegionScanner {
 public:
  RegionScanner(const CarveSettings& settings, std::vector<CarveHit>& hits)
      : needle_(settings.needle),
        min_chars_(std::max<uint32_t>(settings.min_chars, 2)),
        max_hits_(std::max<uint32_t>(settings.max_hits, 1)),
        hits_(hits) {
    // Runs hold printable ASCII only, so a needle with any other byte
    // (including every non-ASCII character) can never be contained.
    for (unsigned char ch : needle_) {
      if (!is_printable(ch)) never_matches_ = true;
    }
  }

  bool full() const { return hits_.size() >= max_hits_; }
  bool never_matches() const { return never_matches_; }

  // Scans region r of `page`. Will not read outside [r.start, min(r.end, page size)).
  void scan(ByteView page, const Region& r) {
    if (full() || never_matches_) return;
    const uint64_t end = std::min<uint64_t>(r.end, page.size());
    const uint64_t start = static_cast<uint64_t>(r.start) + (r.start & 1u);  // even offsets only
    if (start + 2 > end) return;
    const uint32_t units = static_cast<uint32_t>((end - start) / 2);
    const uint8_t* base = page.data() + start;
    page_ = base;
    region_ = &r;
    first_offset_ = static_cast<uint32_t>(start);
    run_ = kNoRun;

    uint32_t k = 0;
    for (; units - k >= kBlockUnits; k += kBlockUnits) {
      const uint32_t m = printable_block(base + 2 * static_cast<size_t>(k));
      // Nothing changes inside a block without printable units outside a
      // run, nor inside a fully printable block within a run.
      if (m == (run_ == kNoRun ? 0u : kBlockMask)) continue;
      if (edges(m, k)) return;
    }
    if (k < units) {
      // The unit just past the region reads as not printable, closing a run
      // that reaches the region end.
      const uint32_t m = printable_partial(base + 2 * static_cast<size_t>(k), units - k);
      if (edges(m, k)) return;
    } else if (run_ != kNoRun) {
      finish_run(units);
    }
  }

 private:
  static constexpr uint32_t kNoRun = 0xFFFFFFFF;

  // Handles every run start and end in a block whose first unit is unit k of
  // the region. Returns true when the hit list is full.
  bool edges(uint32_t m, uint32_t k) {
    const uint32_t before = (m << 1) | (run_ != kNoRun ? 1u : 0u);
    uint32_t changes = (m ^ before) & kBlockMask;
    while (changes != 0) {
      const uint32_t bit = static_cast<uint32_t>(std::countr_zero(changes));
      changes &= changes - 1;
      if ((m >> bit) & 1u) {
        run_ = k + bit;
      } else {
        if (finish_run(k + bit)) return true;
      }
    }
    return false;
  }

  // The run from unit run_ up to unit x (exclusive) ended. Returns true when
  // the hit list is full.
  bool finish_run(uint32_t x) {
    const uint32_t r = run_;
    run_ = kNoRun;
    const uint32_t n = x - r;
    if (n < min_chars_) return false;
    if (n < needle_.size()) return false;
    const uint8_t* p = page_ + 2 * static_cast<size_t>(r);
    if (!needle_.empty() && !contains_needle(p, n)) return false;
    copy_text(p, n);
    CarveHit& hit = hits_.emplace_back();
    hit.page = region_->page_number;
    hit.offset = first_offset_ + 2 * r;
    hit.slack_start = region_->start;
    hit.slack_end = region_->end;
    hit.region_kind = region_->kind;
    hit.page_flags = region_->flags;
    hit.page_type = region_->type;
    hit.table = region_->table;
    hit.text = text_;
    return full();
  }

  // Whether the n printable code units at p hold the needle (non-empty, at
  // most n characters) as a contiguous substring; reads 2n bytes.
  bool contains_needle(const uint8_t* p, uint32_t n) const {
    const uint32_t m = static_cast<uint32_t>(needle_.size());
    const uint32_t last = n - m;  // candidate starts are 0..last
    const uint8_t first = static_cast<uint8_t>(needle_[0]);
    auto matches_at = [&](uint32_t i) {
      for (uint32_t j = 1; j < m; ++j) {
        if (p[2 * (size_t{i} + j)] != static_cast<uint8_t>(needle_[j])) return false;
      }
      return true;
    };
    uint32_t i = 0;
#if defined(__SSE2__)
    // Candidates are units equal to the needle's first character, 8 at a time.
    const __m128i wanted = _mm_set1_epi16(first);
    for (; i <= last && n - i >= 8; i += 8) {
      const __m128i units = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 2 * size_t{i}));
      uint32_t hits = static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi16(units, wanted)));
      while (hits != 0) {
        const uint32_t c = i + static_cast<uint32_t>(std::countr_zero(hits)) / 2;
        if (c > last) return false;
        if (matches_at(c)) return true;
        hits &= hits - 1;
        hits &= hits - 1;  // both bytes of the unit's mask
      }
    }
#endif
    for (; i <= last; ++i) {
      if (p[2 * size_t{i}] == first && matches_at(i)) return true;
    }
    return false;
  }

  // Sets text_ to the low bytes of the n printable code units at p; reads 2n bytes.
  void copy_text(const uint8_t* p, uint32_t n) {
    text_.resize(n);
    char* out = text_.data();
    uint32_t i = 0;
#if defined(__SSE2__)
    // Every unit is at most 0x7E, so unsigned saturation keeps its low byte.
    for (; n - i >= 16; i += 16) {
      const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 2 * size_t{i}));
      const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 2 * size_t{i} + 16));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm_packus_epi16(a, b));
    }
#endif
    for (; i < n; ++i) out[i] = static_cast<char>(p[2 * size_t{i}]);
  }

  const std::string& needle_;
  const uint32_t min_chars_;
  const uint32_t max_hits_;
  bool never_matches_ = false;
  std::vector<CarveHit>& hits_;
  std::string text_;  // the current run's characters, reused across runs

  // State of the current scan.
  const uint8_t* page_ = nullptr;  // first byte of unit 0 of the region
  const Region* region_ = nullptr;
  uint32_t first_offset_ = 0;      // page offset of unit 0
  uint32_t run_ = kNoRun;          // first unit of the open run
};

const char* page_type_name(uint32_t flags) {
  if (flags & kPageLongValue) return "long_value";
  if (flags & kPageSpaceTree) return "space_tree";
  if (flags & kPageIndex) return "index";
  if (flags & kPageLeaf) return "leaf";
  return "branch";
}

// Data range of tag i (header above). Returns false when the slot or the
// range lies outside the page; will not read outside `page`.
bool tag_range(ByteView page, uint32_t header_size, uint32_t mask, uint32_t i, uint32_t* start,
               uint32_t* end) {
  const uint64_t len = page.size();
  const uint64_t slot_end = 4ull * i + 4;
  if (slot_end > len) return false;
  const uint8_t* slot = page.data() + (len - slot_end);
  const uint64_t size = load_u16le(slot) & mask;
  const uint64_t offset = load_u16le(slot + 2) & mask;
  const uint64_t s = static_cast<uint64_t>(header_size) + offset;
  if (s + size > len) return false;
  *start = static_cast<uint32_t>(s);
  *end = static_cast<uint32_t>(s + size);
  return true;
}

inline uint64_t pack_interval(uint32_t start, uint32_t end) {
  return (static_cast<uint64_t>(start) << 32) | end;
}

// Scans the slack gaps of a page: the bytes outside the header, the tag
// array and every tag's data range, each gap its own region, in offset order.
// `used` is scratch space.
void scan_slack(RegionScanner& scanner, const Page& page, uint32_t tc, uint32_t mask,
                Region region, std::vector<uint64_t>& used) {
  const uint32_t len = static_cast<uint32_t>(page.bytes.size());
  const uint32_t h = page.header_size;
  used.clear();
  used.push_back(pack_interval(0, std::min(len, h)));
  const uint64_t tag_bytes = 4ull * tc;
  used.push_back(pack_interval(tag_bytes > len ? 0 : len - static_cast<uint32_t>(tag_bytes), len));
  for (uint32_t i = 0; i < tc; ++i) {
    uint32_t s, e;
    if (tag_range(page.bytes, h, mask, i, &s, &e) && e > s) used.push_back(pack_interval(s, e));
  }
  // Only the union of the intervals matters (overlapping and touching ones
  // merge), so the order among equal starts is irrelevant.
  std::sort(used.begin(), used.end());
  // The header interval starts at 0, so the first merged interval does too,
  // and the tag array reaches the page end: the gaps lie between merged intervals.
  uint32_t merged_end = static_cast<uint32_t>(used[0]);
  for (size_t j = 1; j < used.size(); ++j) {
    const uint32_t s = static_cast<uint32_t>(used[j] >> 32);
    const uint32_t e = static_cast<uint32_t>(used[j]);
    if (s <= merged_end) {
      merged_end = std::max(merged_end, e);
      continue;
    }
    region.start = merged_end;
    region.end = s;
    scanner.scan(page.bytes, region);
    if (scanner.full()) return;
    merged_end = e;
  }
}

}  // namespace

std::optional<CarveScope> parse_carve_scope(std::string_view text) {
  if (text == "slack") return CarveScope::Slack;
  if (text == "all") return CarveScope::All;
  if (text == "tag_data") return CarveScope::TagData;
  if (text == "lv_all") return CarveScope::LvAll;
  if (text == "lv_slack") return CarveScope::LvSlack;
  return std::nullopt;
}

void carve_region(uint32_t page_number, ByteView page, uint32_t start, uint32_t end,
                  const char* region_kind, uint32_t page_flags, const char* page_type,
                  const Name* table, const CarveSettings& settings, std::vector<CarveHit>& hits) {
  RegionScanner scanner(settings, hits);
  scanner.scan(page, Region{page_number, start, end, region_kind, page_flags, page_type, table});
}

std::vector<CarveHit> carve_pages(const Database& db, CarveScope scope, std::string_view needle,
                                  uint32_t min_chars, uint32_t max_hits) {
  CarveSettings settings;
  settings.needle = std::string(needle);
  settings.min_chars = min_chars;  // the scanner raises these to their floors
  settings.max_hits = max_hits;
  std::vector<CarveHit> hits;
  RegionScanner scanner(settings, hits);
  if (scanner.never_matches()) return hits;

  std::vector<CarveTable> tables;
  tables.reserve(db.tables().size());
  for (const auto& [name, table] : db.tables()) tables.push_back({&name, table.root_page});
  PageOwners owners(db, std::move(tables));

  const bool long_value_only = scope == CarveScope::LvAll || scope == CarveScope::LvSlack;
  const uint32_t mask = db.large_layout() ? 0x7FFF : 0x1FFF;
  std::vector<uint64_t> used;
  const uint64_t total = db.total_pages();
  // Pages are read once, in order: the ones passed are released every so
  // often so the pass does not keep the whole file resident.
  ResidentBudget resident(db);
  for (uint64_t n = 1; n <= total; ++n) {
    if (scanner.full()) break;
    resident.page_read();
    const uint32_t number = static_cast<uint32_t>(n);
    auto page = db.read_page(number);
    if (!page) continue;
    const uint32_t flags = page->flags;
    if (long_value_only && !(flags & kPageLongValue)) continue;
    Region region;
    region.page_number = number;
    region.flags = flags;
    region.type = page_type_name(flags);
    const bool data_leaf =
        (flags & kPageLeaf) && !(flags & (kPageSpaceTree | kPageIndex | kPageLongValue));
    region.table = data_leaf ? owners.owner(number) : nullptr;
    const uint32_t len = static_cast<uint32_t>(page->bytes.size());

    switch (scope) {
      case CarveScope::All:
      case CarveScope::LvAll:
        region.start = 0;
        region.end = len;
        region.kind = kKindAll;
        scanner.scan(page->bytes, region);
        break;
      case CarveScope::TagData: {
        region.kind = kKindTagData;
        const uint32_t tc = tag_count(page->bytes, db.page_size());
        for (uint32_t i = 0; i < tc && !scanner.full(); ++i) {
          uint32_t s, e;
          if (!tag_range(page->bytes, page->header_size, mask, i, &s, &e) || e == s) continue;
          region.start = s;
          region.end = e;
          scanner.scan(page->bytes, region);
        }
        break;
      }
      case CarveScope::Slack:
      case CarveScope::LvSlack:
        region.kind = kKindSlack;
        scan_slack(scanner, *page, tag_count(page->bytes, db.page_size()), mask, region, used);
        break;
    }
  }
  return hits;
}

PageOwners::PageOwners(const Database& db, std::vector<CarveTable> tables)
    : db_(db), tables_(std::move(tables)) {}

const Name* PageOwners::owner(uint32_t n) {
  if (n == 0 || n > db_.total_pages() || tables_.empty()) return nullptr;
  if (owner_.empty()) owner_.assign(static_cast<size_t>(db_.total_pages()) + 1, 0);
  while (owner_[n] == 0 && next_table_ < tables_.size()) walk_table(next_table_++);
  return owner_[n] == 0 ? nullptr : tables_[owner_[n] - 1].name;
}

void PageOwners::walk_table(size_t index) {
  if (!walked_roots_.insert(tables_[index].root_page).second) return;
  const uint32_t mark = static_cast<uint32_t>(index + 1);
  TreeCursor cursor(db_, tables_[index].root_page);
  cursor.start_pages();
  // Long walks touch much of the file: keep it from staying resident.
  ResidentBudget resident(db_);
  while (cursor.next_page()) {
    const uint32_t p = cursor.page().number;
    if (owner_[p] == 0) owner_[p] = mark;
    resident.page_read();
  }
}

}  // namespace quarlet
