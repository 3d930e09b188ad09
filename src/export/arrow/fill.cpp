// Filling a batch's column builders straight from record bytes: records
// gathered a chunk at a time, each column's cells found in them (fixed,
// variable, tagged), and the values the plain path cannot take appended in
// their general form (defaults, long values, encoded entries).
#include "export/arrow/reader.hpp"

#include <algorithm>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

#include "export/arrow/column_builder.hpp"
#include "page/leaf.hpp"

namespace quarlet {

namespace {

// Records per chunk: their bytes stay in the nearest caches while every
// column's values are taken from them.
constexpr size_t kChunkRecords = 256;

constexpr uint8_t kEncodedFlags = kTaggedCompressed | kTaggedSeparated | kTaggedMultiValue;

// How far ahead of the record being taken its successors' bytes are asked
// for, and the most bytes of a record asked for.
constexpr size_t kPrefetchAhead = 6;
constexpr size_t kPrefetchBytes = 512;

// Asks for the cache lines of a record's first bytes.
QUARLET_PREFETCH_INLINE void prefetch_record(ByteView r) {
  const size_t n = std::min(r.size(), kPrefetchBytes);
  for (size_t at = 0; at < n; at += 64) prefetch_bytes(r.data() + at);
  if (n != 0) prefetch_bytes(r.data() + n - 1);
}

}  // namespace

std::unique_ptr<ArrowTableReader::Builder> ArrowTableReader::make_builder() {
  auto b = std::make_unique<Builder>();
  const size_t n = columns_.size();
  b->pool = std::make_unique<BuilderPool>();
  b->columns.assign(n, nullptr);
  b->out_of_form.assign(n, 0);
  b->active.assign(n, 0);
  b->filled.assign(n, 0);
  b->seen.assign(n, 0);
  return b;
}

void ArrowTableReader::index_columns() {
  const size_t n = plan_->items.size();
  always_.clear();
  tagged_sorted_.clear();
  for (size_t i = 0; i < n; ++i) {
    const ColumnDef& column = *columns_[i].column;
    // A column given its default where a record lacks it is built in every
    // chunk, whether the chunk holds values of it or not.
    if (i < plan_->first_tagged || takes_default(column)) {
      always_.push_back(static_cast<uint32_t>(i));
    } else {
      tagged_sorted_.emplace_back(column.id, static_cast<uint32_t>(i));
    }
  }
  if (!std::is_sorted(tagged_sorted_.begin(), tagged_sorted_.end())) {
    std::sort(tagged_sorted_.begin(), tagged_sorted_.end());
  }
  tagged_by_id_.clear();
  if (tagged_sorted_.empty()) return;
  const uint64_t base = tagged_sorted_.front().first;
  const uint64_t span = uint64_t{tagged_sorted_.back().first} - base + 1;
  // Ids of real tables lie close together; a dense map of a few entries per
  // column costs little and finds each entry's column in one step.
  if (span <= 4 * tagged_sorted_.size() + 4096) {
    tagged_base_ = static_cast<uint32_t>(base);
    tagged_by_id_.assign(static_cast<size_t>(span), 0);
    for (const auto& [id, i] : tagged_sorted_) tagged_by_id_[id - base] = i + 1;
    tagged_sorted_.clear();
  }
}

ColumnBuilder& ArrowTableReader::touch(Builder& b, size_t i) {
  if (!b.active[i]) {
    if (b.columns[i] == nullptr) {
      b.columns[i] = &b.pool->items.emplace_back(columns_[i].type, columns_[i].is_list,
                                                 &b.batch_bytes, decode_);
    }
    b.columns[i]->begin();
    b.active[i] = 1;
    b.filled[i] = 0;
  }
  ColumnBuilder& builder = *b.columns[i];
  builder.append_nulls(b.batch_rows - b.filled[i]);
  b.filled[i] = b.batch_rows;
  return builder;
}

void ArrowTableReader::chunk_columns(Builder& b, const Plan& plan, size_t first, size_t count) {
  b.order.clear();
  if (++b.stamp == 0) {
    // The stamps wrapped around: none may match a past chunk's.
    std::fill(b.seen.begin(), b.seen.end(), 0);
    b.stamp = 1;
  }
  const auto mark = [&](uint32_t index) {
    if (b.seen[index] != b.stamp) {
      b.seen[index] = b.stamp;
      b.order.push_back(index);
    }
  };
  if (!tagged_by_id_.empty() || !tagged_sorted_.empty()) {
    const RecordScratch::TaggedSlot* slots = plan.slots.data();
    const ChunkRecord* records = plan.records.data() + first;
    const size_t span = tagged_by_id_.size();
    for (size_t r = 0; r < count; ++r) {
      for (uint32_t k = records[r].slots_begin; k < records[r].slots_end; ++k) {
        const uint32_t id = slots[k].id;
        if (span != 0) {
          const uint32_t at = id - tagged_base_;  // wraps past the end below the base
          if (at < span && tagged_by_id_[at] != 0) mark(tagged_by_id_[at] - 1);
        } else {
          const auto it = std::lower_bound(tagged_sorted_.begin(), tagged_sorted_.end(),
                                           std::make_pair(id, uint32_t{0}));
          if (it != tagged_sorted_.end() && it->first == id) mark(it->second);
        }
      }
    }
    std::sort(b.order.begin(), b.order.end());
  }
  if (!always_.empty()) {
    const size_t tagged = b.order.size();
    b.order.insert(b.order.end(), always_.begin(), always_.end());
    std::inplace_merge(b.order.begin(), b.order.begin() + static_cast<std::ptrdiff_t>(tagged),
                       b.order.end());
  }
}

void ArrowTableReader::append_field(Builder& b, size_t i, const DecodedField& field) {
  ColumnBuilder& builder = *b.columns[i];
  if (field.is_list && columns_[i].is_list) {
    b.out_of_form[i] += builder.append_list(field.elements);
  } else if (field.is_list) {
    // Split into a list in a column the catalog does not call multi-valued.
    builder.append_null();
    ++b.out_of_form[i];
  } else if (!builder.append(field.value)) {
    ++b.out_of_form[i];
  }
}

void ArrowTableReader::append_value(Builder& b, size_t i, ByteView bytes) {
  const ColumnDef& column = *columns_[i].column;
  ColumnBuilder& builder = *b.columns[i];
  // A multi-valued column: bytes of another form than its Arrow type.
  decode_value_into(bytes, column, b.value);
  if (decode_) signed_view(column, b.value);
  if (!builder.append(b.value)) ++b.out_of_form[i];
}

void ArrowTableReader::append_default(Builder& b, size_t i) {
  if (decode_) {
    decode_default(*columns_[i].column, b.field);
    append_field(b, i, b.field);
    return;
  }
  const ColumnDef& column = *columns_[i].column;
  b.value.emplace<std::monostate>();
  decode_value_into(*column.default_value, column, b.value);
  if (!b.columns[i]->append(b.value)) ++b.out_of_form[i];
}

void ArrowTableReader::append_long_value(Builder& b, size_t i, ByteView reference) {
  const ColumnDef& column = *columns_[i].column;
  ColumnBuilder& builder = *b.columns[i];
  const LongValueChunks* found = nullptr;
  bool entered = false;
  {
    // The long-value index fills as far as a lookup needs, under the lock;
    // a value it gave stays as it is, so its chunks are read without it.
    std::lock_guard<std::mutex> lock(long_values_);
    entered = raw_->find_long_value(reference, &found);
  }
  if (!entered) {
    // The tree cannot be entered: the reference stays as it is.
    b.value.emplace<LongBinaryValue>().bytes.assign(reference.begin(), reference.end());
  } else if (plain_[i] && builder.type() == ArrowType::Binary) {
    // Bytes of a Binary column go straight from the chunks into the batch.
    static const LongValueChunks kNone;
    const LongValueChunks& lv = found != nullptr ? *found : kNone;
    const std::span<const LongValueChunk> chunks = chunks_by_offset(lv, b.chunk_storage);
    if (!builder.append_joined(chunks, joined_size(lv))) ++b.out_of_form[i];
    return;
  } else {
    b.value = long_value_from_chunks(found, column);
  }
  if (!builder.append(b.value)) ++b.out_of_form[i];
}

int ArrowTableReader::take_record(ByteView& data) {
  Result<bool> more = decode_ ? decoded_->next_data(data) : raw_->next_data(data);
  if (!more) {
    error_ = more.error();
    return -1;
  }
  return *more ? 1 : 0;
}

uint8_t ArrowTableReader::add_record(Plan& plan, ByteView data) {
  ChunkRecord& rec = plan.records.emplace_back(data);
  if (plan_->first_tagged == plan_->items.size()) return 0;
  rec.slots_begin = static_cast<uint32_t>(plan.slots.size());
  append_tagged(data, rec.lay, db_->large_layout(), plan.slots);
  rec.slots_end = static_cast<uint32_t>(plan.slots.size());
  uint8_t flags = 0;
  for (uint32_t k = rec.slots_begin; k < rec.slots_end; ++k) flags |= plan.slots[k].flags;
  return flags;
}

void ArrowTableReader::gather(Plan& plan, size_t want) {
  plan.clear();
  // A value that may be large: long values in either view, and in the
  // decoded one also what decoding expands.
  const uint8_t large = decode_ ? kEncodedFlags : kTaggedSeparated;
  while (plan.records.size() < want) {
    ByteView data;
    const int got = take_record(data);
    if (got < 0) return;
    if (got == 0) {
      ended_ = true;
      return;
    }
    if (add_record(plan, data) & large) return;
  }
}

void ArrowTableReader::build_batch(Builder& b, const std::vector<ByteView>& records,
                                   const std::function<void(Part&&)>& give) {
  const uint8_t large = decode_ ? kEncodedFlags : kTaggedSeparated;
  const size_t n = records.size();
  size_t next = 0;
  while (next < n) {
    // A chunk ends early after a record holding a value that may be large,
    // so that the part's size is checked after it.
    b.chunk.clear();
    while (next < n && b.chunk.records.size() < kChunkRecords) {
      // The walk read these records a batch ago: they are asked for again
      // a few records ahead.
      if (next + kPrefetchAhead < n) prefetch_record(records[next + kPrefetchAhead]);
      b.record_bytes += records[next].size();
      if (add_record(b.chunk, records[next++]) & large) break;
    }
    build(b, b.chunk, 0, b.chunk.records.size());
    b.rows += static_cast<uint32_t>(b.chunk.records.size());
    if (b.batch_bytes >= batch_data_ && next < n) {
      Part part;
      finish_part(b, part);
      give(std::move(part));
    }
  }
}

void ArrowTableReader::finish_part(Builder& b, Part& part) {
  part.out_of_form.assign(columns_.size(), 0);
  if (b.rows == 0) return;
  part.rows = b.rows;
  // What was read for it: its records and their long values.
  part.record_bytes = b.record_bytes + b.batch_bytes;
  finish(b, b.rows, &part.array, part.out_of_form);
  b.rows = 0;
  b.record_bytes = 0;
}

void ArrowTableReader::stored_cells(Builder& b, const Plan& plan, size_t first, size_t count,
                                    size_t i) {
  const ColumnPlan::Item& item = plan_->items[i];
  const ColumnDef& column = *item.column;
  const uint32_t id = column.id;
  const bool defaults = takes_default(column);
  const bool plain = plain_[i] != 0;
  const ArrowCell::Kind present_kind = plain ? ArrowCell::Plain : ArrowCell::Value;
  const ChunkRecord* records = plan.records.data() + first;
  ArrowCell* cells = b.cells.data();
  for (size_t r = 0; r < count; ++r) {
    const ChunkRecord& rec = records[r];
    const RecordLayout& lay = rec.lay;
    ArrowCell& cell = cells[r];
    cell.record = static_cast<uint32_t>(first + r);
    if (defaults && !(id < 128 ? id <= lay.last_fixed : id <= lay.last_variable)) {
      cell.kind = ArrowCell::Default;  // a column the record does not hold
      continue;
    }
    ByteView bytes;
    bool present = false;
    if (id <= lay.last_fixed) {
      present = fixed_column_bytes(rec.data, lay, column, item.fixed_offset, bytes);
    } else if (id <= lay.last_variable) {
      present = variable_column_bytes(rec.data, lay, column, bytes);
    }
    cell.data = bytes.data();
    cell.size = static_cast<uint32_t>(bytes.size());
    cell.kind = !present || (bytes.empty() && plain) ? ArrowCell::Null : present_kind;
  }
}

void ArrowTableReader::tagged_cells(Builder& b, const Plan& plan, size_t first, size_t count,
                                    size_t i) {
  const ColumnDef& column = *plan_->items[i].column;
  const uint32_t id = column.id;
  const bool defaults = takes_default(column);
  const ArrowCell::Kind present_kind = plain_[i] ? ArrowCell::Plain : ArrowCell::Value;
  const RecordScratch::TaggedSlot* slots = plan.slots.data();
  const ChunkRecord* records = plan.records.data() + first;
  for (size_t r = 0; r < count; ++r) {
    const ChunkRecord& rec = records[r];
    ArrowCell& cell = b.cells[r];
    cell.record = static_cast<uint32_t>(first + r);
    // Tagged columns come in ascending id order, as the record's entries:
    // one merge per record over all columns. Among equal ids the last
    // entry wins.
    uint32_t at = b.merge_at[r];
    while (at < rec.slots_end && slots[at].id < id) ++at;
    uint32_t last = at;
    while (last < rec.slots_end && slots[last].id == id) ++last;
    b.merge_at[r] = at;
    if (last == at) {
      cell.kind = defaults ? ArrowCell::Default : ArrowCell::Null;
      continue;
    }
    const RecordScratch::TaggedSlot& slot = slots[last - 1];
    cell.data = rec.data.data() + slot.begin;
    cell.size = slot.end - slot.begin;
    cell.slot = last - 1;
    if (slot.flags & kEncodedFlags) {
      cell.kind = ArrowCell::Encoded;
    } else {
      cell.kind = cell.size == 0 && present_kind == ArrowCell::Plain ? ArrowCell::Null
                                                                      : present_kind;
    }
  }
}

void ArrowTableReader::append_other(Builder& b, const Plan& plan, size_t i,
                                    const ArrowCell& cell) {
  switch (cell.kind) {
    case ArrowCell::Null:
    case ArrowCell::Plain:
      break;  // taken by the builder
    case ArrowCell::Default:
      append_default(b, i);
      break;
    case ArrowCell::Value:
      append_value(b, i, ByteView(cell.data, cell.size));
      break;
    case ArrowCell::Encoded: {
      const ByteView bytes(cell.data, cell.size);
      const RecordScratch::TaggedSlot& slot = plan.slots[cell.slot];
      // Arrow has no type for compressed text: a text column carries its
      // compressed values decompressed in the raw view too.
      const bool text = columns_[i].type == ArrowType::Utf8 && !columns_[i].is_list &&
                        (slot.flags & kTaggedCompressed) && !(slot.flags & kTaggedMultiValue);
      if (decode_ || text) {
        {
          // Decoding shares the long-value source and its buffer.
          std::lock_guard<std::mutex> lock(long_values_);
          LongValueSource& lv = decode_ ? decoded_->long_values() : raw_long_values();
          std::vector<uint8_t>& buffer = decode_ ? decoded_->buffer() : raw_buffer_;
          decode_tagged_entry(plan.records[cell.record].data, slot, *columns_[i].column, lv,
                              buffer, b.field);
        }
        append_field(b, i, b.field);
      } else if (slot.flags & kTaggedSeparated) {
        append_long_value(b, i, bytes);
      } else if (!b.columns[i]->append_stored(bytes)) {
        // Compressed or multi-valued bytes: only a Binary column takes them.
        ++b.out_of_form[i];
      }
      break;
    }
  }
}

void ArrowTableReader::build(Builder& b, const Plan& plan, size_t first, size_t count) {
  b.cells.resize(count);
  b.merge_at.resize(count);
  for (size_t r = 0; r < count; ++r) b.merge_at[r] = plan.records[first + r].slots_begin;
  // Only the columns the chunk holds values of (or defaults): a record costs
  // what it stores, not what the table declares.
  chunk_columns(b, plan, first, count);
  for (const uint32_t i : b.order) {
    ColumnBuilder& builder = touch(b, i);
    b.filled[i] = b.batch_rows + static_cast<uint32_t>(count);
    const ColumnDef& column = *columns_[i].column;
    if (i < plan_->first_tagged && column.id < 128 && plain_[i] &&
        !takes_default(column)) {
      // A fixed column of a fixed-width type: no cells. Where each record
      // holds the column's bytes, as stored_cells finds them.
      const ChunkRecord* records = plan.records.data() + first;
      const uint64_t offset = plan_->items[i].fixed_offset;
      const auto at = [&](size_t r) -> const uint8_t* {
        const ChunkRecord& rec = records[r];
        ByteView bytes;
        if (column.id > rec.lay.last_fixed ||
            !fixed_column_bytes(rec.data, rec.lay, column, offset, bytes)) {
          return nullptr;
        }
        return bytes.data();
      };
      if (builder.append_fixed(count, column, at)) continue;
    }
    if (i < plan_->first_tagged) {
      stored_cells(b, plan, first, count, i);
    } else {
      tagged_cells(b, plan, first, count, i);
    }
    size_t k = 0;
    while (k < count) {
      k += builder.append_cells(b.cells.data() + k, count - k, column, plain_[i] != 0,
                                b.out_of_form[i]);
      if (k < count) append_other(b, plan, i, b.cells[k++]);
    }
  }
  b.batch_rows += static_cast<uint32_t>(count);
}

void ArrowTableReader::finish(Builder& b, uint32_t rows, ArrowArray* out,
                              std::vector<uint64_t>& out_of_form) {
  auto holder = std::make_unique<ArrayHolder>();
  const size_t n = b.columns.size();
  holder->children.resize(n);
  holder->child_ptrs.resize(n);
  b.batch_rows = rows;
  // The zeros shared by the columns that hold nothing in this batch (a
  // reference held here until every child is filled).
  struct Zeros {
    SharedZeros* z = nullptr;
    ~Zeros() {
      if (z != nullptr) z->drop();
    }
  } zeros;
  // The holders of the columns that hold values, in one block.
  struct Holders {
    HolderBlock* block = nullptr;
    ~Holders() {
      if (block != nullptr) block->drop();
    }
  } holders;
  size_t next_holder = 0;
  for (size_t i = 0; i < n; ++i) {
    ArrowArray* child = &holder->children[i];
    const ArrowColumn& c = columns_[i];
    if (!b.active[i] && !c.is_list) {
      if (zeros.z == nullptr) zeros.z = SharedZeros::make(rows);
      const int64_t n_buffers = c.type == ArrowType::Null ? 0 : is_variable(c.type) ? 3 : 2;
      fill_null_array(child, zeros.z, rows, n_buffers);
    } else {
      if (holders.block == nullptr) {
        size_t built = 0;
        for (size_t j = i; j < n; ++j) built += b.active[j] || columns_[j].is_list ? 1 : 0;
        holders.block = new HolderBlock(built);
      }
      touch(b, i).finish(child, holders.block->take(next_holder++));
      b.active[i] = 0;
    }
    out_of_form[i] += b.out_of_form[i];
    b.out_of_form[i] = 0;
  }
  b.batch_rows = 0;
  // The batch's columns in the order asked for (the plan's output order).
  for (size_t k = 0; k < n; ++k) holder->child_ptrs[k] = &holder->children[plan_->output_index(k)];
  b.batch_bytes = 0;
  fill_array(out, holder.release(), rows, 0, 1);  // a struct of no nulls: no bitmap
}

LongValueSource& ArrowTableReader::raw_long_values() {
  if (!raw_long_values_) raw_long_values_ = std::make_unique<LongValueSource>(db_, &raw_->table());
  return *raw_long_values_;
}

Result<bool> ArrowTableReader::next_here(ArrowArray* out) {
  Builder& b = *here_;
  uint32_t rows = 0;
  while (rows < batch_size_ && !ended_ && !error_) {
    gather(plan_here_, std::min<size_t>(kChunkRecords, batch_size_ - rows));
    const size_t n = plan_here_.records.size();
    if (n == 0) break;
    build(b, plan_here_, 0, n);
    rows += static_cast<uint32_t>(n);
    for (const ChunkRecord& rec : plan_here_.records) read_since_release_ += rec.data.size();
    if (b.batch_bytes >= batch_data_) break;
  }
  if (rows == 0) {
    if (error_) return *error_;
    return false;
  }
  read_since_release_ += b.batch_bytes;
  finish(b, rows, out, out_of_form_);
  // Pages read are handed back once enough of them have been read, so that
  // resident memory stays flat on a long pass, while a short one (and the
  // passes after it) keeps what it mapped in.
  if (read_since_release_ >= ResidentBudget::kBytes) {
    db_->release_resident();
    read_since_release_ = 0;
  }
  batches_given_ = true;
  return true;
}

}  // namespace quarlet
