// The batch pipeline: opening a pass over a table, its schema, and batches
// built on the calling thread or by two worker threads that take turns at
// the walk and hand their batches over in walk order.
#include "export/arrow/reader.hpp"

#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>

#include "export/arrow/column_builder.hpp"

namespace quarlet {

namespace {

// Record bytes the workers give between releases of resident pages: room
// for the batches being built and the leaves mapped in ahead of the walk.
constexpr uint64_t kWorkerResidentBytes = 4 * ResidentBudget::kBytes;

// Leaves from which a pass starts with its worker threads: a table this
// large takes long enough on one thread that starting them costs little.
// A smaller one starts on the calling thread and brings them in only once
// it proves to hold more than a batch.
constexpr size_t kWorkerLeaves = 1024;

}  // namespace

// The worker threads: each walks a batch in turn, then builds it, handing
// its parts over by walk order.
struct ArrowTableReader::Workers {
  static constexpr size_t kThreads = 2;
  // Batches walked but not yet given: bounds the memory held ahead.
  static constexpr uint64_t kAhead = 2;

  using Built = Part;
  using Key = std::pair<uint64_t, uint32_t>;  // (batch, part)

  std::mutex walk;  // held for a walk: one at a time, in order
  std::mutex m;     // guards what follows
  std::condition_variable cv;
  std::map<Key, Built> built;
  uint64_t next_walk = 0;   // the next batch to walk
  Key next_give{0, 0};      // the next part to give
  bool stop = false;        // the reader is going away
  bool walk_over = false;   // the walk has ended
  bool failed = false;      // a worker ran out of memory
  // What each thread works with: its builder, the records it walked, and
  // the leaves a later walk reads.
  struct Own {
    std::unique_ptr<Builder> builder;
    std::vector<ByteView> records;
    std::vector<uint32_t> ahead;
  };
  std::vector<Own> own;
  std::vector<std::thread> threads;

  void run(ArrowTableReader& reader, size_t t) {
    try {
      work(reader, t);
    } catch (const std::exception&) {
      // Out of memory: the pass ends with that for the caller.
      std::lock_guard<std::mutex> lock(m);
      failed = true;
      cv.notify_all();
    }
  }

  // Hands part `key` over. A batch's parts before its last (each of about
  // the data limit: long values) return only once taken, so that a worker
  // builds the next part only then and holds at most one at a time.
  void publish(Key key, Built&& part) {
    std::unique_lock<std::mutex> lock(m);
    const bool wait = !part.last;
    built.emplace(key, std::move(part));
    cv.notify_all();
    if (wait) cv.wait(lock, [&] { return stop || next_give > key; });
  }

  // Walks a batch's records in turn, then builds them, until the walk ends.
  void work(ArrowTableReader& reader, size_t t) {
    Builder& b = *own[t].builder;
    std::vector<ByteView>& records = own[t].records;
    std::vector<uint32_t>& ahead = own[t].ahead;
    for (;;) {
      std::unique_lock<std::mutex> walking(walk);
      uint64_t seq = 0;
      {
        std::unique_lock<std::mutex> lock(m);
        cv.wait(lock, [&] {
          return stop || failed || walk_over || next_walk - next_give.first < kAhead;
        });
        if (stop || failed || walk_over) return;
        seq = next_walk++;
      }
      std::optional<EseError> error;
      const WalkEnd end = reader.walk_batch(records, error, ahead);
      if (end != WalkEnd::More) {
        std::lock_guard<std::mutex> lock(m);
        walk_over = true;
        cv.notify_all();
      }
      walking.unlock();
      // The page faults of the leaves a later walk reads are taken here,
      // outside the lock, rather than one by one in that walk.
      reader.populate(ahead);
      uint32_t part = 0;
      reader.build_batch(b, records, [&](Built&& built_part) {
        publish({seq, part++}, std::move(built_part));
      });
      Built tail;  // the last part: the rest of the records, and how the walk ended
      reader.finish_part(b, tail);
      tail.last = true;
      tail.end = end;
      tail.error = std::move(error);
      publish({seq, part}, std::move(tail));
      if (end != WalkEnd::More) return;
    }
  }

