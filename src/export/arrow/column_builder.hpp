// Column builders: the values of one column of a batch appended into its
// Arrow buffers, from cells found in record bytes or from values in their
// general form.
#pragma once

#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <span>
#include <vector>

#include "decode/decoded_record.hpp"
#include "decode/multivalue.hpp"
#include "decode/ole_date.hpp"
#include "export/arrow/buffer.hpp"
#include "export/arrow/cell.hpp"
#include "export/arrow/types.hpp"
#include "record/text.hpp"
#include "record/value.hpp"

namespace quarlet {

// A Plain cell's value as its first sizeof(T) bytes, as stored; false when
// it is shorter (not in the type's form). `kFits`: the caller knows every
// cell is long enough.
template <class T, bool kFits = false>
struct TakeLeading {
  bool operator()(const ArrowCell& c, uint8_t* o) const {
    if (!kFits && c.size < sizeof(T)) return false;
    std::memcpy(o, c.data, sizeof(T));
    return true;
  }
};

// Appends the values of one column (or of a list column's elements) of one
// batch. Values are taken only in the form the type names; any other form
// is appended as null and reported.
class ColumnBuilder {
 public:
  // A builder of no batch yet: begin() starts its first. `strip_text`: the
  // decoded view's text, whose trailing U+0000 are not taken
  // (strip_text_terminators).
  ColumnBuilder(ArrowType type, bool is_list, uint64_t* batch_bytes, bool strip_text = false)
      : type_(type), is_list_(is_list), strip_text_(strip_text), batch_bytes_(batch_bytes) {
    if (is_list_) child_ = std::make_unique<ColumnBuilder>(type, false, batch_bytes, strip_text);
  }

  // Starts a batch (after construction or finish). The batch is likely the
  // size of the last one this builder finished: as much is reserved (with
  // some room over for variable-size data), so its buffers do not regrow.
  void begin() {
    const size_t slots = last_slots_;
    const size_t data = is_variable(type_) ? last_data_ + last_data_ / 16
                        : type_ == ArrowType::Bool ? (slots + 7) / 8
                                                   : slots * fixed_width(type_);
    if (slots != 0) {
      validity_.reserve((slots + 7) / 8);
      if (data != 0) values_.reserve(data);
      if (is_list_ || is_variable(type_)) offsets_.reserve(4 * (slots + 1));
    }
    if (is_list_ || is_variable(type_)) offsets_.put(int32_t{0});
    if (child_) child_->begin();
  }

  // `n` null slots at once.
  void append_nulls(size_t n) {
    if (n == 0) return;
    if (is_list_ || is_variable(type_)) {
      const int32_t at = static_cast<int32_t>(is_list_ ? child_->length_ : values_.size());
      offsets_.ensure(n * sizeof at);
      for (size_t k = 0; k < n; ++k) std::memcpy(offsets_.end() + k * sizeof at, &at, sizeof at);
      offsets_.set_size(offsets_.size() + n * sizeof at);
    } else if (type_ == ArrowType::Bool) {
      open_bits(values_, n);
    } else {
      values_.append_zeros(n * fixed_width(type_));
    }
    open_bits(validity_, n);
    length_ += static_cast<int64_t>(n);
    null_count_ += static_cast<int64_t>(n);
    close_bits(validity_);
    if (type_ == ArrowType::Bool && !is_list_) close_bits(values_);
  }

  [[gnu::always_inline]] void append_null() {
    if (is_list_) {
      offsets_.put(static_cast<int32_t>(child_->length_));
    } else if (is_variable(type_)) {
      offsets_.put(static_cast<int32_t>(values_.size()));
    } else if (type_ == ArrowType::Bool) {
      push_bit(values_, length_, false);
    } else {
      values_.append_zeros(fixed_width(type_));
    }
    push_bit(validity_, length_, false);
    ++null_count_;
    ++length_;
  }

  // A scalar value: true when taken (or null), false when its form does not
  // match, and it is appended as null. In a list column a value is a list
  // of one (a multi-valued column holding a single value).
  bool append(const ColumnValue& v) {
    if (std::holds_alternative<std::monostate>(v)) {
      append_null();
      return true;
    }
    if (is_list_) {
      if (child_->length_ >= static_cast<int64_t>(kInt32Max) || !child_->take(v)) {
        append_null();
        return false;
      }
      child_->close_value();
      close_value();
      return true;
    }
    if (!take(v)) {
      append_null();
      return false;
    }
    close_value();
    return true;
  }

