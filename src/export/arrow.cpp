// Arrow record batches of table records: column builders that append core
// values into Arrow buffers, the schema and array structs they are handed
// out in (each struct owns its buffers and frees them in its release
// callback), and the C stream over a reader.
#include "export/arrow.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>
#include <condition_variable>
#include <map>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <utility>

#include <sys/mman.h>

#include "decode/multivalue.hpp"
#include "decode/ole_date.hpp"
#include "error/error.hpp"
#include "page/leaf.hpp"
#include "record/text.hpp"

namespace quarlet {

// ---------------------------------------------------------------------------
// Types

ArrowColumn arrow_column(const ColumnDef& column, bool decoded) {
  ArrowColumn out;
  out.column = &column;
  const bool multi = (column.flags & kColumnMultiValued) != 0;
  if (multi && !decoded) {
    out.type = ArrowType::Binary;  // the stored multi-valued bytes
    return out;
  }
  out.is_list = multi;
  switch (column.column_type) {
    case 1: out.type = ArrowType::Bool; break;
    case 2: out.type = ArrowType::UInt8; break;
    case 3: out.type = ArrowType::Int16; break;
    case 4: out.type = ArrowType::Int32; break;
    case 5:   // Currency
    case 15:  // Long long
      out.type = decoded ? ArrowType::Int64 : ArrowType::UInt64;
      break;
    case 6: out.type = ArrowType::Float32; break;
    case 7: out.type = ArrowType::Float64; break;
    case 8: out.type = decoded ? ArrowType::TimestampUs : ArrowType::UInt64; break;
    case 9:
    case 11: out.type = ArrowType::Binary; break;
    case 10:
    case 12:
    case 16: out.type = ArrowType::Utf8; break;  // GUIDs as their text
    case 14: out.type = ArrowType::UInt32; break;
    case 17: out.type = ArrowType::UInt16; break;
    default: out.type = ArrowType::Null; break;  // NULL, Obsolete, Max: always null
  }
  return out;
}

const char* arrow_format(ArrowType type) {
  switch (type) {
    case ArrowType::Null: return "n";
    case ArrowType::Bool: return "b";
    case ArrowType::UInt8: return "C";
    case ArrowType::Int16: return "s";
    case ArrowType::UInt16: return "S";
    case ArrowType::Int32: return "i";
    case ArrowType::UInt32: return "I";
    case ArrowType::Int64: return "l";
    case ArrowType::UInt64: return "L";
    case ArrowType::Float32: return "f";
    case ArrowType::Float64: return "g";
    case ArrowType::Utf8: return "u";
    case ArrowType::Binary: return "z";
    case ArrowType::TimestampUs: return "tsu:UTC";
  }
  return "n";
}

namespace {

// Days from 1970-01-01 to the civil date y-m-d (proleptic Gregorian).
int64_t days_from_civil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

}  // namespace

bool ole_date_to_unix_micros(uint64_t bits, int64_t* out) {
  double days;
  static_assert(sizeof days == sizeof bits);
  std::memcpy(&days, &bits, sizeof days);
  const std::optional<DateTimeParts> p = ole_date_to_utc(days);
  if (!p) return false;
  const int64_t day = days_from_civil(p->year, p->month, p->day);
  const int64_t seconds = day * 86400 + p->hour * 3600 + p->minute * 60 + p->second;
  *out = seconds * 1000000 + p->microsecond;
  return true;
}

std::string arrow_read_error(const EseError& error) {
  return "Error reading record: " + message(error);
}

// ---------------------------------------------------------------------------
// Buffers and builders

namespace {

// A growable byte buffer in malloc'd memory whose block can be handed over
// to an array (and freed by its release callback). Throws std::bad_alloc
// when memory runs out.
//
// A batch's buffers are fresh memory, and taking it one page fault at a
// time costs several times what filling it does. A large block therefore
// has its pages brought in ahead of the writes, a stretch at a time, in one
// call each. The advice is only that: where the system does not take it,
// pages come in on first write as usual.
class Buffer {
 public:
  Buffer() = default;
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;
  ~Buffer() { std::free(data_); }

