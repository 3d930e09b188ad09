// Opening a database file, header checks and page reads.
#include "database/database.hpp"

#include <cstring>

namespace quarlet {

Result<std::unique_ptr<Database>> Database::open(const std::string& path) {
  auto file = MappedFile::open(path);
  if (!file) return file.error();
  return open_mapped(std::move(*file), path);
}

Result<std::unique_ptr<Database>> Database::open_bytes(std::vector<uint8_t> bytes,
                                                      std::string path) {
  return open_mapped(MappedFile::from_bytes(std::move(bytes)), std::move(path));
}

Result<std::unique_ptr<Database>> Database::open_mapped(std::unique_ptr<MappedFile> file,
                                                       std::string path) {
  // On every failure below `db` is destroyed, which unmaps and closes.
  std::unique_ptr<Database> db(new Database());
  db->path_ = std::move(path);
  db->file_ = std::move(file);
  ByteView bytes = db->file_->bytes();
  if (bytes.size() < 4096) return EseError::invalid_header();
  const uint32_t signature = load_u32le(bytes.data() + 4);
  if (signature != kSignature) return EseError::invalid_signature(signature);
  std::memcpy(db->header_.data(), bytes.data(), kHeaderCopySize);
  db->format_version_ = load_u32le(bytes.data() + 8);
  db->format_revision_ = load_u32le(bytes.data() + 232);
  db->page_size_ = load_u32le(bytes.data() + 236);
  // A page size of 0 has no meaning and would divide by zero.
  if (db->page_size_ == 0) return EseError::invalid_header();
  const uint64_t quotient = bytes.size() / db->page_size_;
  const uint64_t pages = quotient < 2 ? 0 : quotient - 2;
  db->total_pages_ = pages > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<uint32_t>(pages);
  db->large_layout_ = is_large_layout(db->format_version_, db->format_revision_, db->page_size_);
  auto tables = load_catalog(*db);
  if (!tables) return tables.error();
  db->tables_ = std::move(*tables);
  return db;
}

Result<Page> Database::read_page(uint32_t n) const {
  const uint64_t start = (static_cast<uint64_t>(n) + 1) * page_size_;
  const uint64_t end = start + page_size_;
  if (end > file_->size()) return EseError::invalid_page_number(n);
  auto page = parse_page(file_->bytes().subspan(start, page_size_), format_version_,
                         format_revision_, page_size_);
  if (page) page->number = n;
  return page;
}

Result<const TableDef*> Database::table(const Name& name) const {
  const TableDef* t = tables_.find(name);
  if (t == nullptr) return EseError::table_not_found(name);
  return t;
}

}  // namespace quarlet