  // Stops the threads and frees what they built and nobody took.
  void shut() {
    {
      std::lock_guard<std::mutex> lock(m);
      stop = true;
      cv.notify_all();
    }
    for (std::thread& t : threads) t.join();
    threads.clear();
    for (auto& [key, b] : built) {
      if (b.array.release != nullptr) b.array.release(&b.array);
    }
    built.clear();
  }
};

Result<std::unique_ptr<ArrowTableReader>> ArrowTableReader::open(const Database& db,
                                                                 const Name& name,
                                                                 const ArrowReadOptions& options) {
  std::unique_ptr<ArrowTableReader> reader(new ArrowTableReader());
  reader->decode_ = options.decode;
  reader->batch_size_ = options.batch_size == 0 ? 1 : options.batch_size;
  reader->batch_data_ = options.batch_data;
  reader->use_workers_ = options.workers && std::thread::hardware_concurrency() > 1;
  const ColumnPlan* plan = nullptr;
  if (options.decode) {
    auto opened = DecodedTableRecords::open(db, name);
    if (!opened) return opened.error();
    reader->decoded_ = std::move(*opened);
    if (!options.all_columns) {
      if (Status s = reader->decoded_->select(options.columns); !s) return s.error();
    }
    plan = &reader->decoded_->plan();
  } else {
    auto opened = TableRecords::open(db, name);
    if (!opened) return opened.error();
    reader->raw_ = std::move(*opened);
    if (!options.all_columns) {
      if (Status s = reader->raw_->select(options.columns); !s) return s.error();
    }
    plan = &reader->raw_->plan();
  }
  reader->db_ = &db;
  reader->plan_ = plan;
  for (const ColumnPlan::Item& item : plan->items) {
    const ColumnDef& column = *item.column;
    reader->columns_.push_back(arrow_column(column, options.decode));
    // A multi-valued column's Arrow type is not its values' own type, but
    // for a raw text column's (text, as its single values are).
    const bool text = column.column_type == 10 || column.column_type == 12;
    reader->plain_.push_back((column.flags & kColumnMultiValued) == 0 ||
                             (!options.decode && text));
  }
  reader->index_columns();
  reader->here_ = reader->make_builder();
  reader->out_of_form_.assign(reader->columns_.size(), 0);
  return reader;
}

ArrowTableReader::~ArrowTableReader() {
  if (!workers_) return;
  if (::getpid() != workers_pid_) {
    // A forked copy: its worker threads exist only in the process that
    // started them, and their locks may have been held at the fork. Nothing
    // of theirs can be joined or freed here.
    (void)workers_.release();
    return;
  }
  workers_->shut();
}

void ArrowTableReader::schema(ArrowSchema* out) const {
  std::vector<ArrowColumn> ordered;
  ordered.reserve(columns_.size());
  for (size_t k = 0; k < columns_.size(); ++k) ordered.push_back(columns_[plan_->output_index(k)]);
  table_schema(ordered, out);
}

ArrowTableReader::WalkEnd ArrowTableReader::walk_batch(std::vector<ByteView>& records,
                                                       std::optional<EseError>& error,
                                                       std::vector<uint32_t>& ahead) {
  records.clear();
  const TreeCursor& cursor = decode_ ? decoded_->cursor() : raw_->cursor();
  const size_t from = cursor.listed_position();
  // The leaves of the batch after the next one (as many as this batch
  // reads): by the time a walk gets there, they are mapped in.
  const auto look_ahead = [&] {
    const size_t at = cursor.listed_position();
    const size_t n = at - std::min(at, from);
    ahead.clear();
    for (size_t i = at + n; i < at + 2 * n; ++i) {
      const uint32_t page = cursor.listed_page(i);
      if (page != 0) ahead.push_back(page);
    }
  };
  Result<bool> more = decode_ ? decoded_->next_data(records, batch_size_)
                              : raw_->next_data(records, batch_size_);
  if (!more) {
    error = more.error();
    return WalkEnd::Error;
  }
  if (!*more) return WalkEnd::End;
  look_ahead();
  return WalkEnd::More;
}

void ArrowTableReader::populate(const std::vector<uint32_t>& ahead) const {
  for (size_t k = 0; k < ahead.size();) {
    size_t run = 1;
    while (k + run < ahead.size() && ahead[k + run] == ahead[k] + run) ++run;
    db_->populate_pages(ahead[k], static_cast<uint32_t>(run));
    k += run;
  }
}

void ArrowTableReader::start_workers() {
  workers_tried_ = true;  // once, whatever comes of it
  workers_pid_ = ::getpid();
  auto w = std::make_unique<Workers>();
  w->own.resize(Workers::kThreads);
  for (Workers::Own& own : w->own) own.builder = make_builder();
  workers_ = std::move(w);
  try {
    for (size_t t = 0; t < Workers::kThreads; ++t) {
      workers_->threads.emplace_back([this, t] { workers_->run(*this, t); });
    }
  } catch (const std::system_error&) {
    // No threads to be had: the threads started take the pass; with none,
    // it stays on the calling thread.
    if (workers_->threads.empty()) {
      workers_.reset();
    }
  }
}

Result<bool> ArrowTableReader::next(ArrowArray* out) {
  out->release = nullptr;
  if (failed_) throw std::bad_alloc();
  if (error_) return *error_;
  if (ended_) return false;
  // Worker threads pay off on a large table; a smaller one is read on this
  // thread, unless it turns out to hold more than a batch.
  if (!workers_tried_ && use_workers_ &&
      (batches_given_ || (decode_ ? decoded_->leaf_count() : raw_->leaf_count()) >= kWorkerLeaves)) {
    start_workers();
  }
  if (!workers_) return next_here(out);
  if (::getpid() != workers_pid_) {
    // Read in a forked copy of the process: the batches are being built by
    // threads that are not in this one, so none would ever come.
    error_ = EseError::io_text(
        "the stream was started in another process, whose worker threads build its batches; "
        "open a new stream in this process");
    return *error_;
  }
  // Every batch the workers walk ends with a last part, the end of the pass
  // or its error among them: the next part is always coming.
  Workers& w = *workers_;
  for (;;) {
    Part got;
    {
      std::unique_lock<std::mutex> lock(w.m);
      w.cv.wait(lock, [&] { return w.failed || w.built.count(w.next_give) != 0; });
      if (w.failed) {
        // Records of the batch being built are lost to the pass: it ends.
        failed_ = true;
        throw std::bad_alloc();
      }
      auto it = w.built.find(w.next_give);
      got = std::move(it->second);
      w.built.erase(it);
      w.next_give = got.last ? Workers::Key{w.next_give.first + 1, 0}
                             : Workers::Key{w.next_give.first, w.next_give.second + 1};
      w.cv.notify_all();
    }
    for (size_t i = 0; i < out_of_form_.size(); ++i) out_of_form_[i] += got.out_of_form[i];
    if (got.end == WalkEnd::Error) error_ = std::move(got.error);
    if (got.end == WalkEnd::End) ended_ = true;
    if (got.rows > 0) {
      *out = got.array;
      // Pages the workers read are released from time to time, not after
      // every batch: those of the batches still being built would have to
      // be read in again.
      read_since_release_ += got.record_bytes;
      if (read_since_release_ >= kWorkerResidentBytes) {
        db_->release_resident();
        read_since_release_ = 0;
      }
      return true;
    }
    if (error_) return *error_;
    if (ended_) return false;
  }
}

}  // namespace quarlet