  size_t size() const { return size_; }
  uint8_t* data() { return data_; }

  // Room for `n` more bytes; returns where they go (size grows by n).
  [[gnu::always_inline]] uint8_t* extend(size_t n) {
    if (cap_ - size_ < n) grow(n);
    uint8_t* at = data_ + size_;
    size_ += n;
    if (size_ > ready_ && cap_ >= kLargeBlock) bring_in(size_);
    return at;
  }
  // Room for `n` more bytes, written through end() and then taken with
  // set_size.
  [[gnu::always_inline]] void ensure(size_t n) {
    if (cap_ - size_ < n) grow(n);
    if (size_ + n > ready_ && cap_ >= kLargeBlock) bring_in(size_ + n);
  }
  uint8_t* end() { return data_ + size_; }
  // The size, at most what ensure made room for.
  void set_size(size_t n) { size_ = n; }
  void append(const void* p, size_t n) {
    if (n != 0) std::memcpy(extend(n), p, n);
  }
  void append_zeros(size_t n) {
    if (n != 0) std::memset(extend(n), 0, n);
  }
  template <class T>
  void put(T v) {
    std::memcpy(extend(sizeof v), &v, sizeof v);
  }
  // Capacity for `n` bytes in all; the size is unchanged.
  void reserve(size_t n) {
    if (n > cap_) resize_block(n);
  }
  // Frees the block and empties the buffer.
  void reset() {
    std::free(data_);
    data_ = nullptr;
    size_ = cap_ = ready_ = 0;
  }
  // Hands the block over (never null: an empty buffer still gets a small
  // block, as consumers may look at a buffer of length 0) and empties this
  // buffer.
  void* release() {
    if (data_ == nullptr) grow(8);
    void* p = data_;
    data_ = nullptr;
    size_ = cap_ = ready_ = 0;
    return p;
  }

 private:
  // Blocks from this size on get their pages brought in ahead.
  static constexpr size_t kLargeBlock = size_t{1} << 20;
  // How far ahead of the writes pages are brought in.
  static constexpr size_t kAhead = size_t{1} << 20;
  static constexpr uintptr_t kPage = 4096;

  [[gnu::noinline]] void grow(size_t n) {
    size_t cap = cap_ < 64 ? 64 : cap_;
    while (cap - size_ < n) {
      if (cap > std::numeric_limits<size_t>::max() / 2) throw std::bad_alloc();
      cap *= 2;
    }
    resize_block(cap);
  }

  void resize_block(size_t cap) {
    void* p = std::realloc(data_, cap);
    if (p == nullptr) throw std::bad_alloc();
    data_ = static_cast<uint8_t*>(p);
    cap_ = cap;
  }

  // Brings in the pages from the ready mark to kAhead past `upto`.
  [[gnu::noinline]] void bring_in(size_t upto) {
    const size_t end = cap_ - upto > kAhead ? upto + kAhead : cap_;
    if (populate_works) populate_works = advise(ready_, end, kPopulateWrite);
    ready_ = end;
  }

  // madvise over the whole pages inside [from, to) of the block; false when
  // the system refuses the advice.
  bool advise(size_t from, size_t to, int advice) {
    const uintptr_t base = reinterpret_cast<uintptr_t>(data_);
    const uintptr_t start = (base + from + kPage - 1) & ~(kPage - 1);
    const uintptr_t stop = (base + to) & ~(kPage - 1);
    if (advice < 0 || stop <= start) return true;
    return madvise(reinterpret_cast<void*>(start), stop - start, advice) == 0;
  }

#ifdef MADV_POPULATE_WRITE
  static constexpr int kPopulateWrite = MADV_POPULATE_WRITE;
#elif defined(__linux__)
  static constexpr int kPopulateWrite = 23;  // Linux 5.14 and later
#else
  static constexpr int kPopulateWrite = -1;
#endif
  static inline std::atomic<bool> populate_works{true};  // false once refused

