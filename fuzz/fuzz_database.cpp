// Fuzz target for the whole read path: open a database image from the input
// (in memory, or served in short reads on demand as a file object's stream is),
// load its catalog, read every table's records to the end and encode each
// record as JSON, walk every tree counting its entries, build every table's
// Arrow batches (raw and decoded, small batches) and release them, carve
// every scope, recover the deleted records of every table (raw and decoded)
// and run the integrity pass. (The decoded view has its own target.)
//
// Checks beyond "no crash": every record has the table's columns; a record
// iteration ends (the leaf cursor is bounded by the page count); carving
// reports at most max_hits hits, at even offsets inside their page; every
// recovered record lies inside its page and has its table's columns; the
// integrity pass gives every page one verdict and counts no more live or
// deleted entries than it decoded.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "btree/cursor.hpp"
#include "database/carve.hpp"
#include "database/database.hpp"
#include "database/integrity.hpp"
#include "export/arrow/reader.hpp"
#include "export/json.hpp"
#include "record/parser.hpp"
#include "recover/recovery.hpp"
#include "source/spill_file.hpp"
#include "../tests/cpp/short_reads.hpp"
#include "fuzz_common.hpp"

using namespace quarlet;
using quarlet::fuzz::check;
using quarlet::test::ShortReads;

