// File bytes fetched on demand from a reader that is no file on disk (a
// member of an archive, a stream inside a disk image, a pipe), in chunks,
// each fetched once and kept in an unlinked temporary file that is mapped
// read-only. Views into the mapping stay valid while the object lives, as
// the readers above need, while resident memory is what the readers touch
// between two release_resident calls: the copy lives in the temporary file,
// not in this process.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <string>

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
};

class SpillFile : public FileBytes {
 public:
  // Bytes fetched per read of the reader.
  static constexpr uint64_t kChunk = uint64_t{256} << 10;
  // Most chunks fetched in one read, when a pass goes through in order.
  static constexpr uint64_t kSpan = 8;

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

  std::unique_ptr<ChunkReader> reader_;
  int fd_ = -1;                        // the unlinked temporary file
  const uint8_t* data_ = nullptr;      // its read-only mapping
  uint64_t size_ = 0;                  // bytes of the stream
  uint64_t chunks_ = 0;                // ceil(size / kChunk)
  std::unique_ptr<std::atomic<bool>[]> present_;  // per chunk: fetched into the file
  std::unique_ptr<uint8_t[]> buffer_;             // kSpan chunks, used under the reader
  // The chunk after the last one fetched, used under the reader.
  mutable uint64_t next_in_order_ = std::numeric_limits<uint64_t>::max();
};

}  // namespace quarlet