  uint8_t* data_ = nullptr;
  size_t size_ = 0;
  size_t cap_ = 0;
  size_t ready_ = 0;  // bytes of the block whose pages have been brought in
};

// Sets bit `index` of a bitmap that grows one bit at a time (a new byte at
// every multiple of 8).
inline void push_bit(Buffer& bits, int64_t index, bool set) {
  if (index % 8 == 0) bits.put(uint8_t{0});
  if (set) bits.data()[index / 8] |= static_cast<uint8_t>(1u << (index % 8));
}

// What an exported array owns: its buffers' blocks and its children.
struct ArrayHolder {
  void* owned[3] = {nullptr, nullptr, nullptr};  // malloc'd blocks
  const void* buffers[3] = {nullptr, nullptr, nullptr};
  std::vector<ArrowArray> children;    // sized once, so pointers stay valid
  std::vector<ArrowArray*> child_ptrs;
};

void release_array(ArrowArray* array) {
  if (array == nullptr || array->release == nullptr) return;
  auto* holder = static_cast<ArrayHolder*>(array->private_data);
  // A child the consumer moved out has its release cleared; it frees itself.
  for (ArrowArray* child : holder->child_ptrs) {
    if (child->release != nullptr) child->release(child);
  }
  for (void* block : holder->owned) std::free(block);
  delete holder;
  array->release = nullptr;
}

// An array struct over `holder`, which it owns from now on.
void fill_array(ArrowArray* out, ArrayHolder* holder, int64_t length, int64_t null_count,
                int64_t n_buffers) {
  out->length = length;
  out->null_count = null_count;
  out->offset = 0;
  out->n_buffers = n_buffers;
  out->n_children = static_cast<int64_t>(holder->child_ptrs.size());
  out->buffers = holder->buffers;
  out->children = holder->child_ptrs.empty() ? nullptr : holder->child_ptrs.data();
  out->dictionary = nullptr;
  out->release = release_array;
  out->private_data = holder;
}

constexpr size_t kInt32Max = static_cast<size_t>(std::numeric_limits<int32_t>::max());

size_t fixed_width(ArrowType type) {
  switch (type) {
    case ArrowType::UInt8: return 1;
    case ArrowType::Int16:
    case ArrowType::UInt16: return 2;
    case ArrowType::Int32:
    case ArrowType::UInt32:
    case ArrowType::Float32: return 4;
    case ArrowType::Int64:
    case ArrowType::UInt64:
    case ArrowType::Float64:
    case ArrowType::TimestampUs: return 8;
    default: return 0;
  }
}

bool is_variable(ArrowType type) { return type == ArrowType::Utf8 || type == ArrowType::Binary; }

// Decoded text appended to a batch's data buffer, refused when the batch's
// 32-bit offsets cannot reach past it.
class BufferTextSink : public TextSink {
 public:
  explicit BufferTextSink(Buffer& values) : values_(values) {}
  char* extend(size_t n) override {
    if (n > kInt32Max - values_.size()) return nullptr;
    size_ = n;
    return reinterpret_cast<char*>(values_.extend(n));
  }
  size_t size() const { return size_; }

