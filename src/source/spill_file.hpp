// File bytes fetched on demand from a reader that is no file on disk (a
// member of an archive, a stream inside a disk image, a pipe), in chunks,
// each fetched once and kept in an unlinked temporary file that is mapped
// read-only. Views into the mapping stay valid while the object lives, as
// the readers above need, while resident memory is what the readers touch
// between two release_resident calls: the copy lives in the temporary file,
// not in this process.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "error/error.hpp"
#include "source/file_bytes.hpp"
#include "util/endian.hpp"

namespace quarlet {

// Where a SpillFile fetches its bytes from.
class ChunkReader {
 public:
  virtual ~ChunkReader() = default;
  // Runs `fill` with sole use of the reader (no other fill runs meanwhile,
  // on any thread) and returns its status. `fill` calls read_at.
  virtual Status exclusive(const std::function<Status()>& fill) = 0;
  // Reads up to `length` bytes at `offset` into `out`: the count read, 0 at
  // the end of the stream, or an Io error. Called only inside `exclusive`.
  virtual Result<size_t> read_at(uint64_t offset, uint8_t* out, size_t length) = 0;
  // Runs `work`, which does not touch the reader's object, letting other
  // threads have what the object's calls need meanwhile (a reader of a
  // Python object lets go of the interpreter lock). Called only inside
  // `exclusive`; the reader stays held.
  virtual Status aside(const std::function<Status()>& work) { return work(); }
  // Whether a fetch on another thread could use the object while the
  // caller goes on: false when the caller holds what the object's calls
  // need (a reader of a Python object: the interpreter lock), which would
  // keep such a fetch waiting. Called only inside `exclusive`.
  virtual bool lets_ahead() { return true; }
  // As exclusive, for a fetch ahead of need on a thread of the SpillFile's
  // own; may refuse with an error (the chunks are fetched when needed).
  virtual Status ahead(const std::function<Status()>& fill) { return exclusive(fill); }
  // Runs `wait` with nothing held that such a fetch needs (a reader of a
  // Python object lets go of the interpreter lock); outside `exclusive`.
  virtual void outside(const std::function<void()>& wait) { wait(); }
};

class SpillFile : public FileBytes {
 public:
  // Bytes fetched per read of the reader.
  static constexpr uint64_t kChunk = uint64_t{256} << 10;
  // Most chunks fetched in one read, when a pass goes through in order.
  static constexpr uint64_t kSpan = 8;
  // How far ahead of such a pass chunks are fetched, when they can be.
  static constexpr uint64_t kLead = 2 * kSpan;

  // A file of `size` bytes read from `reader` on demand; the temporary file
  // is made in `directory`. Io error when it cannot be made or mapped.
  static Result<std::unique_ptr<SpillFile>> open(std::unique_ptr<ChunkReader> reader,
                                                 uint64_t size, const std::string& directory);
  // A stream of unknown length (one that cannot seek to its end): read
  // through once, now, into the temporary file. The reader's errors end it.
  static Result<std::unique_ptr<SpillFile>> read_through(std::unique_ptr<ChunkReader> reader,
                                                         const std::string& directory);

  ~SpillFile() override;
  SpillFile(const SpillFile&) = delete;
  SpillFile& operator=(const SpillFile&) = delete;

  uint64_t size() const override { return size_; }
  // Empty: the bytes come in on demand (see read).
  ByteView bytes() const override { return {}; }
  // Fetches the chunks of [offset, offset + length) not yet fetched, then
  // gives a view into the mapping. The reader's error, or an Io error for a
  // stream that ends before its length, fails the read; a later read of the
  // same chunk asks the reader again.
  Result<ByteView> read(uint64_t offset, uint64_t length) const override;
  // Drops the mapping's resident pages (they are read back from the
  // temporary file when next touched). The temporary file's page cache is
  // the system's, reclaimed as any file's once written back; a pass that
  // ends before that costs no disk.
  void release_resident() const override;
  // Fetches the chunks of [offset, offset + length) ahead of their use, so
  // that a reader on several threads waits for the stream outside its own
  // locks. Advice only: errors are left for the read that needs the bytes.
  void populate(uint64_t offset, uint64_t length) const override;

