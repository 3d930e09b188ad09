// Fuzz target for the record layout: parse_record in both tagged layouts
// with a column list taken from the input, then JSON encoding of the record and
// the long-value reference and chunk joining helpers.
//
// Input: byte 0 = number of columns c (mod 24); then c descriptors of 5
// bytes (u16 id, column type, code page selector, size); the rest is the
// record. Checks: one field per column in ascending id order; parse_record
// gives the same JSON text with its own and with shared scratch.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "export/json.hpp"
#include "record/parser.hpp"
#include "fuzz_common.hpp"

using namespace quarlet;
using quarlet::fuzz::check;

namespace {


}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const size_t count = data[0] % 24;
  size_t pos = 1;
  TableDef table;
  for (size_t i = 0; i < count && pos + fuzz::kColumnBytes <= size; ++i) {
    const ColumnDef c = fuzz::fuzzed_column(data + pos, i);
    pos += fuzz::kColumnBytes;
    table.columns.insert(c.name, c);
  }
  const ByteView record_bytes(data + pos, size - pos);
  const ColumnPlan plan = ColumnPlan::build(table);
  check(plan.items.size() == table.columns.size());

  for (bool large : {false, true}) {
    RecordScratch scratch;
    const Record r = parse_record(record_bytes, plan, large, scratch);
    check(r.fields.size() == plan.items.size());
    for (size_t i = 1; i < r.fields.size(); ++i) {
      check(r.fields[i - 1].column->id <= r.fields[i].column->id);
    }
    for (uint32_t index : scratch.long_refs) {
      check(index < r.fields.size());
      const auto* ref = std::get_if<LongBinaryValue>(&r.fields[index].value);
      check(ref != nullptr);
      if (auto id = long_value_ref(ref->bytes)) check(id->width == 4 || id->width == 8);
      // The reference's own bytes as one or two chunks of a long value.
      LongValueChunks chunks;
      const ByteView b(ref->bytes.data(), ref->bytes.size());
      chunks.chunks.emplace_back(b.size() / 2, b.subspan(b.size() / 2));
      chunks.chunks.emplace_back(0, b.subspan(0, b.size() / 2));
      if (!b.empty()) chunks.total_size = b[0];
      (void)long_value_from_chunks(&chunks, *r.fields[index].column);
    }
    std::string json = encode_record(r);
    check(!json.empty() && json.front() == '{' && json.back() == '}');
    // The convenience form (thread-local scratch) decodes the same record.
    const Record again = parse_record(record_bytes, plan, large);
    check(again.fields.size() == r.fields.size());
    check(encode_record(again) == json);
  }
  return 0;
}