  // A list of values (list columns only). Returns how many elements were
  // not in their type's form (each null in the list); a list whose elements
  // would overflow the batch's 32-bit offsets is null and counts as one.
  uint64_t append_list(const std::vector<ColumnValue>& elements) {
    if (elements.size() > kInt32Max - static_cast<size_t>(child_->length_)) {
      append_null();
      return 1;
    }
    uint64_t bad = 0;
    for (const ColumnValue& e : elements) bad += child_->append(e) ? 0 : 1;
    close_value();
    return bad;
  }

  // Stored bytes taken as they are (a Binary column's compressed or
  // multi-valued bytes); false, appended as null, unless this is a scalar
  // Binary builder.
  bool append_stored(ByteView data) {
    if (type_ != ArrowType::Binary || is_list_ || !put_bytes(data.data(), data.size())) {
      append_null();
      return false;
    }
    close_value();
    return true;
  }

  // A long value of a Binary column joined from its chunks (`size` bytes,
  // joined_size) straight into the batch; false, appended as null, when the
  // batch's 32-bit offsets cannot reach past it.
  bool append_joined(std::span<const LongValueChunk> chunks, uint64_t size) {
    if (size > kInt32Max - values_.size()) {
      append_null();
      return false;
    }
    const size_t n = static_cast<size_t>(size);
    uint8_t* at = values_.extend(n);
    const size_t written = join_chunks_to(chunks, n, at);
    if (written < n) std::memset(at + written, 0, n - written);
    *batch_bytes_ += n;
    offsets_.put(static_cast<int32_t>(values_.size()));
    close_value();
    return true;
  }

  // Appends the cells' values in order, up to the first cell that is not
  // Null or Plain (its index is returned; `count` when there is none). A
  // Plain cell's bytes (never empty here) are decoded straight into the
  // batch, exactly as decode_value_into and then append() would take them
  // (in the decoded view: Long long and Currency signed, dates as
  // timestamps); values not in the type's form are null, counted in
  // `out_of_form`. This builder is of its column's plain type (`plain`); for
  // other columns (multi-valued: no Plain cells) only Null cells are taken.
  size_t append_cells(const ArrowCell* cells, size_t count, const ColumnDef& column, bool plain,
                      uint64_t& out_of_form) {
    if (is_list_ || !plain) return append_null_cells(cells, count);
    switch (column.column_type) {
      case 1:
        return run_bits(cells, count);
      case 9:
      case 11:
      case 16:
        return run_variable(cells, count, column, out_of_form);
      case 10:
      case 12:
        // Text of a code page no view decodes is Null in both.
        if (!is_known_codepage(column.codepage.value_or(1252))) {
          return append_null_cells(cells, count, true);
        }
        return run_variable(cells, count, column, out_of_form);
      default: {
        const size_t k = run_fixed_type<false>(cells, count, column.column_type, out_of_form);
        return k != kNotFixed ? k : append_null_cells(cells, count, true);
      }
    }
  }

  ArrowType type() const { return type_; }
  bool is_list() const { return is_list_; }

  // Moves the batch's buffers into `out`, held by `held` (one of a batch's
  // HolderBlock) or else by a holder of its own; begin() starts the next
  // batch.
  void finish(ArrowArray* out, ArrayHolder* held = nullptr) {
    std::unique_ptr<ArrayHolder> own(held == nullptr ? new ArrayHolder() : nullptr);
    ArrayHolder* holder = held != nullptr ? held : own.get();
    int64_t n_buffers = 0;
    const auto hand = [&](Buffer& b) {
      holder->owned[n_buffers] = b.release();
      holder->buffers[n_buffers] = holder->owned[n_buffers];
      ++n_buffers;
    };
    const bool null_type = type_ == ArrowType::Null && !is_list_;
    last_data_ = values_.size();
    if (!null_type) {
      if (null_count_ == 0) {
        // No bitmap when nothing is null: consumers then skip the checks.
        ++n_buffers;
      } else {
        hand(validity_);
      }
    }
    if (is_list_) {
      hand(offsets_);
      holder->children.resize(1);
      holder->child_ptrs.push_back(&holder->children[0]);
      child_->finish(&holder->children[0]);
    } else if (is_variable(type_)) {
      hand(offsets_);
      hand(values_);
    } else if (!null_type) {
      hand(values_);
    }
    // A null-type array has no buffers; its every slot is null.
    const int64_t null_count = null_type ? length_ : null_count_;
    (void)own.release();  // the array owns it from now on
    fill_array(out, holder, length_, null_count, n_buffers);
    last_slots_ = static_cast<size_t>(length_);
    length_ = 0;
    null_count_ = 0;
    validity_.reset();
    values_.reset();
    offsets_.reset();
  }

