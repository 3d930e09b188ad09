// The bytes of a database file as a page source reads them: a length, the
// whole file as one view when it is resident (a mapping, a buffer), and a
// read of one range for sources whose bytes are fetched on demand.
#pragma once

#include <cstdint>

#include "error/error.hpp"
#include "util/endian.hpp"

namespace quarlet {

class FileBytes {
 public:
  virtual ~FileBytes() = default;

  // File length in bytes.
  virtual uint64_t size() const = 0;
  // The whole file as one view, valid while this object lives, when its
  // bytes are resident; an empty view when they are fetched on demand.
  virtual ByteView bytes() const = 0;
  // Bytes [offset, offset + length), which the caller has checked lie inside
  // the file. A resident file gives a view into bytes(); a source that
  // fetches on demand returns a view of its own, or an Io error. Views are
  // kept by the readers above for as long as the source lives.
  virtual Result<ByteView> read(uint64_t offset, uint64_t length) const {
    return bytes().subspan(static_cast<size_t>(offset), static_cast<size_t>(length));
  }
  // Hands resident pages back to the system; views stay valid. Advice only.
  virtual void release_resident() const {}
  // Brings bytes [offset, offset + length) in ahead of their use. Advice only.
  virtual void populate(uint64_t offset, uint64_t length) const {
    (void)offset;
    (void)length;
  }
};

}  // namespace quarlet
