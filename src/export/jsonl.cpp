// JSON Lines export: one table to one file, or every table into a directory;
// CSV export of one table to one file.
#include "export/jsonl.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "decode/decoded_record.hpp"
#include "export/csv.hpp"
#include "export/json.hpp"
#include "export/json_decoded.hpp"
#include "record/parser.hpp"

namespace quarlet {

namespace {

// Lines are gathered in memory and written once this much has accumulated.
constexpr size_t kFlushThreshold = size_t{1} << 20;

ExportError io_error(std::string message) {
  return ExportError{ExportError::Type::IOError, std::move(message)};
}

// The exception an error raises when a table is started: ValueError for a
// missing table, the bare OS text for an I/O error, else the error's message.
ExportError start_error(const EseError& e) {
  if (e.kind() == ErrorKind::TableNotFound) {
    return ExportError{ExportError::Type::ValueError, message(e)};
  }
  if (e.kind() == ErrorKind::Io) return io_error(e.text());
  return io_error(message(e));
}

// The longest file name (one path component) that common file systems
// accept, in bytes.
constexpr size_t kMaxFileNameBytes = 255;
constexpr std::string_view kFileSuffix = ".jsonl";

// Where one table's lines go: `path` taken relative to the open directory
// `dir_fd`, or as given (relative to the current directory) with AT_FDCWD.
struct OutputTarget {
  int dir_fd = AT_FDCWD;
  std::string path;
  // When false, a symbolic link at `path` fails the open instead of being
  // followed: a file of a directory export never lands outside it.
  bool follow_links = true;
};

// A descriptor closed when it goes out of scope (-1: none).
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

// An output file written in large blocks. Never throws; errors are errno values.
class OutputFile {
 public:
  ~OutputFile() {
    if (fd_ >= 0) ::close(fd_);
  }

  // Creates or truncates the target for writing; returns 0 or the errno
  // (ELOOP for a symbolic link the target may not follow).
  int create(const OutputTarget& target) {
    int flags = O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC;
    if (!target.follow_links) flags |= O_NOFOLLOW;
    do {
      fd_ = ::openat(target.dir_fd, target.path.c_str(), flags, 0666);
    } while (fd_ < 0 && errno == EINTR);
    return fd_ < 0 ? errno : 0;
  }

  std::string& buffer() { return buffer_; }

  // Writes out the whole buffer; returns 0 or the errno of the failed write.
  int flush() {
    const char* p = buffer_.data();
    size_t left = buffer_.size();
    while (left > 0) {
      const ssize_t n = ::write(fd_, p, left);
      if (n < 0) {
        if (errno == EINTR) continue;
        return errno;
      }
      if (n == 0) return EIO;  // no progress: do not spin
      p += n;
      left -= static_cast<size_t>(n);
    }
    buffer_.clear();
    return 0;
  }

  // Closes the file; returns 0 or the errno of a close that reports lost data.
  int close() {
    const int fd = fd_;
    fd_ = -1;
    // On Linux the descriptor is released even when close reports EINTR.
    if (::close(fd) != 0 && errno != EINTR) return errno;
    return 0;
  }