 private:
  // Appends the value bytes of a non-null scalar `v`; false, nothing
  // appended, when it is not in this type's form.
  bool take(const ColumnValue& v) {
    switch (type_) {
      case ArrowType::Null:
        return false;
      case ArrowType::Bool:
        if (const bool* b = std::get_if<bool>(&v)) {
          push_bit(values_, length_, *b);
          return true;
        }
        return false;
      case ArrowType::UInt8: return put_as<uint8_t>(v);
      case ArrowType::Int16: return put_as<int16_t>(v);
      case ArrowType::UInt16: return put_as<uint16_t>(v);
      case ArrowType::Int32: return put_as<int32_t>(v);
      case ArrowType::UInt32: return put_as<uint32_t>(v);
      case ArrowType::Int64: return put_as<int64_t>(v);
      case ArrowType::Float32: return put_as<float>(v);
      case ArrowType::Float64: return put_as<double>(v);
      case ArrowType::UInt64:
        if (const auto* u = std::get_if<uint64_t>(&v)) {
          values_.put(*u);
        } else if (const auto* d = std::get_if<DateTimeValue>(&v)) {
          values_.put(d->raw);
        } else if (const auto* c = std::get_if<CurrencyValue>(&v)) {
          values_.put(c->raw);
        } else {
          return false;
        }
        return true;
      case ArrowType::TimestampUs: {
        int64_t micros = 0;
        const auto* dt = std::get_if<DateTimeValue>(&v);
        if (dt == nullptr || !stored_date_to_unix_micros(dt->raw, &micros)) return false;
        values_.put(micros);
        return true;
      }
      case ArrowType::Utf8:
        if (const auto* t = std::get_if<TextValue>(&v)) {
          return put_bytes(t->utf8.data(), text_size(t->utf8.data(), t->utf8.size()));
        }
        if (const auto* g = std::get_if<GuidValue>(&v)) {
          if (kGuidTextSize > kInt32Max - values_.size()) return false;
          char* text = reinterpret_cast<char*>(values_.extend(kGuidTextSize));
          format_guid_into(g->bytes.data(), text);
          *batch_bytes_ += kGuidTextSize;
          offsets_.put(static_cast<int32_t>(values_.size()));
          return true;
        }
        return false;
      case ArrowType::Binary:
        if (const auto* b = std::get_if<BinaryValue>(&v)) return put_vector(b->bytes);
        if (const auto* l = std::get_if<LongBinaryValue>(&v)) return put_vector(l->bytes);
        if (const auto* m = std::get_if<MultiValueValue>(&v)) return put_vector(m->bytes);
        return false;
    }
    return false;
  }

  // append_cells for cells whose values are all Null (`plain_null`: Plain
  // cells too).
  size_t append_null_cells(const ArrowCell* cells, size_t count, bool plain_null = false) {
    for (size_t k = 0; k < count; ++k) {
      const ArrowCell& c = cells[k];
      if (c.kind != ArrowCell::Null && !(plain_null && c.kind == ArrowCell::Plain)) return k;
      append_null();
    }
    return count;
  }

  // Room in a bitmap of length_ bits (its size ceil(length_ / 8)) for
  // `count` more, zeroed; the size stays until close_bits.
  void open_bits(Buffer& bits, size_t count) {
    const size_t have = bits.size();
    const size_t need = (static_cast<size_t>(length_) + count + 7) / 8;
    bits.ensure(need - have);
    std::memset(bits.end(), 0, need - have);
  }
  void close_bits(Buffer& bits) { bits.set_size((static_cast<size_t>(length_) + 7) / 8); }

  // Cell k of an array of cells, or of a function giving them.
  static const ArrowCell& cell_at(const ArrowCell* cells, size_t k) { return cells[k]; }
  template <class F>
  static ArrowCell cell_at(const F& cells, size_t k) { return cells(k); }

  static void set_bit(uint8_t* bits, int64_t i) {
    bits[i >> 3] |= static_cast<uint8_t>(1u << (i & 7));
  }

 public:
  // A fixed column's values straight from the records: at(r) is where
  // record r holds the column's `column.size` bytes, null when it holds no
  // value. False (nothing appended) for a type this does not take, or one
  // whose values may be out of form: the caller then goes through cells.
  template <class At>
  [[gnu::always_inline]] bool append_fixed(size_t count, const ColumnDef& column, At at) {
    const uint32_t size = column.size;
    // Only where no value can be out of form: the declared size gives the
    // type's width (exactly one byte for an Unsigned byte), and no date is
    // converted.
    const size_t width = fixed_width(type_);
    if (is_list_ || width == 0 || size < width || (width == 1 && size != 1) ||
        type_ == ArrowType::TimestampUs) {
      return false;
    }
    const auto cells = [&](size_t r) {
      ArrowCell c;
      c.data = at(r);
      c.size = size;
      c.kind = c.data != nullptr ? ArrowCell::Plain : ArrowCell::Null;
      return c;
    };
    uint64_t out_of_form = 0;  // stays 0, as said above
    return run_fixed_type<true>(cells, count, column.column_type, out_of_form) != kNotFixed;
  }

