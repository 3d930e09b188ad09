// The open database: a read-only mapping of the whole file, its header, page
// size and page count, and the catalog. Immutable once opened.
//
// Header page (little-endian): u32 signature 0x89ABCDEF at 4, format version
// at 8, format revision at 232, page size at 236. Page n occupies the file
// bytes [(n+1)*page_size, (n+2)*page_size); page 0 is the header's copy.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "database/catalog.hpp"
#include "error/error.hpp"
#include "page/tag.hpp"
#include "util/mapped_file.hpp"

namespace quarlet {

constexpr uint32_t kSignature = 0x89ABCDEF;
constexpr size_t kHeaderCopySize = 660;

class Database {
 public:
  // Opens the file read-only, checks the header and loads the catalog.
  static Result<std::unique_ptr<Database>> open(const std::string& path);
  // The same from an in-memory file image (fuzzing, tests).
  static Result<std::unique_ptr<Database>> open_bytes(std::vector<uint8_t> bytes,
                                                      std::string path = "<memory>");

  // Page n as a view into the mapping, its header parsed.
  Result<Page> read_page(uint32_t n) const;
  // Tag reader for a page of this database.
  TagReader tags(const Page& page) const {
    return TagReader(page, format_version_, format_revision_, page_size_);
  }

  const std::string& path() const { return path_; }
  uint32_t page_size() const { return page_size_; }
  uint32_t total_pages() const { return total_pages_; }
  uint32_t format_version() const { return format_version_; }
  uint32_t format_revision() const { return format_revision_; }
  uint64_t file_length() const { return file_->size(); }
  bool large_layout() const { return large_layout_; }
  const std::array<uint8_t, kHeaderCopySize>& header() const { return header_; }
  ByteView file_bytes() const { return file_->bytes(); }
  const Tables& tables() const { return tables_; }
  // Hands the file pages resident in this process back to the kernel; every
  // view stays valid (see MappedFile::release_resident). Long passes call it
  // from time to time so resident memory does not grow with the file.
  void release_resident() const { file_->release_resident(); }
  // Maps pages [first, first + count) in ahead of their use (advice only;
  // see MappedFile::populate).
  void populate_pages(uint32_t first, uint32_t count) const {
    file_->populate((static_cast<uint64_t>(first) + 1) * page_size_,
                    static_cast<uint64_t>(count) * page_size_);
  }

  // Looks a table up by its stored name bytes; TableNotFound when absent.
  Result<const TableDef*> table(const Name& name) const;

 private:
  Database() = default;
  static Result<std::unique_ptr<Database>> open_mapped(std::unique_ptr<MappedFile> file,
                                                       std::string path);

  std::string path_;                         // as the caller gave it
  std::unique_ptr<MappedFile> file_;         // the whole file, read-only
  std::array<uint8_t, kHeaderCopySize> header_{};  // copy of bytes 0..659
  uint32_t page_size_ = 0;
  uint32_t total_pages_ = 0;                 // floor(length / page size) - 2, floored at 0
  uint32_t format_version_ = 0;
  uint32_t format_revision_ = 0;
  bool large_layout_ = false;
  Tables tables_;
};

// Keeps a long pass from leaving the file resident: counts the pages the
// pass reads and hands resident pages back every kBytes of them. Views stay
// valid (see Database::release_resident).
class ResidentBudget {
 public:
  static constexpr uint64_t kBytes = uint64_t{32} << 20;

  explicit ResidentBudget(const Database& db) : db_(db) {}
  // One page read; releases when the budget is spent.
  void page_read() {
    since_ += db_.page_size();
    if (since_ >= kBytes) {
      db_.release_resident();
      since_ = 0;
    }
  }

 private:
  const Database& db_;
  uint64_t since_ = 0;  // bytes of pages read since the last release
};

}  // namespace quarlet
