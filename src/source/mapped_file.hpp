// A read-only view of a whole file's bytes: either a read-only memory mapping
// of a file opened for reading only, or an owned in-memory buffer (used by the
// fuzz targets and tests that open databases from bytes).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "error/error.hpp"
#include "source/file_bytes.hpp"
#include "util/endian.hpp"

namespace quarlet {

class MappedFile : public FileBytes {
 public:
  // Opens `path` read-only and maps it whole, read-only. A 0-byte file gives
  // an empty view. Failures are Io errors.
  static Result<std::unique_ptr<MappedFile>> open(const std::string& path);
  // Maps the file open on descriptor `fd` whole, read-only, and takes the
  // descriptor (closed on failure too). Only a regular file can be mapped.
  static Result<std::unique_ptr<MappedFile>> map_descriptor(int fd);
  // Wraps an owned buffer.
  static std::unique_ptr<MappedFile> from_bytes(std::vector<uint8_t> bytes);

  ~MappedFile() override;
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;

  ByteView bytes() const override { return {data_, size_}; }
  uint64_t size() const override { return size_; }

  // Drops the mapping's resident pages from this process (a read-only
  // mapping holds nothing but the file's contents): views stay valid and are
  // read again from the file when next touched. Keeps long passes over a
  // large file from growing resident memory. No effect on owned buffers.
  void release_resident() const override;
  // Maps bytes [offset, offset + length) of the view in ahead of their use,
  // in one call: a reader on several threads brings in what the next one
  // will read outside its lock. Advice only: nothing happens where the
  // system does not take it.
  void populate(uint64_t offset, uint64_t length) const override;

 private:
  MappedFile() = default;
  const uint8_t* data_ = nullptr;  // first byte of the file's contents
  uint64_t size_ = 0;              // file length in bytes
  int fd_ = -1;                    // open read-only descriptor, or -1
  bool mapped_ = false;            // data_ is an mmap region to unmap
  std::vector<uint8_t> owned_;     // the buffer when built from bytes
};

}  // namespace quarlet
