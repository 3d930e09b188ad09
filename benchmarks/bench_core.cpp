// Times one core operation on a database file, without the interpreter: the
// driver used to profile the reader (callgrind, perf) and to separate the
// core's cost from the Python binding's in the benchmark table.
//
//   quarlet_bench FILE open
//   quarlet_bench FILE walk TABLE          visit every record's bytes (no decoding)
//   quarlet_bench FILE read TABLE          decode every record of TABLE
//   quarlet_bench FILE json TABLE          decode and encode as JSON (no file)
//   quarlet_bench FILE csv TABLE           decode and encode as CSV rows (no file)
//   quarlet_bench FILE arrow TABLE [raw|decoded|keep] [COLUMN ...]
//                                          build every Arrow batch of TABLE (of
//                                          the named columns only, if any); keep:
//                                          raw, every batch held to the end, as a
//                                          consumer building a table does
//                                          (QUARLET_BENCH_THREADS=1: no worker threads)
//   quarlet_bench FILE export DIR          export_all into DIR
//   quarlet_bench FILE carve SCOPE [NEEDLE]
//
// Prints one line: seconds, then counts of what was done.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "database/carve.hpp"
#include "database/database.hpp"
#include "export/arrow/reader.hpp"
#include "export/csv.hpp"
#include "export/json.hpp"
#include "export/jsonl.hpp"
#include "record/parser.hpp"

using namespace quarlet;

namespace {

double now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

int usage() {
  std::fprintf(stderr, "usage: quarlet_bench FILE open|read T|json T|export DIR|carve SCOPE [N]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return usage();
  const std::string op = argv[2];
  const std::string arg = argc > 3 ? argv[3] : "";
  double t0 = now();
  auto db = Database::open(argv[1]);
  if (!db) {
    std::fprintf(stderr, "open: %s\n", message(db.error()).c_str());
    return 1;
  }
  if (op == "open") {
    std::printf("%.6f tables=%zu\n", now() - t0, (*db)->tables().size());
    return 0;
  }
  if (op == "walk") {
    t0 = now();
    auto start = start_table(**db, arg);
    if (!start) {
      std::fprintf(stderr, "table: %s\n", message(start.error()).c_str());
      return 1;
    }
    bool primed = true;
    uint64_t count = 0, bytes = 0;
    ByteView data;
    for (;;) {
      auto more = next_record_data(start->cursor, primed, data);
      if (!more) {
        std::fprintf(stderr, "read: %s\n", message(more.error()).c_str());
        return 1;
      }
      if (!*more) break;
      ++count;
      bytes += data.size();
    }
    std::printf("%.6f records=%llu bytes=%llu\n", now() - t0,
                static_cast<unsigned long long>(count), static_cast<unsigned long long>(bytes));
    return 0;
  }
  if (op == "read" || op == "json" || op == "csv") {
    t0 = now();
    auto opened = TableRecords::open(**db, arg);
    if (!opened) {
      std::fprintf(stderr, "table: %s\n", message(opened.error()).c_str());
      return 1;
    }
    TableRecords& records = **opened;
    uint64_t count = 0, fields = 0, out_bytes = 0;
    std::string out;
    JsonKeyPlan plan;
    std::vector<const ColumnDef*> columns;
    for (const ColumnPlan::Item& item : records.plan().items) columns.push_back(item.column);
    const CsvPlan csv = CsvPlan::build(columns, false);
    Record record;
    for (;;) {
      auto more = records.next_into(record);
      if (!more) {
        std::fprintf(stderr, "read: %s\n", message(more.error()).c_str());
        return 1;
      }
      if (!*more) break;
      ++count;
      fields += record.fields.size();
      if (op != "read") {
        if (op == "csv") {
          append_csv_row(out, record, csv, false);
        } else {
          if (!plan.fits(record)) plan = JsonKeyPlan::build(record_columns(record));
          encode_record(out, record, plan);
          out.push_back('\n');
        }
        if (out.size() > (1u << 20)) {
          out_bytes += out.size();
          out.clear();
        }
      }
    }
    out_bytes += out.size();
    std::printf("%.6f records=%llu fields=%llu json=%llu\n", now() - t0,
                static_cast<unsigned long long>(count), static_cast<unsigned long long>(fields),
                static_cast<unsigned long long>(out_bytes));
    return 0;
  }
  if (op == "arrow") {
    t0 = now();
    ArrowReadOptions options;
    options.decode = argc > 4 && std::strcmp(argv[4], "decoded") == 0;
    // QUARLET_BENCH_THREADS=1: every batch on this thread.
    const char* threads = std::getenv("QUARLET_BENCH_THREADS");
    options.workers = threads == nullptr || std::strcmp(threads, "1") != 0;
    for (int i = 5; i < argc; ++i) {
      options.all_columns = false;
      options.columns.emplace_back(argv[i]);
    }
    auto opened = ArrowTableReader::open(**db, arg, options);
    if (!opened) {
      std::fprintf(stderr, "table: %s\n", message(opened.error()).c_str());
      return 1;
    }
    const bool keep = argc > 4 && std::strcmp(argv[4], "keep") == 0;
    std::vector<ArrowArray> kept;
    uint64_t rows = 0;
    for (;;) {
      ArrowArray batch;
      auto more = (*opened)->next(&batch);
      if (!more) {
        std::fprintf(stderr, "read: %s\n", message(more.error()).c_str());
        return 1;
      }
      if (!*more) break;
      rows += static_cast<uint64_t>(batch.length);
      if (keep) {
        kept.push_back(batch);
      } else {
        batch.release(&batch);
      }
    }
    std::printf("%.6f records=%llu\n", now() - t0, static_cast<unsigned long long>(rows));
    for (ArrowArray& batch : kept) batch.release(&batch);
    return 0;
  }
  if (op == "export") {
    t0 = now();
    auto failure = export_all(**db, arg);
    if (failure) {
      std::fprintf(stderr, "export: %s\n", failure->message.c_str());
      return 1;
    }
    std::printf("%.6f\n", now() - t0);
    return 0;
  }
  if (op == "carve") {
    auto scope = parse_carve_scope(arg);
    if (!scope) return usage();
    const std::string needle = argc > 4 ? argv[4] : "";
    t0 = now();
    auto hits = carve_pages(**db, *scope, needle, 6, 1000);
    std::printf("%.6f hits=%zu bytes=%llu\n", now() - t0, hits.size(),
                static_cast<unsigned long long>(uint64_t{(*db)->total_pages()} *
                                                (*db)->page_size()));
    return 0;
  }
  return usage();
}
