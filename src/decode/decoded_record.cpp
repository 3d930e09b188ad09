// The decoded view of records: decompression, multi-value splitting, long
// values and catalog defaults layered over the raw record parser.
#include "decode/decoded_record.hpp"

#include <algorithm>
#include <span>
#include <utility>

#include "decode/compression.hpp"
#include "decode/long_value_chunks.hpp"
#include "decode/multivalue.hpp"
#include "record/selection.hpp"
#include "record/text.hpp"

namespace quarlet {

namespace {

bool is_text_column(const ColumnDef& column) {
  return column.column_type == 10 || column.column_type == 12;
}

// The logical bytes of the long value `found` into `out`: its chunks
// decompressed when they are stored compressed, else joined in offset order
// and cut to the total size (the raw rule); then, when `compressed` (the
// record's 0x02 bit) and the chunks were not, the joined bytes decompressed
// as one value. False when there is nothing to decode better than the raw
// view: no entry, a value above the size cap, damaged chunks, or a
// decompression that fails.
bool long_value_bytes(const LongValueChunks* found, bool compressed, std::vector<uint8_t>& out) {
  out.clear();
  if (found == nullptr || found->chunks.empty()) return false;
  std::vector<LongValueChunk> storage;
  const std::span<const LongValueChunk> chunks = chunks_by_offset(*found, storage);
  if (found->total_size) {
    if (*found->total_size > kMaxDecompressedLongValue) return false;
    switch (decompress_long_value(chunks, *found->total_size, out)) {
      case LongValueDecode::Decompressed:
        return true;
      case LongValueDecode::Damaged:
        return false;
      case LongValueDecode::NotCompressed:
        break;
    }
  }
  const uint64_t size = joined_size(*found);
  if (size > kMaxDecompressedLongValue) return false;
  join_chunks(chunks, size, out);
  if (!compressed) return true;
  std::vector<uint8_t> plain;
  if (decompress_value(out, plain) != DecompressStatus::Ok) return false;
  out.swap(plain);
  return true;
}

// A separated value of `column` whose reference is `ref`, into `out`.
// `out` keeps what it holds when the long-value tree cannot be read (as the
// raw view keeps the reference); a value that does not decode takes the raw
// view's resolution.
void decode_separated(ByteView ref, bool compressed, const ColumnDef& column,
                      LongValueSource& lv, ColumnValue& out) {
  const std::optional<LongValueRef> id = long_value_ref(ref);
  if (!id || !lv.has_tree()) {
    out = long_value_from_chunks(nullptr, column);
    return;
  }
  const LongValueIndex* index = lv.index();
  if (index == nullptr) return;  // descent failed: the reference stays
  const LongValueChunks* found = index->find(id->id, id->width);
  // A value stored plainly in one chunk (the common case) needs no copy: the
  // raw view decodes it straight from the mapping.
  if (!compressed && found != nullptr && found->chunks.size() == 1 && found->total_size &&
      found->chunks[0].first == 0 && found->chunks[0].second.size() >= *found->total_size) {
    out = long_value_from_chunks(found, column);
    return;
  }
  std::vector<uint8_t> bytes;
  if (!long_value_bytes(found, compressed, bytes) || bytes.empty()) {
    out = long_value_from_chunks(found, column);
    return;
  }
  decode_bytes_into(bytes, column, out);
}

// A multi-valued value (flags 0x08) into `field`. A value that is itself
// separated (0x04) is fetched first. When the value does not split, the field
// keeps its raw view (the stored bytes, or the resolved long value).
void decode_multivalue(ByteView payload, uint8_t flags, const ColumnDef& column,
                       LongValueSource& lv, std::vector<uint8_t>& buffer, DecodedField& field) {
  std::vector<uint8_t> whole;
  ByteView p = payload;
  if (flags & kTaggedSeparated) {
    const std::optional<LongValueRef> id = long_value_ref(payload);
    const LongValueIndex* index = lv.has_tree() && id ? lv.index() : nullptr;
    if (index == nullptr || !long_value_bytes(index->find(id->id, id->width), false, whole)) {
      decode_separated(payload, false, column, lv, field.value);
      return;
    }
    p = whole;
  }
  auto elements = split_multivalue(static_cast<uint8_t>(flags & ~kTaggedSeparated), p);
  if (!elements) {
    // A separated value that does not split keeps the resolved long value.
    if (flags & kTaggedSeparated) decode_separated(payload, false, column, lv, field.value);
    return;
  }
  field.is_list = true;
  field.value.emplace<std::monostate>();
  field.elements.resize(elements->size());
  for (size_t k = 0; k < elements->size(); ++k) {
    const MultiValueElement& e = (*elements)[k];
    ColumnValue& value = field.elements[k];
    if (e.separated || e.compressed) {
      value.emplace<BinaryValue>().bytes.assign(e.bytes.begin(), e.bytes.end());
      if (e.separated) {
        decode_separated(e.bytes, false, column, lv, value);
      } else {
        decode_compressed_into(e.bytes, column, buffer, value);
      }
    } else {
      decode_bytes_into(e.bytes, column, value);
    }
  }
}

// A tagged value with flags byte `flags` whose payload is `payload` into
// `field`, which holds the raw view of it.
void decode_tagged(ByteView payload, uint8_t flags, const ColumnDef& column, LongValueSource& lv,
                   std::vector<uint8_t>& buffer, DecodedField& field) {
  if (flags & kTaggedMultiValue) {
    decode_multivalue(payload, flags, column, lv, buffer, field);
  } else if (flags & kTaggedSeparated) {
    decode_separated(payload, (flags & kTaggedCompressed) != 0, column, lv, field.value);
  } else if (flags & kTaggedCompressed) {
    decode_compressed_into(payload, column, buffer, field.value);
  }
}

// Long long and Currency values as the engine's own signed 64-bit integers
// (Currency still unscaled): the raw view's unsigned reading of the same
// eight bytes, reinterpreted.
void to_signed(const ColumnDef& column, ColumnValue& value) {
  if (column.column_type == 15) {
    if (const auto* u = std::get_if<uint64_t>(&value)) {
      value.emplace<int64_t>(static_cast<int64_t>(*u));
    }
  } else if (column.column_type == 5) {
    if (const auto* c = std::get_if<CurrencyValue>(&value)) {
      value.emplace<int64_t>(static_cast<int64_t>(c->raw));
    }
  }
}

// A column's catalog default into `out`, when it declares one.
void apply_default(const ColumnDef& column, ColumnValue& out) {
  if (column.default_value) decode_bytes_into(*column.default_value, column, out);
}

constexpr uint8_t kEncoded = kTaggedCompressed | kTaggedSeparated | kTaggedMultiValue;

}  // namespace

void decode_tagged_entry(ByteView d, const RecordScratch::TaggedSlot& s, const ColumnDef& column,
                         LongValueSource& lv, std::vector<uint8_t>& buffer, DecodedField& field) {
  field.column = &column;
  field.elements.clear();
  field.is_list = false;
  tagged_value(d, s, column, field.value);
  if (s.flags & kEncoded) {
    decode_tagged(d.subspan(s.begin, s.end - s.begin), s.flags, column, lv, buffer, field);
  }
  to_signed(column, field.value);
  for (ColumnValue& element : field.elements) to_signed(column, element);
}

void signed_view(const ColumnDef& column, ColumnValue& value) { to_signed(column, value); }

void decode_default(const ColumnDef& column, DecodedField& field) {
  field.column = &column;
  field.elements.clear();
  field.is_list = false;
  field.value.emplace<std::monostate>();
  apply_default(column, field.value);
  to_signed(column, field.value);
}

void decode_bytes_into(ByteView data, const ColumnDef& column, ColumnValue& out) {
  if (is_text_column(column) && !data.empty() &&
      !is_known_codepage(column.codepage.value_or(1252))) {
    out.emplace<BinaryValue>().bytes.assign(data.begin(), data.end());
    return;
  }
  out.emplace<std::monostate>();
  decode_value_into(data, column, out);
}

bool decode_compressed_into(ByteView payload, const ColumnDef& column,
                            std::vector<uint8_t>& buffer, ColumnValue& out) {
  if (decompress_value(payload, buffer) != DecompressStatus::Ok) return false;
  decode_bytes_into(buffer, column, out);
  return true;
}

LongValueSource::LongValueSource(const Database* db, const TableDef* table) : db_(db) {
  if (db != nullptr && table != nullptr && !table->long_values.empty()) {
    has_tree_ = true;
    root_ = table->long_values[0].second.root_page;
  }
}

const LongValueIndex* LongValueSource::index() {
  if (!has_tree_) return nullptr;
  if (!built_) {
    index_ = LongValueIndex::build(*db_, root_);
    built_ = true;
  }
  return index_->descent_failed() ? nullptr : &*index_;
}

void decode_record(ByteView d, const ColumnPlan& plan, bool large_layout, LongValueSource& lv,
                   RecordScratch& scratch, std::vector<uint8_t>& buffer, DecodedRecord& out) {
  Record& raw = scratch.record;
  parse_record_into(d, plan, large_layout, scratch, raw);
  out.fields.resize(raw.fields.size());
  for (size_t i = 0; i < raw.fields.size(); ++i) {
    DecodedField& field = out.fields[i];
    field.column = raw.fields[i].column;
    // A swap: the raw record keeps the old value's storage for the next parse.
    std::swap(field.value, raw.fields[i].value);
    field.elements.clear();
    field.is_list = false;
  }

  // Columns a record does not hold: fixed ids above F, variable ids above V
  // (an explicitly null column is held, and stays null).
  const uint32_t last_fixed = d.size() >= 4 ? d[0] : 0;
  const uint32_t last_variable = d.size() >= 4 ? d[1] : 0;
  const size_t fixed_end = std::min(plan.first_tagged, out.fields.size());
  for (size_t i = 0; i < fixed_end; ++i) {
    const ColumnDef& column = *out.fields[i].column;
    if (!column.default_value) continue;
    const bool held = column.id < 128 ? column.id <= last_fixed : column.id <= last_variable;
    if (!held) apply_default(column, out.fields[i].value);
  }

  // Tagged columns: the same merge of plan and entries as parse_record, whose
  // entries (sorted by id) are still in the scratch. Among equal ids the last
  // entry wins.
  const std::vector<RecordScratch::TaggedSlot>& slots = scratch.tagged;
  size_t at = 0;
  for (size_t i = fixed_end; i < out.fields.size(); ++i) {
    DecodedField& field = out.fields[i];
    const ColumnDef& column = *field.column;
    while (at < slots.size() && slots[at].id < column.id) ++at;
    size_t last = at;
    while (last < slots.size() && slots[last].id == column.id) ++last;
    if (last == at) {
      apply_default(column, field.value);
      continue;
    }
    const RecordScratch::TaggedSlot& s = slots[last - 1];
    if ((s.flags & kEncoded) == 0) continue;  // the raw view is already decoded
    decode_tagged(d.subspan(s.begin, s.end - s.begin), s.flags, column, lv, buffer, field);
  }

  for (DecodedField& field : out.fields) {
    const uint32_t type = field.column->column_type;
    if (type == 10 || type == 12) {
      strip_text_terminators(field.value);
      for (ColumnValue& element : field.elements) strip_text_terminators(element);
      continue;
    }
    if (type != 5 && type != 15) continue;
    to_signed(*field.column, field.value);
    for (ColumnValue& element : field.elements) to_signed(*field.column, element);
  }
}

void strip_text_terminators(ColumnValue& value) {
  if (auto* text = std::get_if<TextValue>(&value)) {
    std::string& s = text->utf8;
    size_t n = s.size();
    while (n != 0 && s[n - 1] == '\0') --n;
    s.resize(n);
  }
}

// ---------------------------------------------------------------------------
// DecodedTableRecords

Result<std::unique_ptr<DecodedTableRecords>> DecodedTableRecords::open(const Database& db,
                                                                       const Name& name) {
  auto start = start_table(db, name);
  if (!start) return start.error();
  return std::unique_ptr<DecodedTableRecords>(
      new DecodedTableRecords(db, *start->table, std::move(start->cursor)));
}

DecodedTableRecords::DecodedTableRecords(const Database& db, const TableDef& table,
                                         TreeCursor cursor)
    : db_(&db),
      table_(&table),
      plan_(ColumnPlan::build(table)),
      cursor_(std::move(cursor)),
      lv_(&db, &table) {}

Status DecodedTableRecords::select(const std::vector<Name>& names) {
  return select_columns(*table_, names, plan_);
}

Result<bool> DecodedTableRecords::next_data(ByteView& data) {
  return next_record_data(cursor_, primed_, data);
}

Result<bool> DecodedTableRecords::next(DecodedRecord& out) {
  ByteView data;
  Result<bool> more = next_record_data(cursor_, primed_, data);
  if (!more || !*more) return more;
  decode_record(data, plan_, db_->large_layout(), lv_, scratch_, buffer_, out);
  return true;
}

}  // namespace quarlet
