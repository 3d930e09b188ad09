// The batch reader of a table: one pass over its records, batch by batch,
// each batch's columns built straight from the record bytes (fill.cpp), on
// the calling thread or on two worker threads (pipeline.cpp).
//
// A batch is a struct array with one child per selected column, in the
// order they were asked for (the table's column order when all are read).
// Nulls are validity bitmaps. A text column carries text in both views: its
// compressed values are decompressed. A value whose form is not its
// column's Arrow type (a short fixed-width value kept as bytes, an Unsigned
// byte stored wider than one byte, text that does not decompress) is null
// in the batch and counted per column: no such value is silently turned
// into something else.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

#include "database/database.hpp"
#include "decode/decoded_record.hpp"
#include "export/arrow/abi.hpp"
#include "export/arrow/cell.hpp"
#include "export/arrow/types.hpp"
#include "page/record_layout.hpp"
#include "record/parser.hpp"

namespace quarlet {

// A batch also ends early once its variable-size data reaches this many
// bytes (checked after each chunk of records, and after each record that
// holds a long value), so batches of long values stay a bounded size.
inline constexpr uint64_t kArrowBatchDataLimit = uint64_t{256} << 20;

struct ArrowReadOptions {
  bool decode = false;         // decoded view instead of the raw one
  bool all_columns = true;     // false: only `columns`
  std::vector<Name> columns;   // selected column names (when !all_columns)
  uint32_t batch_size = 65536; // most records per batch (at least 1)
  uint64_t batch_data = kArrowBatchDataLimit;  // see kArrowBatchDataLimit
  bool workers = true;         // false: every batch built on the calling thread
};

class ColumnBuilder;
struct BuilderPool;

// One pass over a table, batch by batch. One reader serves one thread at a
// time; `db` must outlive it.
//
// Where the machine has more than one core and the table is large (a
// thousand leaves or more, or more than one batch), batches are built by
// two worker threads: each in turn takes the next batch's records from the
// walk (one walk, in order, under a lock) and builds its columns while the
// other walks. Batches come out in walk order, with the same values as a
// pass on one thread; a batch whose data reaches the limit is given in
// parts. Long values and decoding of encoded entries are shared: one thread
// at a time. The threads belong to the process that started them: read on
// in a forked copy, the pass ends with an error rather than wait for them.
//
// A batch costs what its records store, not what the table declares: a
// column is built only in the chunks that hold values of it (or defaults),
// and one that holds nothing in a batch is given as zeros shared by every
// such column.
class ArrowTableReader {
 public:
  // TableNotFound, ColumnNotFound, or the error of the descent to the first
  // leaf.
  static Result<std::unique_ptr<ArrowTableReader>> open(const Database& db, const Name& name,
                                                       const ArrowReadOptions& options);
  ~ArrowTableReader();

  // The schema: a struct with one nullable field per column, each carrying
  // the metadata "ese.type" (the type's display name) and "ese.column_id".
  void schema(ArrowSchema* out) const;
  // The next batch into `out`: true, or false at the end (out->release is
  // then null). A page that cannot be read ends the batch being built; that
  // batch is given first and the error on the next call (and on every call
  // after it).
  Result<bool> next(ArrowArray* out);

  const std::vector<ArrowColumn>& columns() const { return columns_; }
  // Values of each column made null because of their form, in the batches
  // given so far.
  const std::vector<uint64_t>& out_of_form() const { return out_of_form_; }

 private:
  ArrowTableReader() = default;

