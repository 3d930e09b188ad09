// The open database: a page source (source/page_source.hpp) over the whole
// file, read-only, with its catalog loaded. Immutable once opened.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "database/catalog.hpp"
#include "error/error.hpp"
#include "source/page_source.hpp"

namespace quarlet {

class Database : public PageSource {
 public:
  // Opens the file read-only, checks the header and loads the catalog.
  static Result<std::unique_ptr<Database>> open(const std::string& path);
  // The same from an in-memory file image (fuzzing, tests).
  static Result<std::unique_ptr<Database>> open_bytes(std::vector<uint8_t> bytes,
                                                      std::string path = "<memory>");
  // The same from any file bytes: a mapping, a buffer, a reader on demand.
  static Result<std::unique_ptr<Database>> open_file(std::unique_ptr<FileBytes> file,
                                                     std::string path);

  const Tables& tables() const { return tables_; }

  // Looks a table up by its stored name bytes; TableNotFound when absent.
  Result<const TableDef*> table(const Name& name) const;

 private:
  Database() = default;

  Tables tables_;
};

}  // namespace quarlet
