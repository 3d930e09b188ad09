// The Arrow C stream interface: a stream struct over a source of schema and
// batches, and the source that reads one table's batches.
#pragma once

#include <memory>
#include <string>

#include "error/error.hpp"
#include "export/arrow/abi.hpp"
#include "export/arrow/reader.hpp"

namespace quarlet {

// The source of a C stream's schema and batches. Callbacks run on whatever
// thread the consumer calls from. Returns are errno values (0 = success).
class ArrowBatchSource {
 public:
  virtual ~ArrowBatchSource() = default;
  virtual int get_schema(ArrowSchema* out) = 0;
  virtual int get_next(ArrowArray* out) = 0;
  // Message of the last failed call, valid until the next call.
  virtual const char* last_error() = 0;
};

// The source of a stream over one reader. Its get_next builds the batch on
// the calling thread.
class ArrowReaderSource : public ArrowBatchSource {
 public:
  explicit ArrowReaderSource(std::unique_ptr<ArrowTableReader> reader)
      : reader_(std::move(reader)) {}
  int get_schema(ArrowSchema* out) override;
  int get_next(ArrowArray* out) override;
  const char* last_error() override;
  ArrowTableReader& reader() { return *reader_; }

 private:
  std::unique_ptr<ArrowTableReader> reader_;
  std::string error_;  // message of the last failed get_next
};

// Fills `out` with a stream over `source`, which it owns from now on (the
// stream's release destroys it). Exceptions a source throws (allocation
// failure) become ENOMEM; none crosses the C boundary.
void export_array_stream(std::unique_ptr<ArrowBatchSource> source, ArrowArrayStream* out);

// Message of a reader error as the stream reports it.
std::string arrow_read_error(const EseError& error);

}  // namespace quarlet
