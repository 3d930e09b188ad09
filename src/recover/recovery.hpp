// Recovery of deleted records: records the engine deleted that the file
// still holds, for one table or every table, dropped tables included.
//
// Sources, each one strategy over the pages that carry the table's object id:
//   deleted  leaf entries flagged deleted (tag flag 0x2): of the table's tree,
//            read with the B-tree cursor, and of its orphan pages;
//   orphan   the other entries of orphan pages: leaf pages that carry the
//            table's object id but that no walk of its tree reaches (emptied
//            pages not yet reused, stale copies), whose keys the tree does
//            not hold;
//   slack    whole old records in the free bytes of the table's leaf pages
//            and orphan pages (recover/slack.hpp); none on scrubbed pages.
// A dropped table (recover/dropped.hpp) has no tree: every page carrying its
// object id is an orphan page.
//
// A deleted entry of the tree whose data is no record that fits the table
// (the engine can shrink a deleted node to its key) is still given, as an
// item of its key without a record, so that no flagged node is dropped.
//
// Every record given passes the layout checks against the table's columns
// (recover/record_check.hpp); orphan and slack records that repeat the bytes
// of a record of the tree are not given (they are copies left by page
// splits and reorganisations), and no record's bytes are given twice for a
// table. When the walk of a tree fails part way, its orphan pages are not
// known and none is read.
//
// Items come table by table (catalog order, then dropped tables), each
// table's in page order and by offset within a page. Memory: the page
// headers' owner ids (8 bytes a leaf page), a bit a page for the tree walk,
// the deleted entries' places, and, for a table with orphan pages or slack
// records, 16 bytes per record of its tree to recognise copies.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <unordered_set>
#include <vector>

#include "btree/page_set.hpp"
#include "database/database.hpp"
#include "decode/decoded_record.hpp"
#include "record/parser.hpp"
#include "recover/record_check.hpp"
#include "recover/slack.hpp"

namespace quarlet {

enum class RecoverSource : uint8_t { Deleted, Orphan, Slack };

// Bits of the `sources` argument.
constexpr unsigned kSourceDeleted = 1u << static_cast<unsigned>(RecoverSource::Deleted);
constexpr unsigned kSourceOrphan = 1u << static_cast<unsigned>(RecoverSource::Orphan);
constexpr unsigned kSourceSlack = 1u << static_cast<unsigned>(RecoverSource::Slack);
constexpr unsigned kAllSources = kSourceDeleted | kSourceOrphan | kSourceSlack;

// "deleted", "orphan", "slack".
const char* source_name(RecoverSource source);

// One recovered record.
struct RecoveredItem {
  const TableDef* table = nullptr;  // live or dropped; lives as long as the Recovery
  bool dropped = false;             // the table is a dropped one
  RecoverSource source = RecoverSource::Deleted;
  uint32_t page = 0;
  uint64_t offset = 0;              // file offset of the record's first byte
  uint32_t checks = 0;              // RecordCheck bits passed
  ByteView data;                    // the record bytes, a view into the mapping
  bool has_record = true;           // false: a deleted node holding only its key
                                    // (`data` is what follows the key)
  bool has_key = false;             // `key` holds the entry's full key (deleted
                                    // and orphan entries; slack nodes have none)
  std::vector<uint8_t> key;
};

class Recovery {
 public:
  // Recovery of every table (`table_name` null) or of the live and dropped
  // tables of that name (TableNotFound when there is none). `sources`: a
  // mask of kSource* bits. Reads the page headers once.
  static Result<std::unique_ptr<Recovery>> open(const Database& db, const Name* table_name,
                                                unsigned sources);

  // The next item; false at the end. Never fails: what cannot be read is
  // skipped.
  bool next(RecoveredItem& out);

  // The record of the item next() returned last, as the live view gives
  // the same bytes: raw (long values resolved) or decoded.
  void read_raw(const RecoveredItem& item, Record& out);
  void read_decoded(const RecoveredItem& item, DecodedRecord& out);
  // The column plan of the item's table (valid until next() moves on).
  const ColumnPlan& plan() const { return plan_; }

 private:
  struct Target {
    const TableDef* table;
    bool dropped;
  };

  explicit Recovery(const Database& db) : db_(&db), resident_(db) {}
  void start_table();
  void read_page(uint32_t page, bool orphan);
  void add_entry(const Page& page, const TagReader& reader, uint16_t tag, bool orphan);
  void add_slack(const Page& page, const TagReader& reader);
  void push(const Page& page, RecoverSource source, ByteView data, uint32_t checks,
            const std::vector<uint8_t>* key = nullptr, bool has_record = true);
  bool is_copy(ByteView data);
  void build_tree_sets();
  uint32_t page_checks(const Page& page);
  // Counts one page read; hands resident file pages back every 32 MiB.
  void count_page_read();

  const Database* db_;
  unsigned sources_ = kAllSources;
  std::vector<Target> targets_;
  std::vector<std::unique_ptr<TableDef>> dropped_;  // owned definitions of dropped tables
  std::vector<uint64_t> owned_;  // (owner id << 32 | page) of record leaf pages, sorted
  size_t next_target_ = 0;

  // The current table.
  bool in_table_ = false;
  Target target_{nullptr, false};
  RecordShape shape_;
  ColumnPlan plan_;
  std::optional<LongValueSource> lv_;
  PageSet reached_;               // pages of the table's tree the walk read
  bool walk_ok_ = false;          // the walk ended soundly: orphan pages are known
  std::vector<uint64_t> deleted_; // (page << 16 | tag) of deleted entries of the tree
  size_t next_deleted_ = 0;
  size_t next_owned_ = 0;
  size_t end_owned_ = 0;
  bool tree_sets_built_ = false;
  std::vector<uint64_t> tree_keys_;   // hashes of the keys of the tree's entries, sorted
  std::vector<uint64_t> tree_data_;   // hashes of their record bytes, sorted
  std::unordered_set<uint64_t> given_;  // hashes of the record bytes given for the table
  ResidentBudget resident_;           // hands pages back as the pass reads them

  // Items of the page being given.
  std::vector<RecoveredItem> pending_;
  size_t next_pending_ = 0;
  int page_sound_ = -1;  // checksum verdict of the page read: -1 unknown

  // Working storage.
  std::vector<ByteRange> spans_;
  std::vector<ByteRange> regions_;
  NodeBounds bounds_;
  SlackScratch slack_scratch_;
  std::vector<SlackRecord> slack_found_;
  std::vector<uint8_t> key_buf_;
  RecordScratch scratch_;
  std::vector<uint8_t> buffer_;
};

}  // namespace quarlet