 private:
  // What run_fixed_type returns for a column type that is not fixed-width.
  static constexpr size_t kNotFixed = ~size_t{0};

  // The values of a fixed-width column type from the cells (an array of
  // them, or a function giving cell k): run_fixed of the type's width, with
  // dates as timestamps in the decoded view. kNotFixed for other types.
  // `kFits`: every Plain cell is known to be of the type's width.
  template <bool kFits, class Cell>
  [[gnu::always_inline]] size_t run_fixed_type(Cell cells, size_t count, uint32_t column_type,
                                               uint64_t& out_of_form) {
    switch (column_type) {
      case 2:
        return run_fixed<uint8_t>(cells, count, out_of_form, [](const ArrowCell& c, uint8_t* o) {
          if (!kFits && c.size != 1) return false;
          *o = c.data[0];
          return true;
        });
      case 3:
      case 17:
        return run_fixed<uint16_t>(cells, count, out_of_form, TakeLeading<uint16_t, kFits>{});
      case 4:
      case 6:
      case 14:
        return run_fixed<uint32_t>(cells, count, out_of_form, TakeLeading<uint32_t, kFits>{});
      case 5:
      case 7:
      case 15:
        return run_fixed<uint64_t>(cells, count, out_of_form, TakeLeading<uint64_t, kFits>{});
      case 8:
        if (type_ == ArrowType::TimestampUs) {
          return run_fixed<int64_t>(cells, count, out_of_form, [](const ArrowCell& c, uint8_t* o) {
            int64_t micros = 0;
            if (c.size < 8 || !stored_date_to_unix_micros(load_u64le(c.data), &micros)) return false;
            std::memcpy(o, &micros, 8);
            return true;
          });
        }
        return run_fixed<uint64_t>(cells, count, out_of_form, TakeLeading<uint64_t, kFits>{});
      default:
        return kNotFixed;
    }
  }

  // Fixed-width values of T from the cells cell(k) gives: take(cell, out)
  // writes a Plain cell's value and returns true, or false when it is not
  // in the type's form.
  template <class T, class Take, class Cell = const ArrowCell* >
  [[gnu::always_inline]] size_t run_fixed(Cell cells, size_t count, uint64_t& out_of_form,
                                          Take take) {
    values_.ensure(count * sizeof(T));
    open_bits(validity_, count);
    uint8_t* out = values_.end();
    uint8_t* valid = validity_.data();
    int64_t len = length_;
    int64_t nulls = 0;
    uint64_t bad = 0;
    size_t k = 0;
    for (; k < count; ++k) {
      const ArrowCell& c = cell_at(cells, k);
      if (c.kind > ArrowCell::Plain) break;
      if (c.kind == ArrowCell::Plain && take(c, out)) {
        set_bit(valid, len);
      } else {
        std::memset(out, 0, sizeof(T));
        ++nulls;
        bad += c.kind == ArrowCell::Plain ? 1 : 0;
      }
      out += sizeof(T);
      ++len;
    }
    values_.set_size(values_.size() + k * sizeof(T));
    length_ = len;
    null_count_ += nulls;
    out_of_form += bad;
    close_bits(validity_);
    return k;
  }

  // Boolean values as bits: any non-zero first byte is true.
  size_t run_bits(const ArrowCell* cells, size_t count) {
    open_bits(values_, count);
    open_bits(validity_, count);
    uint8_t* bits = values_.data();
    uint8_t* valid = validity_.data();
    int64_t len = length_;
    int64_t nulls = 0;
    size_t k = 0;
    for (; k < count; ++k) {
      const ArrowCell& c = cells[k];
      if (c.kind > ArrowCell::Plain) break;
      if (c.kind == ArrowCell::Plain) {
        if (c.data[0] != 0) set_bit(bits, len);
        set_bit(valid, len);
      } else {
        ++nulls;
      }
      ++len;
    }
    length_ = len;
    null_count_ += nulls;
    close_bits(values_);
    close_bits(validity_);
    return k;
  }

