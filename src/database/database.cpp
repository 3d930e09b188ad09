// Opening a database: its page source, then its catalog.
#include "database/database.hpp"

#include "source/mapped_file.hpp"

namespace quarlet {

Result<std::unique_ptr<Database>> Database::open(const std::string& path) {
  auto file = MappedFile::open(path);
  if (!file) return file.error();
  return open_file(std::move(*file), path);
}

Result<std::unique_ptr<Database>> Database::open_bytes(std::vector<uint8_t> bytes,
                                                      std::string path) {
  return open_file(MappedFile::from_bytes(std::move(bytes)), std::move(path));
}

Result<std::unique_ptr<Database>> Database::open_file(std::unique_ptr<FileBytes> file,
                                                     std::string path) {
  // On every failure below `db` is destroyed, which unmaps and closes.
  std::unique_ptr<Database> db(new Database());
  Status attached = db->attach(std::move(file), std::move(path));
  if (!attached.ok()) return attached.error();
  auto tables = load_catalog(*db);
  if (!tables) return tables.error();
  db->tables_ = std::move(*tables);
  return db;
}

Result<const TableDef*> Database::table(const Name& name) const {
  const TableDef* t = tables_.find(name);
  if (t == nullptr) return EseError::table_not_found(name);
  return t;
}

}  // namespace quarlet
