// Buffers of Arrow arrays: growable malloc'd blocks handed over to the
// arrays that own them, validity bitmaps, and the array structs that free
// their blocks in their release callback.
#pragma once

#include <sys/mman.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <vector>

#include "export/arrow/abi.hpp"
#include "export/arrow/types.hpp"
#include "record/text.hpp"

namespace quarlet {

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

struct HolderBlock;

// What an exported array owns: its buffers' blocks and its children. A
// holder is its own allocation, or one of a batch's HolderBlock.
struct ArrayHolder {
  void* owned[3] = {nullptr, nullptr, nullptr};  // malloc'd blocks
  const void* buffers[3] = {nullptr, nullptr, nullptr};
  std::vector<ArrowArray> children;    // sized once, so pointers stay valid
  std::vector<ArrowArray*> child_ptrs;
  HolderBlock* block = nullptr;        // the block it is part of, if any
};

// The holders of a batch's columns in one allocation, however many columns
// the table has. Each column's array holds a reference and frees its own
// buffers when released, so one moved out of its batch stays valid; the
// last release frees the block.
struct HolderBlock {
  std::atomic<int64_t> refs{1};  // the batch's own, until every column is filled
  std::vector<ArrayHolder> holders;

  explicit HolderBlock(size_t n) : holders(n) {}
  ArrayHolder* take(size_t i) {
    refs.fetch_add(1, std::memory_order_relaxed);
    holders[i].block = this;
    return &holders[i];
  }
  void drop() {
    if (refs.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
  }
};

inline void release_array(ArrowArray* array) {
  if (array == nullptr || array->release == nullptr) return;
  auto* holder = static_cast<ArrayHolder*>(array->private_data);
  // A child the consumer moved out has its release cleared; it frees itself.
  for (ArrowArray* child : holder->child_ptrs) {
    if (child->release != nullptr) child->release(child);
  }
  for (void*& block : holder->owned) {
    std::free(block);
    block = nullptr;
  }
  if (holder->block != nullptr) {
    holder->block->drop();
  } else {
    delete holder;
  }
  array->release = nullptr;
}

// One zeroed block that every column of a batch holding no value shares:
// its validity bitmap (no slot valid), its values or offsets (all zero) and
// its data. Each such column's array holds a reference; the last one
// released frees the block, so a child moved out of its batch stays valid.
struct SharedZeros {
  std::atomic<int64_t> refs{1};
  void* block = nullptr;
  const void* buffers[3] = {nullptr, nullptr, nullptr};

  // Zeros enough for `length` slots of any scalar type (bits, 8-byte
  // values, 32-bit offsets).
  static SharedZeros* make(int64_t length) {
    auto* z = new SharedZeros();
    const size_t n = static_cast<size_t>(length) * 8 + 8;
    z->block = std::calloc(n, 1);
    if (z->block == nullptr) {
      delete z;
      throw std::bad_alloc();
    }
    for (const void*& b : z->buffers) b = z->block;
    return z;
  }
  void drop() {
    if (refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
      std::free(block);
      delete this;
    }
  }
};

inline void release_null_array(ArrowArray* array) {
  if (array == nullptr || array->release == nullptr) return;
  static_cast<SharedZeros*>(array->private_data)->drop();
  array->release = nullptr;
}

// An array of `length` null slots with `n_buffers` buffers, all `zeros`'s
// block (a null-type array has none).
inline void fill_null_array(ArrowArray* out, SharedZeros* zeros, int64_t length,
                            int64_t n_buffers) {
  zeros->refs.fetch_add(1, std::memory_order_relaxed);
  out->length = length;
  out->null_count = length;
  out->offset = 0;
  out->n_buffers = n_buffers;
  out->n_children = 0;
  out->buffers = zeros->buffers;
  out->children = nullptr;
  out->dictionary = nullptr;
  out->release = release_null_array;
  out->private_data = zeros;
}

// An array struct over `holder`, which it owns from now on.
inline void fill_array(ArrowArray* out, ArrayHolder* holder, int64_t length, int64_t null_count,
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

inline constexpr size_t kInt32Max = static_cast<size_t>(std::numeric_limits<int32_t>::max());

inline size_t fixed_width(ArrowType type) {
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

inline bool is_variable(ArrowType type) {
  return type == ArrowType::Utf8 || type == ArrowType::Binary;
}

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

}  // namespace quarlet