 private:
  Buffer& values_;
  size_t size_ = 0;
};

}  // namespace

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
  ColumnBuilder(ArrowType type, bool is_list, uint64_t* batch_bytes)
      : type_(type), is_list_(is_list), batch_bytes_(batch_bytes) {
    if (is_list_) child_ = std::make_unique<ColumnBuilder>(type, false, batch_bytes);
    start();
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

  // Moves the batch's buffers into `out` and starts a new batch.
  void finish(ArrowArray* out) {
    auto holder = std::make_unique<ArrayHolder>();
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
    fill_array(out, holder.release(), length_, null_count, n_buffers);
    start();
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
        if (dt == nullptr || !ole_date_to_unix_micros(dt->raw, &micros)) return false;
        values_.put(micros);
        return true;
      }
      case ArrowType::Utf8:
        if (const auto* t = std::get_if<TextValue>(&v)) {
          return put_bytes(t->utf8.data(), t->utf8.size());
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
            if (c.size < 8 || !ole_date_to_unix_micros(load_u64le(c.data), &micros)) return false;
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
      values_.set_size(before + write_text(bytes, codepage, reinterpret_cast<char*>(values_.end())));
      return true;
    }
    // Near the offsets' limit: decoded to its exact size first.
    BufferTextSink sink(values_);
    return append_text(bytes, codepage, sink);
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

  void start() {
    // The next batch is likely the size of this one: reserve as much (with
    // some room over for variable-size data), so its buffers do not regrow.
    const size_t slots = static_cast<size_t>(length_);
    const size_t data = is_variable(type_) ? last_data_ + last_data_ / 16
                        : type_ == ArrowType::Bool ? (slots + 7) / 8
                                                   : slots * fixed_width(type_);
    length_ = 0;
    null_count_ = 0;
    validity_.reset();
    values_.reset();
    offsets_.reset();
    if (slots != 0) {
      validity_.reserve((slots + 7) / 8);
      if (data != 0) values_.reserve(data);
      if (is_list_ || is_variable(type_)) offsets_.reserve(4 * (slots + 1));
    }
    if (is_list_ || is_variable(type_)) offsets_.put(int32_t{0});
  }

  ArrowType type_;
  bool is_list_;
  uint64_t* batch_bytes_;   // the reader's count of variable-size bytes
  Buffer validity_;         // one bit per slot, set = valid
  Buffer values_;           // fixed-width values, bits (Bool) or variable-size data
  Buffer offsets_;          // int32 offsets: into values_, or into child_ (lists)
  int64_t length_ = 0;
  int64_t null_count_ = 0;
  size_t last_data_ = 0;    // bytes of values_ in the last batch finished
  std::unique_ptr<ColumnBuilder> child_;  // a list's elements
};

// ---------------------------------------------------------------------------
// Schema

namespace {

struct SchemaHolder {
  std::string format;
  std::string name;
  std::string metadata;                // empty: none
  std::vector<ArrowSchema> children;   // sized once
  std::vector<ArrowSchema*> child_ptrs;
};

void release_schema(ArrowSchema* schema) {
  if (schema == nullptr || schema->release == nullptr) return;
  auto* holder = static_cast<SchemaHolder*>(schema->private_data);
  for (ArrowSchema* child : holder->child_ptrs) {
    if (child->release != nullptr) child->release(child);
  }
  delete holder;
  schema->release = nullptr;
}

// Binary metadata: int32 pair count, then per pair int32 key length, key
// bytes, int32 value length, value bytes (native byte order).
std::string encode_metadata(const std::vector<std::pair<std::string, std::string>>& pairs) {
  std::string out;
  const auto put_i32 = [&](size_t v) {
    const int32_t n = static_cast<int32_t>(v);
    out.append(reinterpret_cast<const char*>(&n), sizeof n);
  };
  put_i32(pairs.size());
  for (const auto& [key, value] : pairs) {
    put_i32(key.size());
    out += key;
    put_i32(value.size());
    out += value;
  }
  return out;
}

// Fills `out` from `holder` (owned from now on) with `n_children` children
// already added to it.
void fill_schema(ArrowSchema* out, SchemaHolder* holder, int64_t flags) {
  out->format = holder->format.c_str();
  out->name = holder->name.c_str();
  out->metadata = holder->metadata.empty() ? nullptr : holder->metadata.data();
  out->flags = flags;
  out->n_children = static_cast<int64_t>(holder->child_ptrs.size());
  out->children = holder->child_ptrs.empty() ? nullptr : holder->child_ptrs.data();
  out->dictionary = nullptr;
  out->release = release_schema;
  out->private_data = holder;
}

void column_schema(const ArrowColumn& c, ArrowSchema* out) {
  auto holder = std::make_unique<SchemaHolder>();
  holder->name = utf8_lossy(c.column->name);
  holder->metadata =
      encode_metadata({{"ese.type", std::string(column_type_name(c.column->column_type))},
                       {"ese.column_id", std::to_string(c.column->id)}});
  if (c.is_list) {
    holder->format = "+l";
    holder->children.resize(1);
    holder->child_ptrs.push_back(&holder->children[0]);
    auto item = std::make_unique<SchemaHolder>();
    item->format = arrow_format(c.type);
    item->name = "item";
    fill_schema(&holder->children[0], item.release(), ARROW_FLAG_NULLABLE);
  } else {
    holder->format = arrow_format(c.type);
  }
  fill_schema(out, holder.release(), ARROW_FLAG_NULLABLE);
}

}  // namespace

// ---------------------------------------------------------------------------
// ArrowTableReader

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

// Record bytes the workers give between releases of resident pages: room
// for the batches being built and the leaves mapped in ahead of the walk.
constexpr uint64_t kWorkerResidentBytes = 4 * ResidentBudget::kBytes;

// Leaves from which a pass starts with its worker threads.
constexpr size_t kWorkerLeaves = 64;

}  // namespace