  // A record being built: its bytes, layout and tagged entries.
  struct ChunkRecord {
    ByteView data;
    RecordLayout lay;
    uint32_t slots_begin = 0;  // its tagged entries in Plan::slots
    uint32_t slots_end = 0;
    explicit ChunkRecord(ByteView d) : data(d), lay(d) {}
  };
  // Records being built together (a chunk of a batch), with their tagged
  // entries.
  struct Plan {
    std::vector<ChunkRecord> records;
    std::vector<RecordScratch::TaggedSlot> slots;
    void clear() {
      records.clear();
      slots.clear();
    }
  };
  // What one thread builds a batch with: a builder per column and scratch.
  struct Builder {
    std::unique_ptr<BuilderPool> pool;        // where the builders live
    std::vector<ColumnBuilder*> columns;      // per column: its builder, once made
    std::vector<ArrowCell> cells;             // the column being built, per record
    std::vector<uint32_t> merge_at;           // per record: next of its slots to look at
    std::vector<LongValueChunk> chunk_storage;  // long-value chunks put in order
    ColumnValue value;                        // a value taken in its general form
    DecodedField field;                       // a decoded value taken in its general form
    std::vector<uint64_t> out_of_form;        // of the batch being built
    uint64_t batch_bytes = 0;                 // variable-size data of the batch being built
    Plan chunk;                               // a worker's records being built
    uint32_t rows = 0;                        // a worker's rows since its last part
    uint64_t record_bytes = 0;                // and the bytes of their records
    // A column's builder is made, and its batch begun, when a chunk first
    // holds a value of it; until then it takes no time or memory, and a
    // column that holds nothing in a batch is given as shared zeros.
    uint32_t batch_rows = 0;                  // rows of the batch before this chunk
    std::vector<uint8_t> active;              // per column: begun in this batch
    std::vector<uint32_t> filled;             // per column: its rows in this batch
    std::vector<uint32_t> seen;               // per column: chunk stamp of its last value
    uint32_t stamp = 0;                       // of the chunk being built
    std::vector<uint32_t> order;              // the columns the chunk builds
  };
  // How a worker's walk of a batch ended: more may follow, the end of the
  // pass, or an error.
  enum class WalkEnd : uint8_t { More, End, Error };
  // What the worker threads hand over: batches by walk order, each in one
  // or more parts (a part ends where its data reaches the limit).
  struct Part {
    ArrowArray array{};         // released: a part of no rows
    uint32_t rows = 0;
    uint64_t record_bytes = 0;  // of the records in it
    std::vector<uint64_t> out_of_form;
    bool last = false;          // the walked batch's last part
    WalkEnd end = WalkEnd::More;  // last parts: how the walk of the batch ended
    std::optional<EseError> error;
  };
  struct Workers;  // the worker threads (pipeline.cpp)