 private:
  int fd_ = -1;
  std::string buffer_;  // complete lines not yet written
};

// Creates `dir` and its missing parents; an existing directory is accepted.
// Returns 0 or the errno of the step that failed.
int make_directories(const std::string& dir) {
  auto is_dir = [](const std::string& p) {
    struct stat st;
    return ::stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
  };
  auto make_one = [&](const std::string& p) -> int {
    if (::mkdir(p.c_str(), 0777) == 0) return 0;
    const int err = errno;
    return is_dir(p) ? 0 : err;
  };
  if (dir.empty()) return 0;  // the current directory
  const int err = make_one(dir);
  if (err != ENOENT) return err;
  // Some parent is missing: create each prefix that ends before a separator.
  for (size_t i = 1; i < dir.size(); ++i) {
    if (dir[i] != '/' || dir[i - 1] == '/') continue;
    const int e = make_one(dir.substr(0, i));
    if (e != 0) return e;
  }
  return make_one(dir);
}

// Opens directory `dir` ("" is the current one) as the base of openat;
// returns the descriptor, or -1 with errno set. Needs no read permission
// where the system can open a directory for lookups only.
int open_directory(const std::string& dir) {
#if defined(O_PATH)
  constexpr int kFlags = O_PATH | O_DIRECTORY | O_CLOEXEC;
#elif defined(O_SEARCH)
  constexpr int kFlags = O_SEARCH | O_DIRECTORY | O_CLOEXEC;
#else
  constexpr int kFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
#endif
  int fd;
  do {
    fd = ::open(dir.empty() ? "." : dir.c_str(), kFlags);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// The longest start of `text` (valid UTF-8) of at most `limit` bytes that
// ends on a character boundary.
std::string_view utf8_prefix(std::string_view text, size_t limit) {
  if (text.size() <= limit) return text;
  size_t end = limit;
  // Back over continuation bytes (10xxxxxx) to the start of the cut character.
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  return text.substr(0, end);
}

// File name `stem` + `tag` + ".jsonl", with the stem cut (on a character
// boundary) so that the whole name fits in kMaxFileNameBytes.
std::string fitted_file_name(std::string_view stem, std::string_view tag) {
  const size_t room = kMaxFileNameBytes - kFileSuffix.size() - tag.size();
  std::string file(utf8_prefix(stem, room));
  file.append(tag);
  file.append(kFileSuffix);
  return file;
}

// Writes `header`, then one line per record to `target` (created or
// truncated). `next` fills the reused record and returns whether one was
// read (or the read error); `encode` appends a record's line, its line end
// included. Lines go out in large
// blocks; before any error is returned the complete lines gathered so far
// are written, so a failed export keeps exactly the lines before the failure.
template <class Rec, class Next, class Encode>
std::optional<ExportError> write_lines(const Database& db, const OutputTarget& target,
                                       std::string_view header, Rec& record, Next next,
                                       Encode encode) {
  OutputFile file;
  if (int err = file.create(target); err != 0) {
    return io_error("Failed to create output file: " + os_error_text(err));
  }
  std::string& buf = file.buffer();
  buf.reserve(kFlushThreshold + (kFlushThreshold >> 2));
  buf.append(header);
  std::optional<ExportError> failure;
  for (;;) {
    Result<bool> more = next(record);
    if (!more) {
      failure = io_error("Error reading record: " + message(more.error()));
      break;
    }
    if (!*more) break;
    encode(buf, record);
    if (buf.size() >= kFlushThreshold) {
      if (int err = file.flush(); err != 0) return io_error("Write error: " + os_error_text(err));
      // The pages read so far are done with: resident memory stays flat
      // however large the table.
      db.release_resident();
    }
  }
  // A failed write is reported instead of a read error, since it came first.
  if (int err = file.flush(); err != 0) return io_error("Write error: " + os_error_text(err));
  if (int err = file.close(); err != 0 && !failure) {
    return io_error("Write error: " + os_error_text(err));
  }
  return failure;
}

// Writes every record of table `name` to `target`, raw values.
std::optional<ExportError> export_raw(const Database& db, const Name& name,
                                      const OutputTarget& target) {
  auto opened = TableRecords::open(db, name);
  if (!opened) return start_error(opened.error());
  TableRecords& records = **opened;
  // Every record of a pass carries the same fields, so the key plan is made
  // once, from the first record, and only rebuilt if a record differs.
  JsonKeyPlan plan;
  Record record;  // storage reused by every record
  return write_lines(
      db, target, "", record, [&](Record& r) { return records.next_into(r); },
      [&](std::string& out, const Record& r) {
        if (!plan.fits(r)) plan = JsonKeyPlan::build(record_columns(r));
        encode_record(out, r, plan);
        out.push_back('\n');
      });
}

// Writes every record of table `name` to `target`, decoded values.
std::optional<ExportError> export_decoded(const Database& db, const Name& name,
                                          const OutputTarget& target) {
  auto opened = DecodedTableRecords::open(db, name);
  if (!opened) return start_error(opened.error());
  DecodedTableRecords& records = **opened;
  JsonKeyPlan plan;
  DecodedRecord record;  // reused by every record
  return write_lines(
      db, target, "", record, [&](DecodedRecord& r) { return records.next(r); },
      [&](std::string& out, const DecodedRecord& r) {
        if (plan.columns.size() != r.fields.size()) {
          plan = JsonKeyPlan::build(decoded_record_columns(r));
        }
        encode_decoded_record(out, r, plan);
        out.push_back('\n');
      });
}

// The columns of a pass, in record order.
std::vector<const ColumnDef*> plan_columns(const ColumnPlan& plan) {
  std::vector<const ColumnDef*> columns;
  columns.reserve(plan.items.size());
  for (const ColumnPlan::Item& item : plan.items) columns.push_back(item.column);
  return columns;
}

// Writes table `name` to `target` as CSV: the header row, then one row per
// record, raw or decoded values.
std::optional<ExportError> export_csv(const Database& db, const Name& name,
                                      const OutputTarget& target, bool decode, bool excel_safe) {
  if (decode) {
    auto opened = DecodedTableRecords::open(db, name);
    if (!opened) return start_error(opened.error());
    DecodedTableRecords& records = **opened;
    const CsvPlan plan = CsvPlan::build(plan_columns(records.plan()), excel_safe);
    DecodedRecord record;
    return write_lines(
        db, target, plan.header, record, [&](DecodedRecord& r) { return records.next(r); },
        [&](std::string& out, const DecodedRecord& r) {
          append_csv_row(out, r, plan, excel_safe);
        });
  }
  auto opened = TableRecords::open(db, name);
  if (!opened) return start_error(opened.error());
  TableRecords& records = **opened;
  const CsvPlan plan = CsvPlan::build(plan_columns(records.plan()), excel_safe);
  Record record;
  return write_lines(
      db, target, plan.header, record, [&](Record& r) { return records.next_into(r); },
      [&](std::string& out, const Record& r) { append_csv_row(out, r, plan, excel_safe); });
}

using TableExporter = std::optional<ExportError> (*)(const Database&, const Name&,
                                                     const OutputTarget&);

// Creates `output_dir` and runs `export_one` for every table in catalog
// order, each into its safe, unique file name; stops at the first failure.
// The directory is opened once and every file is created relative to it,
// never through a symbolic link, so all files land in that one directory.
std::optional<ExportError> export_every_table(const Database& db, const std::string& output_dir,
                                              TableExporter export_one) {
  if (int err = make_directories(output_dir); err != 0) {
    return io_error("Failed to create output directory: " + os_error_text(err));
  }
  const int dir_fd = open_directory(output_dir);
  if (dir_fd < 0) return io_error("Failed to create output directory: " + os_error_text(errno));
  const FileDescriptor dir(dir_fd);
  std::vector<Name> names;
  names.reserve(db.tables().size());
  for (const auto& entry : db.tables()) names.push_back(entry.first);
  const std::vector<std::string> files = export_file_names(names);
  for (size_t i = 0; i < names.size(); ++i) {
    const OutputTarget target{dir.get(), files[i], /*follow_links=*/false};
    if (auto failure = export_one(db, names[i], target)) return failure;
  }
  return std::nullopt;
}

}  // namespace

std::optional<ExportError> export_table_to_path(const Database& db, const Name& name,
                                                const std::string& path) {
  return export_raw(db, name, OutputTarget{AT_FDCWD, path, /*follow_links=*/true});
}

std::optional<ExportError> export_table_csv_to_path(const Database& db, const Name& name,
                                                    const std::string& path, bool decode,
                                                    bool excel_safe) {
  return export_csv(db, name, OutputTarget{AT_FDCWD, path, /*follow_links=*/true}, decode,
                    excel_safe);
}

std::optional<ExportError> export_all(const Database& db, const std::string& output_dir) {
  return export_every_table(db, output_dir, export_raw);
}

std::optional<ExportError> export_table_decoded_to_path(const Database& db, const Name& name,
                                                        const std::string& path) {
  return export_decoded(db, name, OutputTarget{AT_FDCWD, path, /*follow_links=*/true});
}

std::optional<ExportError> export_all_decoded(const Database& db, const std::string& output_dir) {
  return export_every_table(db, output_dir, export_decoded);
}

std::string safe_file_stem(const Name& table_name) {
  std::string stem = utf8_lossy(table_name);
  for (char& c : stem) {
    if (c == '/' || c == '\\' || c == '\0') c = '_';
  }
  if (stem == ".") return "_";
  if (stem == "..") return "__";
  return stem;
}

std::vector<std::string> export_file_names(const std::vector<Name>& table_names) {
  std::vector<std::string> files;
  files.reserve(table_names.size());
  std::unordered_set<std::string> taken;
  for (const Name& name : table_names) {
    const std::string stem = safe_file_stem(name);
    std::string file = fitted_file_name(stem, "");
    for (uint64_t k = 2; taken.count(file) != 0; ++k) {
      file = fitted_file_name(stem, "_" + std::to_string(k));
    }
    taken.insert(file);
    files.push_back(std::move(file));
  }
  return files;
}

}  // namespace quarlet
