// Fuzz target for the decoded record view: decode_record on arbitrary record
// bytes with a column list (and catalog defaults) taken from the input, in
// both tagged layouts, and, when the input opens as a database, the decoded
// pass over every table (long values, compressed chunks, multi-values) with
// its decoded JSON.
//
// Input: byte 0 = number of columns c (mod 24); then c descriptors of 6 bytes
// (u16 id, column type, code page selector, size, default length d: the
// default is the next d bytes when bit 7 is set); the rest is the record.
// Checks: one field per column; a list field holds Null; the decoded JSON is
// one object; a database's decoded pass yields as many records as the raw
// pass.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "database/database.hpp"
#include "decode/decoded_record.hpp"
#include "export/json_decoded.hpp"
#include "record/parser.hpp"
#include "fuzz_common.hpp"

using namespace quarlet;
using quarlet::fuzz::check;

namespace {


void check_record(const DecodedRecord& r, size_t columns) {
  check(r.fields.size() == columns);
  for (const DecodedField& f : r.fields) {
    if (f.is_list) check(f.value.index() == 0);
  }
  std::string json;
  encode_decoded_record(json, r, JsonKeyPlan::build(decoded_record_columns(r)));
  check(!json.empty() && json.front() == '{' && json.back() == '}');
}

// Every table of a database image, decoded and raw, record counts compared.
void fuzz_database(const uint8_t* data, size_t size) {
  auto db = Database::open_bytes(std::vector<uint8_t>(data, data + size));
  if (!db.ok()) return;
  for (const auto& entry : (*db)->tables()) {
    auto raw = TableRecords::open(**db, entry.first);
    auto decoded = DecodedTableRecords::open(**db, entry.first);
    check(raw.ok() == decoded.ok());
    if (!raw.ok()) continue;
    DecodedRecord record;
    for (int n = 0; n < 100000; ++n) {
      auto a = (*raw)->next();
      auto b = (*decoded)->next(record);
      check(a.ok() == b.ok());
      if (!a.ok()) break;
      check(a->has_value() == *b);
      if (!*b) break;
      check_record(record, (*decoded)->plan().items.size());
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  if (size >= 4096) fuzz_database(data, size);

  const size_t count = data[0] % 24;
  size_t pos = 1;
  TableDef table;
  for (size_t i = 0; i < count && pos + fuzz::kColumnBytes + 1 <= size; ++i) {
    ColumnDef c = fuzz::fuzzed_column(data + pos, i);
    const uint8_t d = data[pos + fuzz::kColumnBytes];
    pos += fuzz::kColumnBytes + 1;
    if (d & 0x80) {
      const size_t len = std::min<size_t>(d & 0x7F, size - pos);
      c.default_value = std::vector<uint8_t>(data + pos, data + pos + len);
      pos += len;
    }
    table.columns.insert(c.name, c);
  }
  const ByteView record_bytes(data + pos, size - pos);
  const ColumnPlan plan = ColumnPlan::build(table);
  LongValueSource lv(nullptr, &table);
  RecordScratch scratch;
  std::vector<uint8_t> buffer;
  DecodedRecord out;
  for (bool large : {false, true}) {
    decode_record(record_bytes, plan, large, lv, scratch, buffer, out);
    check_record(out, plan.items.size());
  }
  return 0;
}
