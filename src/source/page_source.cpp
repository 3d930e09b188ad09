// Header checks of a page source and page reads.
#include "source/page_source.hpp"

#include <algorithm>
#include <cstring>

namespace quarlet {

Status PageSource::attach(std::unique_ptr<FileBytes> file, std::string path) {
  path_ = std::move(path);
  file_ = std::move(file);
  resident_ = file_->bytes();
  file_size_ = file_->size();
  if (file_size_ < 4096) return EseError::invalid_header();
  auto head = file_->read(0, 4096);
  if (!head) return head.error();
  const uint8_t* bytes = head->data();
  const uint32_t signature = load_u32le(bytes + 4);
  if (signature != kSignature) return EseError::invalid_signature(signature);
  std::memcpy(header_.data(), bytes, kHeaderCopySize);
  format_version_ = load_u32le(bytes + 8);
  format_revision_ = load_u32le(bytes + 232);
  page_size_ = load_u32le(bytes + 236);
  // A page size of 0 has no meaning and would divide by zero.
  if (page_size_ == 0) return EseError::invalid_header();
  const uint64_t quotient = file_size_ / page_size_;
  const uint64_t pages = quotient < 2 ? 0 : quotient - 2;
  total_pages_ = pages > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<uint32_t>(pages);
  large_layout_ = is_large_layout(format_version_, format_revision_, page_size_);
  return Status::Ok();
}

Result<ByteView> PageSource::read_bytes(uint64_t offset, uint64_t length) const {
  if (offset >= file_size_) return ByteView();
  length = std::min(length, file_size_ - offset);
  if (!resident_.empty()) {
    return resident_.subspan(static_cast<size_t>(offset), static_cast<size_t>(length));
  }
  return file_->read(offset, length);
}

Result<Page> PageSource::read_page(uint32_t n) const {
  const uint64_t start = (static_cast<uint64_t>(n) + 1) * page_size_;
  const uint64_t end = start + page_size_;
  if (end > file_size_) return EseError::invalid_page_number(n);
  ByteView bytes;
  if (!resident_.empty()) {
    bytes = resident_.subspan(start, page_size_);
  } else {
    auto read = file_->read(start, page_size_);
    if (!read) return read.error();
    bytes = *read;
  }
  auto page = parse_page(bytes, format_version_, format_revision_, page_size_);
  if (page) page->number = n;
  return page;
}

}  // namespace quarlet