 private:
  SpillFile() = default;
  // Makes the unlinked temporary file in `directory` and sizes it.
  Status create(const std::string& directory, uint64_t size);
  // Maps the temporary file whole, read-only.
  Status map();
  // Fetches chunk `c` unless it is present (with the chunks after it when
  // a pass goes through in order); with the reader held.
  Status fill(uint64_t c) const;
  static constexpr uint64_t kNone = std::numeric_limits<uint64_t>::max();
  // The slot of stream_ends_ whose pass chunk `c` continues, else null;
  // with the reader held.
  uint64_t* in_order(uint64_t c) const;
  // Starts the writer thread unless it runs; false when it cannot.
  bool start_writer() const;
  // Hands chunks [first, past), read into buffer_ from its chunk 1 on, to
  // the writer thread; false when the thread cannot be started.
  bool write_behind(uint64_t first, uint64_t past) const;
  // Asks the writer thread to fetch the span from chunk `from` on.
  void ask_ahead(uint64_t from) const;
  // On the writer thread: fetches the chunks not present of the span from
  // chunk `from` on into ahead_buffer_, and hands them over to be written.
  void fetch_ahead(uint64_t from) const;
  // Whether the writer was started in another process (this one is a
  // forked copy, in which it does not run).
  bool writer_away() const;
  // Waits, with the reader held, until the writer has written chunk `c`
  // when it is to write it, else until it is done with buffer_. Returns the
  // first chunk after `c` it has still to write (kNone: none).
  uint64_t wait_for_writer(uint64_t c) const;
  // Reads chunks [first, past) from the reader into `out`, with the reader
  // held: the chunk after the last read whole, or the reader's error when
  // not even chunk `first` was (the failure belongs to the chunk that
  // needs its bytes, asked for again then).
  Result<uint64_t> read_span(uint64_t first, uint64_t past, uint8_t* out) const;
  // Writes `length` bytes at `start` into the temporary file and maps
  // their pages.
  Status write_chunks(const uint8_t* from, uint64_t start, size_t length) const;
  // The writer thread: writes what is handed to it, marking each chunk
  // present once written (a chunk it fails to write stays absent, fetched
  // again), and fetches ahead when asked.
  void write_loop() const;

  // A pass in order reads a span of chunks at once, but needs only the
  // first now: the rest are written into the temporary file by this thread
  // while the caller goes on, and are marked present once written. When
  // the caller leaves the reader's object free meanwhile, the thread also
  // fetches the next spans before they are needed, keeping up to kLead
  // chunks ahead of the pass.
  mutable std::unique_ptr<std::thread> writer_;
  mutable pid_t writer_pid_ = 0;  // the process the writer runs in
  mutable std::mutex writer_mutex_;
  mutable std::condition_variable writer_wake_;
  // Under writer_mutex_:
  mutable uint64_t job_first_ = 0;  // chunks handed over, [first, past)
  mutable uint64_t job_past_ = 0;   // (first == past: nothing to write)
  mutable const uint8_t* job_data_ = nullptr;  // their bytes, from chunk job_data_first_ on
  mutable uint64_t job_data_first_ = 0;
  mutable uint64_t ahead_from_ = kNone;  // a span to fetch ahead, from this chunk
  mutable uint64_t ahead_next_ = kNone;  // where the span after the last one fetched starts
  mutable bool fetching_ = false;  // the writer is fetching ahead (it waits for the reader)
  mutable bool stopping_ = false;
  // A pass that reads this chunk or one a little past it asks for the next
  // span ahead (kNone: nothing fetched ahead yet, or already asked).
  mutable std::atomic<uint64_t> due_{kNone};
  mutable std::unique_ptr<uint8_t[]> ahead_buffer_;  // kSpan chunks, the writer's own

  std::unique_ptr<ChunkReader> reader_;
  int fd_ = -1;                        // the unlinked temporary file
  const uint8_t* data_ = nullptr;      // its read-only mapping
  uint64_t size_ = 0;                  // bytes of the stream
  uint64_t chunks_ = 0;                // ceil(size / kChunk)
  std::unique_ptr<std::atomic<bool>[]> present_;  // per chunk: fetched into the file
  std::unique_ptr<uint8_t[]> buffer_;             // kSpan chunks, used under the reader
  // Where the last few fetches ended, used under the reader: a pass in
  // order asks for the chunk after one of them (a table pass reads its
  // records' leaves and their long values in two interleaved streams).
  static constexpr size_t kStreams = 4;
  mutable uint64_t stream_ends_[kStreams] = {kNone, kNone, kNone, kNone};
  mutable size_t stream_next_ = 0;  // the slot a fetch out of order takes
};

}  // namespace quarlet