  // Variable-size values: GUIDs as text, text decoded, bytes as they are.
  size_t run_variable(const ArrowCell* cells, size_t count, const ColumnDef& column,
                      uint64_t& out_of_form) {
    offsets_.ensure(count * sizeof(int32_t));
    open_bits(validity_, count);
    uint8_t* valid = validity_.data();
    const uint32_t type = column.column_type;
    const uint32_t codepage = column.codepage.value_or(1252);
    int64_t nulls = 0;
    uint64_t bad = 0;
    size_t k = 0;
    for (; k < count; ++k) {
      const ArrowCell& c = cells[k];
      if (c.kind > ArrowCell::Plain) break;
      bool taken = false;
      if (c.kind == ArrowCell::Plain) {
        const size_t before = values_.size();
        if (type == 16) {
          if (c.size >= 16 && kGuidTextSize <= kInt32Max - before) {
            values_.ensure(kGuidTextSize);
            format_guid_into(c.data, reinterpret_cast<char*>(values_.end()));
            values_.set_size(before + kGuidTextSize);
            taken = true;
          }
        } else if (type == 10 || type == 12) {
          taken = put_text(ByteView(c.data, c.size), codepage);
        } else if (c.size <= kInt32Max - before) {
          values_.ensure(c.size);
          std::memcpy(values_.end(), c.data, c.size);
          values_.set_size(before + c.size);
          taken = true;
        }
        *batch_bytes_ += values_.size() - before;
        bad += taken ? 0 : 1;
      }
      if (taken) {
        set_bit(valid, length_);
      } else {
        ++nulls;
      }
      const int32_t end = static_cast<int32_t>(values_.size());
      std::memcpy(offsets_.end(), &end, sizeof end);
      offsets_.set_size(offsets_.size() + sizeof end);
      ++length_;
    }
    null_count_ += nulls;
    out_of_form += bad;
    close_bits(validity_);
    return k;
  }

  // Text decoded into the data buffer; false, nothing appended, when the
  // batch's 32-bit offsets cannot reach past it.
  bool put_text(ByteView bytes, uint32_t codepage) {
    const size_t before = values_.size();
    const size_t bound = text_size_bound(bytes.size());
    if (bound <= kInt32Max - before) {
      values_.ensure(bound);
      char* at = reinterpret_cast<char*>(values_.end());
      values_.set_size(before + text_size(at, write_text(bytes, codepage, at)));
      return true;
    }
    // Near the offsets' limit: decoded to its exact size first.
    BufferTextSink sink(values_);
    if (!append_text(bytes, codepage, sink)) return false;
    const char* at = reinterpret_cast<const char*>(values_.data()) + before;
    values_.set_size(before + text_size(at, values_.size() - before));
    return true;
  }

  // The size of the UTF-8 text [p, p + n) as this column takes it: without
  // its trailing U+0000 (each one byte 0) in the decoded view.
  size_t text_size(const char* p, size_t n) const {
    if (strip_text_) {
      while (n != 0 && p[n - 1] == '\0') --n;
    }
    return n;
  }

  template <class T>
  bool put_as(const ColumnValue& v) {
    const T* x = std::get_if<T>(&v);
    if (x == nullptr) return false;
    values_.put(*x);
    return true;
  }

  bool put_vector(const std::vector<uint8_t>& bytes) {
    return put_bytes(bytes.data(), bytes.size());
  }

  // Variable-size bytes; false, nothing appended, when the batch's 32-bit
  // offsets cannot reach past them.
  bool put_bytes(const void* p, size_t n) {
    if (n > kInt32Max - values_.size()) return false;
    values_.append(p, n);
    *batch_bytes_ += n;
    offsets_.put(static_cast<int32_t>(values_.size()));
    return true;
  }

  // Ends a valid slot whose data is appended (a list's: its elements).
  [[gnu::always_inline]] void close_value() {
    if (is_list_) offsets_.put(static_cast<int32_t>(child_->length_));
    push_bit(validity_, length_, true);
    ++length_;
  }

  ArrowType type_;
  bool is_list_;
  bool strip_text_;
  uint64_t* batch_bytes_;   // the reader's count of variable-size bytes
  Buffer validity_;         // one bit per slot, set = valid
  Buffer values_;           // fixed-width values, bits (Bool) or variable-size data
  Buffer offsets_;          // int32 offsets: into values_, or into child_ (lists)
  int64_t length_ = 0;
  int64_t null_count_ = 0;
  size_t last_data_ = 0;    // bytes of values_ in the last batch finished
  size_t last_slots_ = 0;   // slots of the last batch finished
  std::unique_ptr<ColumnBuilder> child_;  // a list's elements
};

// Builders made as a pass needs them, in blocks rather than one by one.
struct BuilderPool {
  std::deque<ColumnBuilder> items;
};

}  // namespace quarlet