// The worker threads and what they hand over: batches by walk order, each
// in one or more parts (a part ends where its data reaches the limit).
struct ArrowTableReader::Part {
  ArrowArray array{};         // released: a part of no rows
  uint32_t rows = 0;
  uint64_t record_bytes = 0;  // of the records in it
  std::vector<uint64_t> out_of_form;
  bool last = false;          // the walked batch's last part
  WalkEnd end = WalkEnd::More;  // last parts: how the walk of the batch ended
  std::optional<EseError> error;
};

struct ArrowTableReader::Workers {
  static constexpr size_t kThreads = 2;
  // Batches walked but not yet given: bounds the memory held ahead.
  static constexpr uint64_t kAhead = 2;

  using Built = Part;
  using Key = std::pair<uint64_t, uint32_t>;  // (batch, part)

  std::mutex walk;  // held for a walk: one at a time, in order
  std::mutex m;     // guards what follows
  std::condition_variable cv;
  std::map<Key, Built> built;
  uint64_t next_walk = 0;   // the next batch to walk
  Key next_give{0, 0};      // the next part to give
  bool stop = false;        // the reader is going away
  bool walk_over = false;   // the walk has ended
  bool failed = false;      // a worker ran out of memory
  // What each thread works with: its builder, the records it walked, and
  // the leaves a later walk reads.
  struct Own {
    std::unique_ptr<Builder> builder;
    std::vector<ByteView> records;
    std::vector<uint32_t> ahead;
  };
  std::vector<Own> own;
  std::vector<std::thread> threads;

  void run(ArrowTableReader& reader, size_t t) {
    try {
      work(reader, t);
    } catch (const std::exception&) {
      // Out of memory: the pass ends with that for the caller.
      std::lock_guard<std::mutex> lock(m);
      failed = true;
      cv.notify_all();
    }
  }

  // Hands part `key` over. A batch's parts before its last (each of about
  // the data limit: long values) return only once taken, so that a worker
  // builds the next part only then and holds at most one at a time.
  void publish(Key key, Built&& part) {
    std::unique_lock<std::mutex> lock(m);
    const bool wait = !part.last;
    built.emplace(key, std::move(part));
    cv.notify_all();
    if (wait) cv.wait(lock, [&] { return stop || next_give > key; });
  }

  // Walks a batch's records in turn, then builds them, until the walk ends.
  void work(ArrowTableReader& reader, size_t t) {
    Builder& b = *own[t].builder;
    std::vector<ByteView>& records = own[t].records;
    std::vector<uint32_t>& ahead = own[t].ahead;
    for (;;) {
      std::unique_lock<std::mutex> walking(walk);
      uint64_t seq = 0;
      {
        std::unique_lock<std::mutex> lock(m);
        cv.wait(lock, [&] {
          return stop || failed || walk_over || next_walk - next_give.first < kAhead;
        });
        if (stop || failed || walk_over) return;
        seq = next_walk++;
      }
      std::optional<EseError> error;
      const WalkEnd end = reader.walk_batch(records, error, ahead);
      if (end != WalkEnd::More) {
        std::lock_guard<std::mutex> lock(m);
        walk_over = true;
        cv.notify_all();
      }
      walking.unlock();
      // The page faults of the leaves a later walk reads are taken here,
      // outside the lock, rather than one by one in that walk.
      reader.populate(ahead);
      uint32_t part = 0;
      reader.build_batch(b, records, [&](Built&& built_part) {
        publish({seq, part++}, std::move(built_part));
      });
      Built tail;  // the last part: the rest of the records, and how the walk ended
      reader.finish_part(b, tail);
      tail.last = true;
      tail.end = end;
      tail.error = std::move(error);
      publish({seq, part}, std::move(tail));
      if (end != WalkEnd::More) return;
    }
  }