namespace {

void read_all_tables(const Database& db) {
  for (const auto& [name, table] : db.tables()) {
    auto records = TableRecords::open(db, name);
    if (!records) continue;
    std::optional<JsonKeyPlan> plan;
    std::string line;
    // A pass enters each page at most once and a page holds fewer than
    // 4096 tags, so it ends within (total_pages + 1) * 4096 entries.
    const uint64_t limit = (static_cast<uint64_t>(db.total_pages()) + 1) * 4096;
    uint64_t count = 0;
    for (;;) {
      auto record = (*records)->next();
      if (!record || !record->has_value()) break;
      check(++count <= limit);
      const Record& r = **record;
      check(r.fields.size() == table.columns.size());
      if (!plan) plan = JsonKeyPlan::build(record_columns(r));
      line.clear();
      encode_record(line, r, *plan);
      check(!line.empty() && line.front() == '{' && line.back() == '}');
    }
  }
}

// Every tree of every table walked once with every entry counted: a walk
// reads each page at most once, counts no more entries than it decodes, and
// ends; its error, if any, comes after the walk has started.
void walk_all_trees(const Database& db) {
  PageSet reached(db.total_pages());
  const auto walk = [&](uint32_t root, TreeKind kind) {
    TreeStats stats;
    CursorOptions options;
    options.kind = kind;
    options.filter = EntryFilter::Any;
    options.stats = &stats;
    options.reached = &reached;
    TreeCursor cursor(db, root, options);
    uint64_t returned = 0;
    for (cursor.start(); cursor.valid(); cursor.next()) ++returned;
    check(stats.branch_pages + stats.leaf_pages <= static_cast<uint64_t>(db.total_pages()) + 1);
    check(returned == stats.live + stats.deleted);
    check(stats.live + stats.deleted + stats.rejected + stats.stale <= stats.leaf_entries);
  };
  for (const auto& [name, table] : db.tables()) {
    walk(table.root_page, TreeKind::Records);
    for (const auto& [lv_name, lv] : table.long_values) walk(lv.root_page, TreeKind::LongValue);
    for (const auto& [index_name, index] : table.indexes) walk(index.root_page, TreeKind::Index);
  }
}

// What one Arrow pass over a table gave.
struct ArrowPass {
  uint64_t rows = 0;
  uint64_t out_of_form = 0;
  bool failed = false;
  bool operator==(const ArrowPass&) const = default;
};

// One pass over a table as Arrow batches: each batch has one child per
// column and the rows of the batch; the batches hold at most the pass's
// records.
ArrowPass arrow_pass(const Database& db, const Name& name, const TableDef& table, bool decode,
                     bool workers) {
  ArrowPass pass;
  ArrowReadOptions options;
  options.decode = decode;
  options.batch_size = 3;
  options.workers = workers;
  auto reader = ArrowTableReader::open(db, name, options);
  if (!reader) return pass;
  ArrowSchema schema;
  (*reader)->schema(&schema);
  check(schema.n_children == static_cast<int64_t>(table.columns.size()));
  schema.release(&schema);
  const uint64_t limit = (static_cast<uint64_t>(db.total_pages()) + 1) * 4096;
  for (;;) {
    ArrowArray batch;
    auto more = (*reader)->next(&batch);
    pass.failed = !more;
    if (!more || !*more) break;
    check(batch.n_children == static_cast<int64_t>(table.columns.size()));
    check(batch.length >= 1 && batch.length <= 3);
    for (int64_t i = 0; i < batch.n_children; ++i) {
      check(batch.children[i]->length == batch.length);
    }
    pass.rows += static_cast<uint64_t>(batch.length);
    check(pass.rows <= limit);
    batch.release(&batch);
  }
  for (const uint64_t n : (*reader)->out_of_form()) pass.out_of_form += n;
  return pass;
}

// Every table as Arrow batches; a pass built by worker threads gives what
// a pass on this thread alone gives.
void arrow_all_tables(const Database& db, bool decode) {
  for (const auto& [name, table] : db.tables()) {
    check(arrow_pass(db, name, table, decode, true) == arrow_pass(db, name, table, decode, false));
  }
}

void carve_all_scopes(const Database& db, uint32_t max_hits, uint32_t min_chars,
                      const char* needle) {
  for (CarveScope scope : {CarveScope::Slack, CarveScope::All, CarveScope::TagData,
                           CarveScope::LvAll, CarveScope::LvSlack}) {
    {
      const std::vector<CarveHit> hits = carve_pages(db, scope, needle, min_chars, max_hits);
      check(hits.size() <= max_hits);
      for (const CarveHit& h : hits) {
        check(h.offset % 2 == 0);
        check(h.page >= 1 && h.page <= db.total_pages());
        check(h.offset + 2 * static_cast<uint64_t>(h.text.size()) <= db.page_size());
        check(h.text.size() >= (min_chars < 2 ? 2 : min_chars));
      }
    }
  }
}

void check_pages(const Database& db) {
  const IntegrityReport report = check_integrity(db);
  const PageChecks& p = report.pages;
  check(p.checked == db.total_pages());
  check(p.sound + p.unused + p.bad + p.no_checksum == p.checked);
  check(p.bad_pages.size() == p.bad && p.no_checksum_pages.size() == p.no_checksum);
  for (const BadPage& bad : p.bad_pages) {
    check(bad.blocks != 0 && bad.blocks < 16);
    check(bad.tree < static_cast<int64_t>(report.trees.size()));
  }
  for (const TreeCheck& tree : report.trees) {
    check(tree.stats.live + tree.stats.deleted <= tree.stats.leaf_entries);
  }
}

void recover_all_tables(const Database& db, bool decode) {
  auto recovery = Recovery::open(db, nullptr, kAllSources);
  if (!recovery) return;
  // A page gives at most one record per tag and one per 5 free bytes.
  const uint64_t limit = (static_cast<uint64_t>(db.total_pages()) + 1) * (db.page_size() + 4096);
  uint64_t count = 0;
  RecoveredItem item;
  Record raw;
  DecodedRecord decoded;
  std::string line;
  while ((*recovery)->next(item)) {
    check(++count <= limit);
    const uint64_t page_start = (static_cast<uint64_t>(item.page) + 1) * db.page_size();
    check(item.offset >= page_start && item.offset + item.data.size() <= page_start + db.page_size());
    auto bytes = db.read_bytes(item.offset, item.data.size());
    check(bytes.ok() && item.data.data() == bytes->data());
    // A deleted node shrunk to its key is given without a record: nothing
    // to check against the table's layout, nothing to read.
    if (!item.has_record) {
      check(item.source == RecoverSource::Deleted && item.has_key);
      continue;
    }
    check((item.checks & kCheckLayout) == kCheckLayout);
    if (decode) {
      (*recovery)->read_decoded(item, decoded);
      check(decoded.fields.size() == item.table->columns.size());
    } else {
      (*recovery)->read_raw(item, raw);
      check(raw.fields.size() == item.table->columns.size());
      line = encode_record(raw);
      check(!line.empty() && line.front() == '{');
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<uint8_t> bytes(data, data + size);
  // The carve settings come from a header byte the reader ignores (offset 3,
  // the checksum), so seeds stay valid databases.
  const uint8_t knob = size > 3 ? data[3] : 0;
  // Bit 0 of another checksum byte: the bytes come on demand, in short reads.
  const bool on_demand = size > 2 && (data[2] & 1) != 0;
  Result<std::unique_ptr<Database>> db = EseError::invalid_header();
  if (on_demand) {
    auto file = SpillFile::open(std::make_unique<ShortReads>(std::move(bytes)), size, "/tmp");
    if (!file) return 0;
    db = Database::open_file(std::move(*file), "<stream>");
  } else {
    db = Database::open_bytes(std::move(bytes));
  }
  if (!db) return 0;
  read_all_tables(**db);
  walk_all_trees(**db);
  arrow_all_tables(**db, (knob & 0x08) != 0);
  carve_all_scopes(**db, 1 + (knob & 7), knob >> 5, (knob & 0x10) ? "e" : "");
  recover_all_tables(**db, (knob & 0x08) != 0);
  check_pages(**db);
  return 0;
}