  std::unique_ptr<Builder> make_builder();
  // A record that does not hold `column` gives its default (a Default cell),
  // in both views.
  bool takes_default(const ColumnDef& column) const {
    return column.default_value.has_value();
  }
  // Finds, once per pass, which columns every chunk builds and how a tagged
  // entry's id leads to its column.
  void index_columns();
  // Column i's builder, begun in this batch and holding null up to the
  // chunk being built.
  ColumnBuilder& touch(Builder& b, size_t i);
  // The columns a chunk builds (into b.order, ascending): those stored in
  // the record or given a default, and the tagged ones it holds entries of.
  void chunk_columns(Builder& b, const Plan& plan, size_t first, size_t count);
  // The next record of the pass: 1, 0 at the end, -1 on an error (kept in
  // error_).
  int take_record(ByteView& data);
  // Adds a record to `plan`; returns the flags of its tagged entries.
  uint8_t add_record(Plan& plan, ByteView data);
  // Takes up to `want` records into `plan` on the calling thread; fewer at
  // the end of the pass, on an error, or after a record holding a value
  // that may be large, so that the batch's size is checked after it.
  void gather(Plan& plan, size_t want);
  // A worker's batch of records (their bytes): up to batch_size_, fewer at
  // the end or on an error; `ahead` gets the listed leaves of the batch
  // after the next one.
  WalkEnd walk_batch(std::vector<ByteView>& records, std::optional<EseError>& error,
                     std::vector<uint32_t>& ahead);
  // Maps in the listed leaves in `ahead` (pages), contiguous runs at a time.
  void populate(const std::vector<uint32_t>& ahead) const;
  // Builds a worker's batch of records, giving a part each time its data
  // reaches the limit; the rest stays in `b` for finish_part.
  void build_batch(Builder& b, const std::vector<ByteView>& records,
                   const std::function<void(Part&&)>& give);
  // The rows built in `b` since its last part, as a part.
  void finish_part(Builder& b, Part& part);
  // Appends every column's values of records [first, first + count).
  void build(Builder& b, const Plan& plan, size_t first, size_t count);
  // The cells of column i (stored in the record: fixed or variable).
  void stored_cells(Builder& b, const Plan& plan, size_t first, size_t count, size_t i);
  // The cells of tagged column i.
  void tagged_cells(Builder& b, const Plan& plan, size_t first, size_t count, size_t i);
  // Appends a Default, Value or Encoded cell of column i.
  void append_other(Builder& b, const Plan& plan, size_t i, const ArrowCell& cell);
  // A value of a multi-valued column stored plain (one value).
  void append_value(Builder& b, size_t i, ByteView bytes);
  // A column the record does not hold: its catalog default.
  void append_default(Builder& b, size_t i);
  // The raw view's long values for decompressing text (made on first use).
  LongValueSource& raw_long_values();
  // A raw view's long-value reference, resolved.
  void append_long_value(Builder& b, size_t i, ByteView reference);
  // A value of the decoded view in its general form.
  void append_field(Builder& b, size_t i, const DecodedField& field);
  // The batch of `rows` rows built in `b` into `out`; its counts start anew.
  void finish(Builder& b, uint32_t rows, ArrowArray* out, std::vector<uint64_t>& out_of_form);
  // The next batch built on the calling thread.
  Result<bool> next_here(ArrowArray* out);
  // Starts the worker threads (none where the system gives none).
  void start_workers();

  const Database* db_ = nullptr;
  bool decode_ = false;
  uint32_t batch_size_ = 1;
  uint64_t batch_data_ = kArrowBatchDataLimit;
  bool use_workers_ = true;
  std::unique_ptr<TableRecords> raw_;
  std::unique_ptr<DecodedTableRecords> decoded_;
  const ColumnPlan* plan_ = nullptr;   // the pass's columns (of raw_ or decoded_)
  std::vector<ArrowColumn> columns_;
  std::vector<uint8_t> plain_;         // per column: values are of its Arrow type's form
  std::vector<uint32_t> always_;       // columns every chunk builds, ascending
  // Tagged columns built only where a chunk holds entries of them: by id,
  // densely from tagged_base_ (column index + 1; 0 for none), or else in
  // tagged_sorted_ (id, column index) when the ids are too far apart.
  uint32_t tagged_base_ = 0;
  std::vector<uint32_t> tagged_by_id_;
  std::vector<std::pair<uint32_t, uint32_t>> tagged_sorted_;
  std::unique_ptr<Builder> here_;      // the calling thread's
  Plan plan_here_;
  std::vector<uint64_t> out_of_form_;
  bool ended_ = false;
  bool batches_given_ = false;         // a batch has been given
  bool workers_tried_ = false;         // workers were started (or could not be)
  bool failed_ = false;                // a worker ran out of memory: the pass is over
  std::mutex long_values_;             // the long-value index and decoding scratch
  std::unique_ptr<LongValueSource> raw_long_values_;  // raw view: compressed text's long values
  std::vector<uint8_t> raw_buffer_;    // raw view: compressed text's decompression storage
  uint64_t read_since_release_ = 0;    // record bytes given since pages were last released
  std::optional<EseError> error_;      // the error that ended the pass
  std::unique_ptr<Workers> workers_;
  pid_t workers_pid_ = 0;              // the process whose threads workers_ are
};

}  // namespace quarlet
