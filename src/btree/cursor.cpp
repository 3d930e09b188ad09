// The B-tree cursor: leaves listed by the branch pages, read in that order,
// with link-reached leaves of the tree filtered by key range.
#include "btree/cursor.hpp"

#include <algorithm>
#include <cstring>

#include "page/checksum.hpp"
#include "page/record_layout.hpp"

namespace quarlet {

namespace {

// Tag flag 0x2: the engine has deleted the node and not yet cleaned it up.
constexpr uint8_t kTagDeleted = 0x2;

// How many entries ahead of the one decoded a leaf walk starts loading: far
// enough for the loads of several entries to overlap (entries of 30 to 200
// bytes on 8 and 32 KiB pages; a shorter distance leaves the walk waiting on
// memory, a longer one gains nothing).
constexpr uint16_t kPrefetchAhead = 10;

// Lexicographic byte order; a proper prefix sorts first.
int compare_keys(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
  const size_t n = std::min(a.size(), b.size());
  const int c = n == 0 ? 0 : std::memcmp(a.data(), b.data(), n);
  if (c != 0) return c;
  return a.size() < b.size() ? -1 : (a.size() > b.size() ? 1 : 0);
}



}  // namespace

TreeCursor::TreeCursor(const PageSource& source, uint32_t root, CursorOptions options)
    : source_(&source),
      root_(root),
      opt_(options) {}

bool TreeCursor::leaf_of_tree(const Page& page) const {
  if (!page.is_leaf() || page.owning_object != owner_) return false;
  if ((page.flags & kPageSpaceTree) != 0) return false;
  if (opt_.kind == TreeKind::Records) return (page.flags & (kPageIndex | kPageLongValue)) == 0;
  return true;
}

void TreeCursor::fail(EseError error) {
  status_ = Status(std::move(error));
  valid_ = false;
}

bool TreeCursor::list_leaf(const Page& page) {
  if (leaf_of_tree(page)) {
    listed_.push_back({page.number, true, 0});
    return true;
  }
  stats().foreign.push_back({page.number, page.owning_object});
  return false;
}

void TreeCursor::list_leaves() {
  listed_.clear();
  faults_.clear();
  seen_.reset(source_->total_pages());
  auto root = source_->read_page(root_);
  if (!root.ok()) {
    root_failed_ = true;
    fail(root.error());
    return;
  }
  owner_ = root->owning_object;
  seen_.insert(root_);
  if (opt_.reached != nullptr) opt_.reached->insert(root_);
  if (root->is_leaf()) {
    list_leaf(*root);
    return;
  }
  list_below(*root, listed_);
}

void TreeCursor::list_fault(const Page& branch, uint16_t tag, uint32_t child, EseError error,
                            std::vector<Listed>& out) {
  stats().branch_faults.push_back({branch.number, tag, message(error)});
  if (opt_.skip_past_file) return;
  faults_.push_back(std::move(error));
  out.push_back({child, false, static_cast<uint32_t>(faults_.size())});
}

void TreeCursor::list_below(const Page& branch, std::vector<Listed>& out) {
  stats().branch_pages++;
  // Depth first over the branch pages, children in tag order, each page once.
  // Leaves are not read here (a large tree would be brought into memory
  // whole before its first record): once one child of a branch page is a
  // leaf of the tree, its other children are listed unread, and each leaf is
  // checked when the pass enters it.
  struct Frame {
    Page page;
    TagReader reader;
    uint16_t next_tag;
    bool leaves = false;  // the children are leaves
  };
  const uint16_t first_tag = opt_.include_tag0 ? 0 : 1;
  const uint32_t total = source_->total_pages();
  std::vector<Frame> stack;
  stack.push_back(Frame{branch, source_->tags(branch), first_tag, false});
  while (!stack.empty()) {
    Frame& top = stack.back();
    if (top.next_tag >= top.reader.count) {
      stack.pop_back();
      continue;
    }
    const uint16_t i = top.next_tag++;
    auto tag = get_tag_span(top.reader, i);
    if (!tag.ok() || tag->value.empty()) {
      // Tag 0 of a branch page is its key prefix, not an entry.
      if (i == 0) continue;
      if (!tag.ok()) {
        list_fault(top.page, i, 0, tag.error(), out);
        continue;
      }
      // No bytes: a value past the page (the large layout's span reads it
      // as empty), or an entry too short for anything.
      auto exact = get_tag(top.reader, i);
      list_fault(top.page, i, 0,
                 exact.ok() ? decode_branch_entry(tag->flags, tag->value, UINT32_MAX,
                                                  tag->strip_byte1).error()
                            : exact.error(),
                 out);
      continue;
    }
    // Branch entries are followed whatever their tag flags. The child is
    // checked against the file here, not by the decoder, so that a child
    // past the file keeps its place as a page that cannot be read.
    auto branch = decode_branch_entry(tag->flags, tag->value, UINT32_MAX, tag->strip_byte1);
    if (!branch.ok()) {
      if (i > 0) list_fault(top.page, i, 0, branch.error(), out);
      continue;
    }
    const uint32_t child = branch->child_page;
    if (child > total) {
      list_fault(top.page, i, child, EseError::invalid_page_number(child), out);
      continue;
    }
    if (!seen_.insert(child)) continue;
    if (top.leaves) {
      out.push_back({child, true, 0});
      continue;
    }
    auto page = source_->read_page(child);
    if (!page.ok()) {  // a page inside the file: cannot happen; kept for safety
      list_fault(top.page, i, child, page.error(), out);
      continue;
    }
    if (page->owning_object != owner_ || (page->flags & kPageSpaceTree) != 0) {
      stats().foreign.push_back({child, page->owning_object});
      continue;
    }
    if (page->is_leaf()) {
      if (leaf_of_tree(*page)) {
        out.push_back({child, true, 0});
        top.leaves = true;
      } else {
        stats().foreign.push_back({child, page->owning_object});
      }
      continue;
    }
    stats().branch_pages++;
    if (opt_.reached != nullptr) opt_.reached->insert(child);
    // `top` may dangle after this push; it is not used again.
    stack.push_back(Frame{*page, source_->tags(*page), first_tag, false});
  }
}

void TreeCursor::start() {
  list_leaves();
  if (!status_.ok()) return;
  next();
}

void TreeCursor::start_pages() { list_leaves(); }

bool TreeCursor::next_page() {
  valid_ = false;
  return status_.ok() && enter_next_leaf();
}

bool TreeCursor::follow_link() {
  const uint32_t x = page_.next_page;
  if (x == 0 || x > source_->total_pages() || seen_.contains(x)) return false;
  auto page = source_->read_page(x);
  if (!page.ok()) return false;  // the branch pages give the order: no error
  seen_.insert(x);
  if (!leaf_of_tree(*page)) {
    stats().foreign.push_back({x, page->owning_object});
    return false;
  }
  if (!on_unlisted_) {
    // A chain of unlisted leaves starts: its entries must lie between the
    // last key read and the first key of the next listed leaf.
    has_lower_ = last_entry_page_ != 0 && load_entry_key(last_entry_page_, last_entry_tag_, lower_);
    has_upper_ = first_key_after(next_listed_, upper_);
  }
  stats().unlisted.push_back(x);
  bypass_ = true;
  set_page(*page, true);
  return true;
}

void TreeCursor::set_page(const Page& page, bool unlisted) {
  page_ = page;
  reader_ = source_->tags(page_);
  tags_ = LeafTags(reader_);
  next_tag_ = opt_.include_tag0 ? 0 : 1;
  sound_ = -1;
  on_unlisted_ = unlisted;
  page_loaded_ = true;
  stats().leaf_pages++;
  if (opt_.reached != nullptr) opt_.reached->insert(page_.number);
  // The first entries' loads start now; later ones are started a few
  // entries ahead by the walk itself. The next listed leaf's header and last
  // tag slots are asked for too, so they are at hand when the walk gets
  // there.
  for (uint16_t k = 0; k < kPrefetchAhead; ++k) tags_.prefetch(static_cast<uint16_t>(next_tag_ + k));
  if (next_listed_ < listed_.size() && listed_[next_listed_].readable) {
    source_->prefetch_page(listed_[next_listed_].page);
  }
}

bool TreeCursor::enter_next_leaf() {
  for (;;) {
    // After a leaf, a link to an unlisted leaf of the tree is read next.
    if (page_loaded_ && follow_link()) return true;
    page_loaded_ = false;
    if (next_listed_ >= listed_.size()) {
      if (!ended_) {
        ended_ = true;
        if (has_last_listed_ && last_listed_next_ != 0) {
          stats().link_mismatch.push_back({last_listed_, last_listed_next_});
        }
      }
      return false;
    }
    const Listed l = listed_[next_listed_++];
    Page page;
    if (l.readable) {
      auto read = source_->read_page(l.page);
      if (!read.ok()) {  // a page inside the file: cannot happen; kept for safety
        fail(read.error());
        return false;
      }
      page = *read;
      // A branch page of the tree among leaves (levels mixed under one
      // parent): its leaves take its place in the order.
      if (!page.is_leaf() && page.owning_object == owner_ &&
          (page.flags & kPageSpaceTree) == 0) {
        if (opt_.reached != nullptr) opt_.reached->insert(l.page);
        std::vector<Listed> below;
        list_below(page, below);
        listed_.insert(listed_.begin() + static_cast<ptrdiff_t>(next_listed_), below.begin(),
                       below.end());
        upper_known_ = false;  // indices after this point moved
        continue;
      }
      // Listed unread: a page of another object or kind is not the tree's.
      if (!leaf_of_tree(page)) {
        stats().foreign.push_back({l.page, page.owning_object});
        continue;
      }
    }
    if (has_last_listed_ && last_listed_next_ != l.page) {
      stats().link_mismatch.push_back({last_listed_, last_listed_next_});
    }
    has_last_listed_ = false;
    if (!l.readable) {
      if (l.page != 0) stats().unreadable.push_back(l.page);
      if (bypass_) continue;  // an unlisted leaf of the tree stood in for it
      fail(faults_[l.fault - 1]);
      return false;
    }
    has_last_listed_ = true;
    last_listed_ = l.page;
    last_listed_next_ = page.next_page;
    bypass_ = false;
    set_page(page, false);
    return true;
  }
}

bool TreeCursor::page_is_sound() {
  if (sound_ < 0) {
    const PageChecksum c = check_page_checksum(page_.bytes, page_.number, page_.header_size == 80);
    sound_ = c.verdict == ChecksumVerdict::Bad ? 0 : 1;
  }
  return sound_ == 1;
}

bool TreeCursor::in_key_range(const LeafEntry& entry) {
  full_key(reader_, entry, key_buf_);
  if (has_lower_ && compare_keys(key_buf_, lower_) <= 0) return false;
  if (has_upper_ && compare_keys(key_buf_, upper_) >= 0) return false;
  lower_.swap(key_buf_);
  has_lower_ = true;
  return true;
}

bool TreeCursor::accept(const LeafEntry& entry, uint16_t i) {
  if (opt_.kind == TreeKind::Records && impossible_record_header(entry.data) && !page_is_sound()) {
    if (i > 0) stats().rejected++;
    return false;
  }
  if (i == 0) return opt_.filter != EntryFilter::Deleted || (entry.tag_flags & kTagDeleted) != 0;
  if (on_unlisted_ && !in_key_range(entry)) {
    stats().stale++;
    return false;
  }
  const bool deleted = (entry.tag_flags & kTagDeleted) != 0;
  if (deleted) {
    stats().deleted++;
  } else {
    stats().live++;
  }
  last_entry_page_ = page_.number;
  last_entry_tag_ = i;
  switch (opt_.filter) {
    case EntryFilter::Live:
      return !deleted;
    case EntryFilter::Deleted:
      return deleted;
    case EntryFilter::Any:
      break;
  }
  return true;
}

// The common case, past tag 0 of a listed leaf, where no key range applies:
// accept() for the entries from next_tag_ up to the first one the filter
// passes, decoded straight into entry_. True on that entry, false once the
// page has no more. Counts are kept only when the caller asked for them.
inline bool TreeCursor::next_listed_entry() {
  TreeStats* const st = opt_.stats;
  const bool records = opt_.kind == TreeKind::Records;
  const EntryFilter filter = opt_.filter;
  for (uint16_t i = next_tag_; i < tags_.count; ++i) {
    tags_.prefetch(static_cast<uint16_t>(i + kPrefetchAhead));
    if (!tags_.decode(i, entry_)) continue;
    if (records && impossible_record_header(entry_.data) && !page_is_sound()) {
      if (st != nullptr) {
        st->leaf_entries++;
        st->rejected++;
      }
      continue;
    }
    const bool deleted = (entry_.tag_flags & kTagDeleted) != 0;
    if (st != nullptr) {
      st->leaf_entries++;
      (deleted ? st->deleted : st->live)++;
    }
    last_entry_page_ = page_.number;
    last_entry_tag_ = i;
    if (filter == EntryFilter::Live ? !deleted
                                    : (filter == EntryFilter::Any || deleted)) {
      next_tag_ = static_cast<uint16_t>(i + 1);
      tag_ = i;
      valid_ = true;
      return true;
    }
  }
  next_tag_ = tags_.count;
  return false;
}

void TreeCursor::next() {
  valid_ = false;
  if (!status_.ok()) return;
  for (;;) {
    while (!page_loaded_ || next_tag_ >= tags_.count) {
      if (!enter_next_leaf()) return;
    }
    if (!on_unlisted_ && next_tag_ > 0) {
      if (next_listed_entry()) return;
      continue;
    }
    const uint16_t i = next_tag_++;
    LeafEntry entry;
    if (!tags_.decode(i, entry)) continue;
    if (i > 0) stats().leaf_entries++;
    if (!accept(entry, i)) continue;
    entry_ = entry;
    tag_ = i;
    valid_ = true;
    return;
  }
}

size_t TreeCursor::key(uint8_t* out, size_t limit) const {
  const TagSpan prefix = key_prefix(reader_);
  return full_key(prefix.value, prefix.strip_byte1, entry_, out, limit);
}

bool TreeCursor::load_entry_key(uint32_t page_number, uint16_t tag,
                                std::vector<uint8_t>& out) const {
  auto page = source_->read_page(page_number);
  if (!page.ok()) return false;
  const TagReader reader = source_->tags(*page);
  LeafEntry entry;
  if (!decode_leaf_tag(reader, tag, entry)) return false;
  full_key(reader, entry, out);
  return true;
}

bool TreeCursor::first_key_after(size_t index, std::vector<uint8_t>& out) {
  // The search result is kept: later chains before the same leaf reuse it,
  // so all searches together read each listed leaf at most once.
  if (upper_known_ && upper_index_ >= index) {
    out = upper_cache_;
    return upper_found_;
  }
  upper_known_ = true;
  upper_found_ = false;
  for (size_t j = index; j < listed_.size(); ++j) {
    upper_index_ = j;
    if (!listed_[j].readable) continue;
    auto page = source_->read_page(listed_[j].page);
    if (!page.ok() || !leaf_of_tree(*page)) continue;
    const TagReader reader = source_->tags(*page);
    LeafEntry entry;
    for (uint16_t i = 1; i < reader.count; ++i) {
      if (!decode_leaf_tag(reader, i, entry)) continue;
      full_key(reader, entry, upper_cache_);
      upper_found_ = true;
      out = upper_cache_;
      return true;
    }
  }
  upper_index_ = listed_.size();
  return false;
}

}  // namespace quarlet
