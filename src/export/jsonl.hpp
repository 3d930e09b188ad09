// JSON Lines export of one table or of every table into a directory.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "database/database.hpp"

namespace quarlet {

// The failure of an export, already shaped as the Python exception to raise.
struct ExportError {
  enum class Type { ValueError, IOError } type = Type::IOError;
  std::string message;
};

// Writes every record of table `name` to `path` (created or truncated; a
// symbolic link at `path` is followed, as for any path the caller names).
// Output is buffered in large blocks; the complete lines written so far are
// flushed before an error is returned.
std::optional<ExportError> export_table_to_path(const Database& db, const Name& name,
                                                const std::string& path);

// Creates `output_dir` (with parents) and exports every table in catalog
// order into it, one file per table with a safe, unique file name. Each file
// is created inside the directory opened at the start without following a
// symbolic link: a link at a file's name fails the export with "Failed to
// create output file: ..." and nothing outside the directory is written.
std::optional<ExportError> export_all(const Database& db, const std::string& output_dir);

// The decoded forms of the two exports: the same files, lines and errors,
// with each record's values decoded (decode/decoded_record.hpp) and encoded
// as export/json_decoded.hpp describes.
std::optional<ExportError> export_table_decoded_to_path(const Database& db, const Name& name,
                                                        const std::string& path);
std::optional<ExportError> export_all_decoded(const Database& db, const std::string& output_dir);

// Writes table `name` to `path` (created or truncated, a symbolic link
// followed, as export_table_to_path) as CSV (export/csv.hpp): a header row of
// the column names, then one row per record, raw or decoded values, the
// Excel-safe rule when asked. Same buffering and errors as the JSON export.
std::optional<ExportError> export_table_csv_to_path(const Database& db, const Name& name,
                                                    const std::string& path, bool decode,
                                                    bool excel_safe);

// File name for a table: its text with '/', '\\' and NUL replaced by '_',
// "." and ".." mapped to "_" and "__" (without the ".jsonl" suffix).
std::string safe_file_stem(const Name& table_name);

// The file name of each table of one export_all call, in the same order:
// safe_file_stem + ".jsonl", or, when an earlier table took that name,
// stem + "_2", "_3", ... (the first free one) + ".jsonl". A stem too long
// for a 255-byte file name with its suffix is cut at a UTF-8 character
// boundary so that the whole name fits, so every table gets a usable file.
std::vector<std::string> export_file_names(const std::vector<Name>& table_names);

}  // namespace quarlet
