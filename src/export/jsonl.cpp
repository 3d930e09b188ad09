// STUB
#include "export/jsonl.hpp"
namespace quarlet {
std::optional<ExportError> export_table_to_path(const Database&, const Name&, const std::string&) { return std::nullopt; }
std::optional<ExportError> export_all(const Database&, const std::string&) { return std::nullopt; }
std::string safe_file_stem(const Name& n) { return n; }
}  // namespace quarlet
