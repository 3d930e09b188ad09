// The Arrow C stream interface over a batch source: callbacks that turn a
// source's exceptions into errno values, so none crosses the C boundary.
#include "export/arrow/stream.hpp"

#include <cerrno>
#include <exception>

namespace quarlet {

std::string arrow_read_error(const EseError& error) {
  return "Error reading record: " + message(error);
}

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

