// Record layout: splits one table row into its fixed, variable and tagged
// columns and decodes each; TableRecords iterates a table's rows and replaces
// long-value references by the values' contents.
#include "record/parser.hpp"

#include <algorithm>
#include <limits>

#include "record/text.hpp"

namespace quarlet {

// ---------------------------------------------------------------------------
// Column plan

ColumnPlan ColumnPlan::build(const TableDef& table) {
  ColumnPlan plan;
  plan.items.reserve(table.columns.size());
  for (const auto& entry : table.columns) plan.items.push_back(Item{&entry.second, 0});
  const auto by_id = [](const Item& a, const Item& b) { return a.column->id < b.column->id; };
  if (!std::is_sorted(plan.items.begin(), plan.items.end(), by_id)) {
    std::stable_sort(plan.items.begin(), plan.items.end(), by_id);
  }
  // A record holds the columns with id <= F (F < 256) one after another from
  // offset 4, in this order; those columns are always a prefix of the plan, so
  // each one's offset is fixed whatever F a record has. Sums past 32 bits are
  // saturated: no record is that long, so such a column never fits.
  uint64_t p = 4;
  plan.first_tagged = plan.items.size();
  for (size_t i = 0; i < plan.items.size(); ++i) {
    Item& item = plan.items[i];
    if (item.column->id >= 256) {
      plan.first_tagged = i;
      break;
    }
    item.fixed_offset = static_cast<uint32_t>(
        std::min<uint64_t>(p, std::numeric_limits<uint32_t>::max()));
    p += item.column->size;
  }
  return plan;
}

// ---------------------------------------------------------------------------
// Record parsing

namespace {

inline void set_null(ColumnValue& out) { out.emplace<std::monostate>(); }

// A column the record does not hold: the default value its catalog entry
// stores (the engine gives it for such a record), else Null. A column the
// record holds as null stays null; that is not this case.
inline void absent_value(const ColumnDef& column, ColumnValue& out) {
  set_null(out);
  if (column.default_value) decode_value_into(*column.default_value, column, out);
}

// Fixed column `column` (id <= F) at `offset` into `out`: Null when its bit
// in the null bitmap is set or when it does not fit in the record.
void fixed_value(ByteView d, const RecordLayout& lay, const ColumnDef& column, uint64_t offset,
                 ColumnValue& out) {
  ByteView bytes;
  if (!fixed_column_bytes(d, lay, column, offset, bytes)) return set_null(out);
  decode_value_into(bytes, column, out);
}

// Variable column `column` (128 <= id <= V) into `out`.
void variable_value(ByteView d, const RecordLayout& lay, const ColumnDef& column,
                    ColumnValue& out) {
  ByteView bytes;
  if (!variable_column_bytes(d, lay, column, bytes)) return set_null(out);
  decode_value_into(bytes, column, out);
}

}  // namespace

using TaggedSlot = RecordScratch::TaggedSlot;

void parse_tagged(ByteView d, const RecordLayout& lay, bool large_layout,
                  std::vector<TaggedSlot>& slots) {
  slots.clear();
  append_tagged(d, lay, large_layout, slots);
}

void append_tagged(ByteView d, const RecordLayout& lay, bool large_layout,
                   std::vector<TaggedSlot>& slots) {
  const size_t base = slots.size();
  const uint64_t L = lay.length;
  const uint64_t T = lay.tagged_start(d);
  if (L <= T) return;
  // Large-page records keep 15-bit offsets and a flags byte on every value;
  // the small layout has 14-bit offsets and 0x4000 marking the flags byte.
  const uint16_t mask = large_layout ? 0x7FFF : 0x3FFF;
  const uint64_t array_end = T + 4 <= L ? T + (load_u16le(d.data() + T + 2) & mask) : L;
  for (uint64_t a = T; a + 4 <= L && a < array_end; a += 4) {
    const uint16_t w = load_u16le(d.data() + a + 2);
    TaggedSlot s;
    s.id = load_u16le(d.data() + a);
    s.begin = w & mask;  // offset relative to T until resolved below
    s.flags = (large_layout || (w & 0x4000)) ? 1 : 0;  // "has a flags byte" for now
    slots.push_back(s);
  }
  // Each value runs to the next entry's offset, the last one to the record end.
  const size_t count = slots.size();
  size_t kept = base;
  for (size_t k = base; k < count; ++k) {
    const uint64_t begin = slots[k].begin;
    const uint64_t end = k + 1 < count ? slots[k + 1].begin : L - T;
    if (begin > end || T + end > L) continue;  // dropped
    const uint32_t id = slots[k].id;
    const bool has_flags_byte = slots[k].flags != 0;
    TaggedSlot& s = slots[kept++];  // kept <= k: entries are compacted forwards
    s.id = id;
    s.begin = static_cast<uint32_t>(T + begin);
    s.end = static_cast<uint32_t>(T + end);
    s.flags = 0;
    if (has_flags_byte && s.begin < s.end) s.flags = d[s.begin++];
  }
  slots.resize(kept);
  const auto by_id = [](const TaggedSlot& a, const TaggedSlot& b) { return a.id < b.id; };
  const auto first = slots.begin() + static_cast<ptrdiff_t>(base);
  if (!std::is_sorted(first, slots.end(), by_id)) std::stable_sort(first, slots.end(), by_id);
}

void tagged_value(ByteView d, const TaggedSlot& s, const ColumnDef& column, ColumnValue& out) {
  const ByteView bytes = d.subspan(s.begin, s.end - s.begin);
  if (s.flags & 0x04) {
    out.emplace<LongBinaryValue>().bytes.assign(bytes.begin(), bytes.end());
  } else if (s.flags & 0x02) {
    out.emplace<BinaryValue>().bytes.assign(bytes.begin(), bytes.end());
  } else if (s.flags & 0x08) {
    out.emplace<MultiValueValue>().bytes.assign(bytes.begin(), bytes.end());
  } else {
    decode_value_into(bytes, column, out);
  }
}

size_t last_tagged_slot(const std::vector<TaggedSlot>& slots, uint32_t id, size_t& at) {
  while (at < slots.size() && slots[at].id < id) ++at;
  size_t last = at;
  while (last < slots.size() && slots[last].id == id) ++last;
  return last == at ? slots.size() : last - 1;
}

void parse_record_into(ByteView d, const ColumnPlan& plan, bool large_layout,
                       RecordScratch& scratch, Record& record) {
  const RecordLayout lay(d);
  // Every field is assigned below; values left from an earlier record keep
  // their buffers for reuse.
  record.fields.resize(plan.items.size());
  scratch.long_refs.clear();

  const size_t fixed_end = plan.first_tagged;
  for (size_t i = 0; i < fixed_end; ++i) {
    const ColumnPlan::Item& item = plan.items[i];
    const ColumnDef& column = *item.column;
    RecordField& field = record.fields[i];
    field.column = &column;
    const uint32_t id = column.id;
    if (id <= lay.last_fixed) {
      fixed_value(d, lay, column, item.fixed_offset, field.value);
    } else if (id >= 128 && id <= lay.last_variable) {
      variable_value(d, lay, column, field.value);
    } else {
      absent_value(column, field.value);  // past the record's last fixed or variable id
    }
  }
  if (fixed_end == plan.items.size()) return;

  // Tagged columns come last, in ascending id order: match them against the
  // entries (also by id) in one merge. Among equal ids the last entry wins.
  std::vector<TaggedSlot>& slots = scratch.tagged;
  parse_tagged(d, lay, large_layout, slots);
  size_t at = 0;
  for (size_t i = fixed_end; i < plan.items.size(); ++i) {
    const ColumnDef& column = *plan.items[i].column;
    const size_t k = last_tagged_slot(slots, column.id, at);
    RecordField& field = record.fields[i];
    field.column = &column;
    if (k == slots.size()) {  // no entry
      absent_value(column, field.value);
      continue;
    }
    const TaggedSlot& s = slots[k];
    if (s.flags & 0x04) scratch.long_refs.push_back(static_cast<uint32_t>(i));
    tagged_value(d, s, column, field.value);
  }
}

Record parse_record(ByteView d, const ColumnPlan& plan, bool large_layout,
                    RecordScratch& scratch) {
  Record record;
  parse_record_into(d, plan, large_layout, scratch, record);
  return record;
}

Record parse_record(ByteView data, const ColumnPlan& plan, bool large_layout) {
  thread_local RecordScratch scratch;
  return parse_record(data, plan, large_layout, scratch);
}

// ---------------------------------------------------------------------------
// Long values

std::optional<LongValueRef> long_value_ref(ByteView reference) {
  if (reference.size() >= 8) return LongValueRef{load_u64le(reference.data()), 8};
  if (reference.size() >= 4) return LongValueRef{load_u32le(reference.data()), 4};
  return std::nullopt;
}

ColumnValue long_value_from_chunks(const LongValueChunks* found, const ColumnDef& column) {
  static const LongValueChunks kNone;
  const LongValueChunks& lv = found != nullptr ? *found : kNone;
  std::vector<LongValueChunk> storage;
  const std::span<const LongValueChunk> chunks = chunks_by_offset(lv, storage);
  const uint64_t size = joined_size(lv);

  const bool is_text = column.column_type == 10 || column.column_type == 12;
  // A single chunk that needs no cut decodes straight from the mapping.
  if (is_text && chunks.size() == 1 && size == chunks[0].second.size()) {
    TextValue text;
    if (decode_text_into(chunks[0].second, column.codepage.value_or(1252), text.utf8)) return text;
  }
  std::vector<uint8_t> bytes;
  join_chunks(chunks, size, bytes);
  if (is_text) {
    TextValue text;
    if (decode_text_into(bytes, column.codepage.value_or(1252), text.utf8)) return text;
  }
  return BinaryValue{std::move(bytes)};
}

// ---------------------------------------------------------------------------
// TableRecords

Result<TableStart> start_table(const Database& db, const Name& name) {
  auto table = db.table(name);
  if (!table) return table.error();
  TreeCursor cursor(db, (*table)->root_page);
  cursor.start();
  if (cursor.root_failed()) return cursor.status().error();
  return TableStart{*table, std::move(cursor)};
}

Result<std::unique_ptr<TableRecords>> TableRecords::open(const Database& db, const Name& name) {
  auto start = start_table(db, name);
  if (!start) return start.error();
  return std::unique_ptr<TableRecords>(
      new TableRecords(db, *start->table, std::move(start->cursor)));
}

TableRecords::TableRecords(const Database& db, const TableDef& table, TreeCursor cursor)
    : db_(&db), table_(&table), plan_(ColumnPlan::build(table)), cursor_(std::move(cursor)) {}

Result<std::optional<Record>> TableRecords::next() {
  Record record;
  auto more = next_into(record);
  if (!more) return more.error();
  if (!*more) return std::optional<Record>();
  return std::optional<Record>(std::move(record));
}

Result<bool> TableRecords::next_into(Record& record) {
  ByteView data;
  Result<bool> more = next_record_data(cursor_, primed_, data);
  if (!more || !*more) return more;
  parse_record_into(data, plan_, db_->large_layout(), scratch_, record);
  if (!scratch_.long_refs.empty()) resolve_long_values(record);
  return true;
}

// Replaces each long-value reference found by parse_record (tagged values
// flagged 0x04; inline Long Binary values keep their bytes) by the contents
// of the value, from the index of the table's first long-value tree. The
// index is built on the first reference of the pass that needs it.
void TableRecords::resolve_long_values(Record& record) {
  for (uint32_t index : scratch_.long_refs) {
    RecordField& field = record.fields[index];
    const auto* ref = std::get_if<LongBinaryValue>(&field.value);
    if (ref == nullptr) continue;
    const LongValueChunks* found = nullptr;
    if (!find_long_value(ref->bytes, &found)) continue;  // the reference stays as it is
    field.value = long_value_from_chunks(found, *field.column);
  }
}

bool TableRecords::find_long_value(ByteView reference, const LongValueChunks** found) {
  *found = nullptr;
  const std::optional<LongValueRef> id = long_value_ref(reference);
  if (!id || table_->long_values.empty()) return true;
  if (!lv_built_) {
    lv_index_ = LongValueIndex::build(*db_, table_->long_values[0].second.root_page);
    lv_built_ = true;
  }
  if (lv_index_->descent_failed()) return false;
  *found = lv_index_->find(id->id, id->width);
  return true;
}

Result<bool> TableRecords::next_data(ByteView& data) {
  return next_record_data(cursor_, primed_, data);
}

}  // namespace quarlet