  // Stops the threads and frees what they built and nobody took.
  void shut() {
    {
      std::lock_guard<std::mutex> lock(m);
      stop = true;
      cv.notify_all();
    }
    for (std::thread& t : threads) t.join();
    threads.clear();
    for (auto& [key, b] : built) {
      if (b.array.release != nullptr) b.array.release(&b.array);
    }
    built.clear();
  }
};

Result<std::unique_ptr<ArrowTableReader>> ArrowTableReader::open(const Database& db,
                                                                 const Name& name,
                                                                 const ArrowReadOptions& options) {
  std::unique_ptr<ArrowTableReader> reader(new ArrowTableReader());
  reader->decode_ = options.decode;
  reader->batch_size_ = options.batch_size == 0 ? 1 : options.batch_size;
  reader->batch_data_ = options.batch_data;
  reader->use_workers_ = options.workers && std::thread::hardware_concurrency() > 1;
  const ColumnPlan* plan = nullptr;
  if (options.decode) {
    auto opened = DecodedTableRecords::open(db, name);
    if (!opened) return opened.error();
    reader->decoded_ = std::move(*opened);
    if (!options.all_columns) {
      if (Status s = reader->decoded_->select(options.columns); !s) return s.error();
    }
    plan = &reader->decoded_->plan();
  } else {
    auto opened = TableRecords::open(db, name);
    if (!opened) return opened.error();
    reader->raw_ = std::move(*opened);
    if (!options.all_columns) {
      if (Status s = reader->raw_->select(options.columns); !s) return s.error();
    }
    plan = &reader->raw_->plan();
  }
  reader->db_ = &db;
  reader->plan_ = plan;
  for (const ColumnPlan::Item& item : plan->items) {
    const ColumnDef& column = *item.column;
    reader->columns_.push_back(arrow_column(column, options.decode));
    // A multi-valued column's Arrow type is not its values' own type.
    reader->plain_.push_back((column.flags & kColumnMultiValued) == 0);
  }
  reader->here_ = reader->make_builder();
  reader->out_of_form_.assign(reader->columns_.size(), 0);
  return reader;
}

ArrowTableReader::~ArrowTableReader() {
  if (workers_) workers_->shut();
}

std::unique_ptr<ArrowTableReader::Builder> ArrowTableReader::make_builder() {
  auto b = std::make_unique<Builder>();
  for (const ArrowColumn& c : columns_) {
    b->columns.push_back(std::make_unique<ColumnBuilder>(c.type, c.is_list, &b->batch_bytes));
  }
  b->out_of_form.assign(columns_.size(), 0);
  return b;
}

void ArrowTableReader::schema(ArrowSchema* out) const {
  auto holder = std::make_unique<SchemaHolder>();
  holder->format = "+s";
  holder->children.resize(columns_.size());
  for (size_t i = 0; i < columns_.size(); ++i) {
    holder->child_ptrs.push_back(&holder->children[i]);
    column_schema(columns_[i], &holder->children[i]);
  }
  fill_schema(out, holder.release(), 0);
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
  decode_default(*columns_[i].column, b.field);
  append_field(b, i, b.field);
}

