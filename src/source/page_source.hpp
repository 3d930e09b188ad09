// A page source: a database file's pages by number, each a view with its
// header parsed, and the header facts every reader needs (page size, page
// count, format). The B-tree cursor and everything above it read pages
// through this class only.
//
// Header page (little-endian): u32 signature 0x89ABCDEF at 4, format version
// at 8, format revision at 232, page size at 236. Page n occupies the file
// bytes [(n+1)*page_size, (n+2)*page_size); page 0 is the header's copy.
//
// The bytes come from a FileBytes (source/file_bytes.hpp). When the file is
// resident (a mapping, a buffer) a page read is a bounds check and a pointer
// into it; otherwise it is one FileBytes::read per page. Page views stay
// valid while the source lives.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "error/error.hpp"
#include "page/leaf.hpp"
#include "page/tag.hpp"
#include "source/file_bytes.hpp"

namespace quarlet {

constexpr uint32_t kSignature = 0x89ABCDEF;
constexpr size_t kHeaderCopySize = 660;

class PageSource {
 public:
  PageSource(const PageSource&) = delete;
  PageSource& operator=(const PageSource&) = delete;

  // Page n as a view into the file's bytes, its header parsed.
  // InvalidPageNumber when the page does not lie wholly inside the file.
  Result<Page> read_page(uint32_t n) const;
  // Tag reader for a page of this source.
  TagReader tags(const Page& page) const {
    return TagReader(page, format_version_, format_revision_, page_size_);
  }

  const std::string& path() const { return path_; }
  uint32_t page_size() const { return page_size_; }
  uint32_t total_pages() const { return total_pages_; }
  uint32_t format_version() const { return format_version_; }
  uint32_t format_revision() const { return format_revision_; }
  uint64_t file_length() const { return file_size_; }
  bool large_layout() const { return large_layout_; }
  const std::array<uint8_t, kHeaderCopySize>& header() const { return header_; }
  // The whole file as one view when it is resident; empty otherwise.
  ByteView file_bytes() const { return resident_; }
  // Bytes [offset, offset + length) of the file, cut at its end: a view
  // into it when resident, else fetched; the source's Io error when the
  // fetch fails. Views stay valid while the source lives.
  Result<ByteView> read_bytes(uint64_t offset, uint64_t length) const;
  // Hands the file pages resident in this process back to the system; every
  // view stays valid (see MappedFile::release_resident). Long passes call it
  // from time to time so resident memory does not grow with the file.
  void release_resident() const { file_->release_resident(); }
  // Maps pages [first, first + count) in ahead of their use (advice only;
  // see MappedFile::populate).
  void populate_pages(uint32_t first, uint32_t count) const {
    file_->populate((static_cast<uint64_t>(first) + 1) * page_size_,
                    static_cast<uint64_t>(count) * page_size_);
  }
  // Asks for page n's header and last tag slots ahead of their use, so they
  // are at hand when a walk gets there (a hint; nothing when the file is not
  // resident or the page lies past it).
  void prefetch_page(uint32_t n) const {
    const uint64_t size = page_size_;
    const uint64_t start = (static_cast<uint64_t>(n) + 1) * size;
    if (size >= 64 && start + size <= resident_.size()) {
      prefetch_bytes(resident_.data() + start);
      prefetch_bytes(resident_.data() + start + size - 64);
    }
  }

 protected:
  PageSource() = default;
  ~PageSource() = default;
  // Takes the file's bytes and checks its header: InvalidHeader when the
  // file is shorter than 4096 bytes or its page size is 0,
  // InvalidSignature when the signature is wrong.
  Status attach(std::unique_ptr<FileBytes> file, std::string path);

 private:
  std::string path_;                         // as the caller gave it
  std::unique_ptr<FileBytes> file_;          // the whole file, read-only
  ByteView resident_;                        // file_->bytes(): empty when fetched on demand
  uint64_t file_size_ = 0;                   // file_->size(), kept to spare a call per page
  std::array<uint8_t, kHeaderCopySize> header_{};  // copy of bytes 0..659
  uint32_t page_size_ = 0;
  uint32_t total_pages_ = 0;                 // floor(length / page size) - 2, floored at 0
  uint32_t format_version_ = 0;
  uint32_t format_revision_ = 0;
  bool large_layout_ = false;
};

// Keeps a long pass from leaving the file resident: counts the pages the
// pass reads and hands resident pages back every kBytes of them. Views stay
// valid (see PageSource::release_resident).
class ResidentBudget {
 public:
  static constexpr uint64_t kBytes = uint64_t{32} << 20;

  explicit ResidentBudget(const PageSource& source) : source_(source) {}
  // One page read; releases when the budget is spent.
  void page_read() {
    since_ += source_.page_size();
    if (since_ >= kBytes) {
      source_.release_resident();
      since_ = 0;
    }
  }

 private:
  const PageSource& source_;
  uint64_t since_ = 0;  // bytes of pages read since the last release
};

}  // namespace quarlet
