// On-demand file bytes kept in an unlinked, mapped temporary file.
#include "source/spill_file.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <limits>
#include <vector>

namespace quarlet {

namespace {

// Writes all of [data, data + length) at `offset` of `fd`, in pieces of at
// most 32 KiB. The page cache takes a write into folios of about its size,
// and folios larger than 32 KiB are the costly kind to allocate: where
// memory is fragmented, a 256 KiB write was seen to take fifteen times as
// long as the same bytes in 32 KiB writes.
Status write_all(int fd, const uint8_t* data, size_t length, uint64_t offset) {
  constexpr size_t kPiece = size_t{32} << 10;
  while (length > 0) {
    const ssize_t n = ::pwrite(fd, data, std::min(length, kPiece), static_cast<off_t>(offset));
    if (n < 0) {
      if (errno == EINTR) continue;
      return EseError::io_os(errno);
    }
    data += n;
    length -= static_cast<size_t>(n);
    offset += static_cast<uint64_t>(n);
  }
  return Status::Ok();
}

// Reads [offset, offset + length) from `reader` into `out`, through short
// reads; `got` counts the bytes read, also when the read fails. Io error
// when the stream ends first.
Status read_exact(ChunkReader& reader, uint64_t offset, uint8_t* out, size_t length,
                  size_t& got) {
  got = 0;
  while (got < length) {
    auto n = reader.read_at(offset + got, out + got, length - got);
    if (!n) return n.error();
    if (*n == 0) return EseError::io_text("Stream ended at byte " + std::to_string(offset + got) +
                                          ", before its length");
    got += std::min(*n, length - got);
  }
  return Status::Ok();
}

}  // namespace

Status SpillFile::create(const std::string& directory, uint64_t size) {
  const std::string dir = directory.empty() ? "/tmp" : directory;
#ifdef O_TMPFILE
  fd_ = ::open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
#endif
  if (fd_ < 0) {
    // No unnamed files here: a named one, unlinked at once.
    std::vector<char> name(dir.begin(), dir.end());
    const char kTemplate[] = "/quarlet-XXXXXX";
    name.insert(name.end(), kTemplate, kTemplate + sizeof(kTemplate));
    fd_ = ::mkostemp(name.data(), O_CLOEXEC);
    if (fd_ < 0) return EseError::io_os(errno);
    ::unlink(name.data());
  }
  if (size > static_cast<uint64_t>(std::numeric_limits<off_t>::max()) ||
      size > static_cast<uint64_t>(std::numeric_limits<size_t>::max())) {
    return EseError::io_os(EFBIG);
  }
  // Sparse: disk is taken only by the chunks fetched.
  if (::ftruncate(fd_, static_cast<off_t>(size)) != 0) return EseError::io_os(errno);
  size_ = size;
  chunks_ = (size + kChunk - 1) / kChunk;
  present_.reset(new std::atomic<bool>[chunks_ == 0 ? 1 : chunks_]);
  for (uint64_t c = 0; c < chunks_; ++c) present_[c].store(false, std::memory_order_relaxed);
  buffer_.reset(new uint8_t[kSpan * kChunk]);
  return Status::Ok();
}

Status SpillFile::map() {
  if (size_ == 0) return Status::Ok();
  void* p = ::mmap(nullptr, static_cast<size_t>(size_), PROT_READ, MAP_SHARED, fd_, 0);
  if (p == MAP_FAILED) return EseError::io_os(errno);
  data_ = static_cast<const uint8_t*>(p);
  return Status::Ok();
}

Result<std::unique_ptr<SpillFile>> SpillFile::open(std::unique_ptr<ChunkReader> reader,
                                                   uint64_t size, const std::string& directory) {
  std::unique_ptr<SpillFile> f(new SpillFile());
  f->reader_ = std::move(reader);
  if (Status s = f->create(directory, size); !s.ok()) return s.error();
  if (Status s = f->map(); !s.ok()) return s.error();
  return f;
}

Result<std::unique_ptr<SpillFile>> SpillFile::read_through(std::unique_ptr<ChunkReader> reader,
                                                           const std::string& directory) {
  std::unique_ptr<SpillFile> f(new SpillFile());
  f->reader_ = std::move(reader);
  if (Status s = f->create(directory, 0); !s.ok()) return s.error();
  uint64_t size = 0;
  Status read = f->reader_->exclusive([&]() -> Status {
    for (;;) {
      auto n = f->reader_->read_at(size, f->buffer_.get(), kSpan * kChunk);
      if (!n) return n.error();
      if (*n == 0) return Status::Ok();
      const size_t got = std::min<size_t>(*n, kSpan * kChunk);
      Status w = f->reader_->aside([&] { return write_all(f->fd_, f->buffer_.get(), got, size); });
      if (!w.ok()) return w;
      size += got;
    }
  });
  if (!read.ok()) return read.error();
  if (size > static_cast<uint64_t>(std::numeric_limits<size_t>::max())) {
    return EseError::io_os(EFBIG);
  }
  f->size_ = size;
  f->chunks_ = (size + kChunk - 1) / kChunk;
  f->present_.reset(new std::atomic<bool>[f->chunks_ == 0 ? 1 : f->chunks_]);
  for (uint64_t c = 0; c < f->chunks_; ++c) f->present_[c].store(true, std::memory_order_relaxed);
  if (Status s = f->map(); !s.ok()) return s.error();
  return f;
}

SpillFile::~SpillFile() {
  if (writer_ != nullptr && writer_away()) {
    // The writer is a thread of the process this one was forked from.
    (void)writer_.release();
  } else if (writer_ != nullptr) {
    {
      std::lock_guard<std::mutex> lock(writer_mutex_);
      stopping_ = true;
    }
    writer_wake_.notify_all();
    // A fetch ahead under way may wait for what this thread holds.
    reader_->outside([&] { writer_->join(); });
  }
  if (data_ != nullptr) ::munmap(const_cast<uint8_t*>(data_), static_cast<size_t>(size_));
  if (fd_ >= 0) ::close(fd_);
}

uint64_t* SpillFile::in_order(uint64_t c) const {
  for (uint64_t& end : stream_ends_) {
    // Chunks fetched meanwhile by another pass are stepped over.
    uint64_t k = end;
    while (k < c && k - end < kSpan && present_[k].load(std::memory_order_acquire)) ++k;
    if (k == c) return &end;
  }
  return nullptr;
}

bool SpillFile::writer_away() const { return writer_ != nullptr && writer_pid_ != ::getpid(); }

bool SpillFile::start_writer() const {
  if (writer_ != nullptr) return !writer_away();
  try {
    ahead_buffer_.reset(new uint8_t[kSpan * kChunk]);
    writer_ = std::make_unique<std::thread>([this] { write_loop(); });
  } catch (...) {
    return false;
  }
  writer_pid_ = ::getpid();
  return true;
}

bool SpillFile::write_behind(uint64_t first, uint64_t past) const {
  if (!start_writer()) return false;
  {
    std::lock_guard<std::mutex> lock(writer_mutex_);
    // A writer fetching ahead waits for the reader, which the caller holds
    // and would wait for the writer with: the caller writes itself.
    if (fetching_) return false;
    job_data_ = buffer_.get();
    job_data_first_ = first - 1;
    job_first_ = first;
    job_past_ = past;
  }
  writer_wake_.notify_all();
  return true;
}

void SpillFile::ask_ahead(uint64_t from) const {
  if (from >= chunks_ || !start_writer()) return;
  {
    std::lock_guard<std::mutex> lock(writer_mutex_);
    ahead_from_ = from;
  }
  writer_wake_.notify_all();
}

Status SpillFile::write_chunks(const uint8_t* from, uint64_t start, size_t length) const {
  Status s = write_all(fd_, from, length, start);
  // Mapping the chunks' pages in one call spares the reads that follow a
  // fault a page.
#ifdef MADV_POPULATE_READ
  if (s.ok()) (void)::madvise(const_cast<uint8_t*>(data_) + start, length, MADV_POPULATE_READ);
#endif
  return s;
}

Result<uint64_t> SpillFile::read_span(uint64_t first, uint64_t past, uint8_t* out) const {
  const uint64_t start = first * kChunk;
  const size_t length = static_cast<size_t>(std::min(past * kChunk, size_) - start);
  size_t got = 0;
  Status read = read_exact(*reader_, start, out, length, got);
  if (read.ok()) return past;
  // The whole chunks read are kept when the read fails past them: the
  // failure belongs to the chunk that needs its bytes, asked for again then.
  if (got < kChunk) return read.error();
  return first + got / kChunk;
}

void SpillFile::fetch_ahead(uint64_t from) const {
  (void)reader_->ahead([&]() -> Status {
    // What a pass fetched itself meanwhile is stepped over.
    auto here = [&](uint64_t k) { return present_[k].load(std::memory_order_acquire); };
    uint64_t first = from;
    while (first < chunks_ && first - from < kSpan && here(first)) ++first;
    uint64_t past = first;
    while (past < chunks_ && past - from < kSpan && !here(past)) ++past;
    if (first == past) return Status::Ok();
    auto read = read_span(first, past, ahead_buffer_.get());
    if (!read) return read.error();
    past = *read;
    uint64_t* stream = in_order(first);
    if (stream != nullptr) *stream = past;
    // Handed over with the reader still held, so that no pass fetches these
    // chunks meanwhile.
    std::lock_guard<std::mutex> lock(writer_mutex_);
    job_data_ = ahead_buffer_.get();
    job_data_first_ = first;
    job_first_ = first;
    job_past_ = past;
    ahead_next_ = past;
    due_.store(past > kLead ? past - kLead : 0, std::memory_order_release);
    return Status::Ok();
  });
}

uint64_t SpillFile::wait_for_writer(uint64_t c) const {
  // A forked copy of the process has no writer: what it had to write is
  // absent here, fetched again.
  if (writer_ == nullptr || writer_away()) return kNone;
  std::unique_lock<std::mutex> lock(writer_mutex_);
  const bool queued = c >= job_first_ && c < job_past_;
  if (queued || (job_first_ != job_past_ && job_data_ == buffer_.get())) {
    // Waited for outside what the reader's object needs: the writer never
    // needs it while it writes, and other threads may. A chunk the writer
    // has still to write is waited for alone; any other fetch needs the
    // buffer, so the whole hand-over from it.
    lock.unlock();
    (void)reader_->aside([&] {
      std::unique_lock<std::mutex> waiting(writer_mutex_);
      writer_wake_.wait(waiting, [&] {
        return job_first_ == job_past_ || (queued && present_[c].load(std::memory_order_acquire));
      });
      return Status::Ok();
    });
    lock.lock();
  }
  // No new chunks are handed to the writer while the reader is held.
  return job_first_ != job_past_ && job_first_ > c ? job_first_ : kNone;
}

void SpillFile::write_loop() const {
  std::unique_lock<std::mutex> lock(writer_mutex_);
  for (;;) {
    writer_wake_.wait(lock, [&] {
      return stopping_ || job_first_ != job_past_ || ahead_from_ != kNone;
    });
    if (stopping_) return;
    if (job_first_ == job_past_) {
      const uint64_t from = ahead_from_;
      ahead_from_ = kNone;
      fetching_ = true;
      lock.unlock();
      fetch_ahead(from);
      lock.lock();
      fetching_ = false;
      continue;
    }
    // One chunk at a time, each marked present once written, so that a
    // pass waits only for the chunk it needs.
    const uint64_t k = job_first_;
    const uint8_t* from = job_data_ + (k - job_data_first_) * kChunk;
    lock.unlock();
    const uint64_t start = k * kChunk;
    const size_t length = static_cast<size_t>(std::min(start + kChunk, size_) - start);
    const bool ok = write_chunks(from, start, length).ok();
    if (ok) present_[k].store(true, std::memory_order_release);
    lock.lock();
    // A chunk that fails to write stays absent, fetched again when needed;
    // the chunks after it are left to that fetch too.
    if (ok && k + 1 < job_past_) {
      job_first_ = k + 1;
    } else {
      job_first_ = job_past_ = 0;
    }
    writer_wake_.notify_all();
  }
}

Status SpillFile::fill(uint64_t c) const {
  // Checked again with the reader held: another thread may have fetched
  // it, or the writer may be writing it.
  if (present_[c].load(std::memory_order_acquire)) return Status::Ok();
  const uint64_t queued = wait_for_writer(c);
  if (present_[c].load(std::memory_order_acquire)) return Status::Ok();
  // A chunk that follows the last one fetched comes with the next ones not
  // yet fetched, up to kSpan in all, in one read of the object: a pass
  // through the file makes fewer, larger reads, which a buffered stream
  // serves straight into this buffer rather than through its own. Chunks
  // the writer has still to write are not read again.
  uint64_t end = c + 1;
  uint64_t* stream = in_order(c);
  if (stream != nullptr) {
    while (end < chunks_ && end - c < kSpan && end != queued &&
           !present_[end].load(std::memory_order_acquire)) {
      ++end;
    }
  }
  const uint8_t* buffer = buffer_.get();
  auto read = read_span(c, end, buffer_.get());
  if (!read) return read.error();
  const uint64_t past = *read;
  const uint64_t start = c * kChunk;
  // Chunk c is written now; the rest, if any, behind the caller's back
  // when the writer can take it (after this write: two writes into one
  // file at once wait for each other). The copy needs nothing of the
  // reader's object.
  const size_t whole = static_cast<size_t>(std::min(past * kChunk, size_) - start);
  const size_t now = past > c + 1 ? static_cast<size_t>(kChunk) : whole;
  Status written = reader_->aside([&] { return write_chunks(buffer, start, now); });
  if (!written.ok()) return written;
  present_[c].store(true, std::memory_order_release);
  if (past > c + 1 && !write_behind(c + 1, past)) {
    // No writer thread: the rest is written now too.
    Status rest =
        reader_->aside([&] { return write_chunks(buffer + now, start + now, whole - now); });
    if (!rest.ok()) return rest;
    for (uint64_t k = c + 1; k < past; ++k) present_[k].store(true, std::memory_order_release);
  }
  if (stream != nullptr && past > c + 1 && reader_->lets_ahead()) ask_ahead(past);
  if (stream == nullptr) {
    stream = &stream_ends_[stream_next_];
    stream_next_ = (stream_next_ + 1) % kStreams;
  }
  *stream = past;
  return Status::Ok();
}

Result<ByteView> SpillFile::read(uint64_t offset, uint64_t length) const {
  if (offset > size_ || length > size_ - offset) return EseError::io_os(EINVAL);
  if (length == 0) return ByteView(data_ != nullptr ? data_ + offset : data_, 0);
  const uint64_t first = offset / kChunk;
  const uint64_t last = (offset + length - 1) / kChunk;
  // The pass came within kLead chunks of where the fetches ahead got to:
  // the next span is asked for. (A read far past that is another pass's.)
  uint64_t due = due_.load(std::memory_order_acquire);
  if (due != kNone && last >= due && last - due < 2 * kLead &&
      due_.compare_exchange_strong(due, kNone) && !writer_away()) {
    std::lock_guard<std::mutex> lock(writer_mutex_);
    ahead_from_ = ahead_next_;
    writer_wake_.notify_all();
  }
  for (uint64_t c = first; c <= last; ++c) {
    if (present_[c].load(std::memory_order_acquire)) continue;
    // The missing chunks of the range, in one hold of the reader.
    Status filled = reader_->exclusive([&]() -> Status {
      for (uint64_t k = c; k <= last; ++k) {
        if (Status s = fill(k); !s.ok()) return s;
      }
      return Status::Ok();
    });
    if (!filled.ok()) return filled.error();
    break;
  }
  return ByteView(data_ + offset, static_cast<size_t>(length));
}

void SpillFile::populate(uint64_t offset, uint64_t length) const {
  if (offset >= size_) return;
  (void)read(offset, std::min(length, size_ - offset));
}

void SpillFile::release_resident() const {
  if (data_ != nullptr && size_ > 0) {
    (void)::madvise(const_cast<uint8_t*>(data_), static_cast<size_t>(size_), MADV_DONTNEED);
  }
}

}  // namespace quarlet