void ArrowTableReader::append_long_value(Builder& b, size_t i, ByteView reference) {
  const ColumnDef& column = *columns_[i].column;
  ColumnBuilder& builder = *b.columns[i];
  const LongValueChunks* found = nullptr;
  bool entered = false;
  {
    // The long-value index is built on first use and then only read.
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

ArrowTableReader::WalkEnd ArrowTableReader::walk_batch(std::vector<ByteView>& records,
                                                       std::optional<EseError>& error,
                                                       std::vector<uint32_t>& ahead) {
  records.clear();
  const TreeCursor& cursor = decode_ ? decoded_->cursor() : raw_->cursor();
  const size_t from = cursor.listed_position();
  // The leaves of the batch after the next one (as many as this batch
  // reads): by the time a walk gets there, they are mapped in.
  const auto look_ahead = [&] {
    const size_t at = cursor.listed_position();
    const size_t n = at - std::min(at, from);
    ahead.clear();
    for (size_t i = at + n; i < at + 2 * n; ++i) {
      const uint32_t page = cursor.listed_page(i);
      if (page != 0) ahead.push_back(page);
    }
  };
  Result<bool> more = decode_ ? decoded_->next_data(records, batch_size_)
                              : raw_->next_data(records, batch_size_);
  if (!more) {
    error = more.error();
    return WalkEnd::Error;
  }
  if (!*more) return WalkEnd::End;
  look_ahead();
  return WalkEnd::More;
}

void ArrowTableReader::populate(const std::vector<uint32_t>& ahead) const {
  for (size_t k = 0; k < ahead.size();) {
    size_t run = 1;
    while (k + run < ahead.size() && ahead[k + run] == ahead[k] + run) ++run;
    db_->populate_pages(ahead[k], static_cast<uint32_t>(run));
    k += run;
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
  const bool defaults = decode_ && column.default_value.has_value();
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
  const bool defaults = decode_ && column.default_value.has_value();
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
      if (decode_) {
        {
          // Decoding shares the long-value source and its buffer.
          std::lock_guard<std::mutex> lock(long_values_);
          decode_tagged_entry(plan.records[cell.record].data, slot, *columns_[i].column,
                              decoded_->long_values(), decoded_->buffer(), b.field);
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
  const size_t n = plan_->items.size();
  b.cells.resize(count);
  b.merge_at.resize(count);
  for (size_t r = 0; r < count; ++r) b.merge_at[r] = plan.records[first + r].slots_begin;
  for (size_t i = 0; i < n; ++i) {
    ColumnBuilder& builder = *b.columns[i];
    const ColumnDef& column = *columns_[i].column;
    if (i < plan_->first_tagged && column.id < 128 && plain_[i] &&
        !(decode_ && column.default_value)) {
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
}

void ArrowTableReader::finish(Builder& b, uint32_t rows, ArrowArray* out,
                              std::vector<uint64_t>& out_of_form) {
  auto holder = std::make_unique<ArrayHolder>();
  holder->children.resize(b.columns.size());
  for (size_t i = 0; i < b.columns.size(); ++i) {
    holder->child_ptrs.push_back(&holder->children[i]);
    b.columns[i]->finish(&holder->children[i]);
    out_of_form[i] += b.out_of_form[i];
    b.out_of_form[i] = 0;
  }
  b.batch_bytes = 0;
  fill_array(out, holder.release(), rows, 0, 1);  // a struct of no nulls: no bitmap
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
    if (b.batch_bytes >= batch_data_) break;
  }
  if (rows == 0) {
    if (error_) return *error_;
    return false;
  }
  finish(b, rows, out, out_of_form_);
  // The pages read so far are done with: resident memory stays flat.
  db_->release_resident();
  batches_given_ = true;
  return true;
}

void ArrowTableReader::start_workers() {
  workers_tried_ = true;  // once, whatever comes of it
  auto w = std::make_unique<Workers>();
  w->own.resize(Workers::kThreads);
  for (Workers::Own& own : w->own) own.builder = make_builder();
  workers_ = std::move(w);
  try {
    for (size_t t = 0; t < Workers::kThreads; ++t) {
      workers_->threads.emplace_back([this, t] { workers_->run(*this, t); });
    }
  } catch (const std::system_error&) {
    // No threads to be had: the threads started take the pass; with none,
    // it stays on the calling thread.
    if (workers_->threads.empty()) {
      workers_.reset();
    }
  }
}

Result<bool> ArrowTableReader::next(ArrowArray* out) {
  out->release = nullptr;
  if (failed_) throw std::bad_alloc();
  if (error_) return *error_;
  if (ended_) return false;
  // Worker threads pay off from a few dozen leaves on; a smaller table is
  // read on this thread, unless it turns out to hold more than a batch.
  if (!workers_tried_ && use_workers_ &&
      (batches_given_ || (decode_ ? decoded_->leaf_count() : raw_->leaf_count()) >= kWorkerLeaves)) {
    start_workers();
  }
  if (!workers_) return next_here(out);
  // Every batch the workers walk ends with a last part, the end of the pass
  // or its error among them: the next part is always coming.
  Workers& w = *workers_;
  for (;;) {
    Part got;
    {
      std::unique_lock<std::mutex> lock(w.m);
      w.cv.wait(lock, [&] { return w.failed || w.built.count(w.next_give) != 0; });
      if (w.failed) {
        // Records of the batch being built are lost to the pass: it ends.
        failed_ = true;
        throw std::bad_alloc();
      }
      auto it = w.built.find(w.next_give);
      got = std::move(it->second);
      w.built.erase(it);
      w.next_give = got.last ? Workers::Key{w.next_give.first + 1, 0}
                             : Workers::Key{w.next_give.first, w.next_give.second + 1};
      w.cv.notify_all();
    }
    for (size_t i = 0; i < out_of_form_.size(); ++i) out_of_form_[i] += got.out_of_form[i];
    if (got.end == WalkEnd::Error) error_ = std::move(got.error);
    if (got.end == WalkEnd::End) ended_ = true;
    if (got.rows > 0) {
      *out = got.array;
      // Pages the workers read are released from time to time, not after
      // every batch: those of the batches still being built would have to
      // be read in again.
      read_since_release_ += got.record_bytes;
      if (read_since_release_ >= kWorkerResidentBytes) {
        db_->release_resident();
        read_since_release_ = 0;
      }
      return true;
    }
    if (error_) return *error_;
    if (ended_) return false;
  }
}

// ---------------------------------------------------------------------------
// The C stream

namespace {

int stream_get_schema(ArrowArrayStream* stream, ArrowSchema* out) {
  auto* source = static_cast<ArrowBatchSource*>(stream->private_data);
  try {
    return source->get_schema(out);
  } catch (const std::exception&) {
    return ENOMEM;
  }
}

int stream_get_next(ArrowArrayStream* stream, ArrowArray* out) {
  auto* source = static_cast<ArrowBatchSource*>(stream->private_data);
  try {
    return source->get_next(out);
  } catch (const std::exception&) {
    out->release = nullptr;
    return ENOMEM;
  }
}

const char* stream_get_last_error(ArrowArrayStream* stream) {
  return static_cast<ArrowBatchSource*>(stream->private_data)->last_error();
}

void stream_release(ArrowArrayStream* stream) {
  if (stream == nullptr || stream->release == nullptr) return;
  delete static_cast<ArrowBatchSource*>(stream->private_data);
  stream->private_data = nullptr;
  stream->release = nullptr;
}

}  // namespace

void export_array_stream(std::unique_ptr<ArrowBatchSource> source, ArrowArrayStream* out) {
  out->get_schema = stream_get_schema;
  out->get_next = stream_get_next;
  out->get_last_error = stream_get_last_error;
  out->release = stream_release;
  out->private_data = source.release();
}

int ArrowReaderSource::get_schema(ArrowSchema* out) {
  reader_->schema(out);
  return 0;
}

int ArrowReaderSource::get_next(ArrowArray* out) {
  Result<bool> more = reader_->next(out);
  if (more) return 0;
  error_ = arrow_read_error(more.error());
  return EIO;
}

const char* ArrowReaderSource::last_error() { return error_.empty() ? nullptr : error_.c_str(); }

}  // namespace quarlet
