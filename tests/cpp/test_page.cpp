// Error messages, database open, page headers, tag slots and entry decoding.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <thread>
#include <sys/wait.h>
#include <unistd.h>

#include "database/database.hpp"
#include "page/checksum.hpp"
#include "page/header.hpp"
#include "page/leaf.hpp"
#include "page/tag.hpp"
#include "short_reads.hpp"
#include "source/spill_file.hpp"
#include "test_image.hpp"

namespace quarlet {
namespace {

using test::Bytes;
using test::Image;

TEST(ErrorMessage, RendersEveryPayloadShape) {
  const std::pair<EseError, std::string> cases[] = {
      {EseError::invalid_header(), "Invalid database header"},
      {EseError::invalid_signature(0), "Invalid signature, expected 0x89ABCDEF, got 0x0"},
      {EseError::invalid_signature(0xAB), "Invalid signature, expected 0x89ABCDEF, got 0xab"},
      {EseError::invalid_signature(0xEFCDAB89),
       "Invalid signature, expected 0x89ABCDEF, got 0xefcdab89"},
      {EseError::unsupported_version(0x620, 0x14),
       "Unsupported database version: 0x620, revision: 0x14"},
      {EseError::page_data_too_short(80, 64),
       "Page data too short, expected at least 80 bytes, got 64"},
      {EseError::tag_offset_out_of_bounds(5, 16, 4096),
       "Tag offset out of bounds: offset=5, size=16, page_size=4096"},
      {EseError::table_not_found(""), "Table not found: "},
      {EseError::table_not_found("\xff" "A"), "Table not found: \xEF\xBF\xBD" "A"},
      {EseError::column_not_found("c"), "Column not found: c"},
      {EseError::unknown_codepage(65001), "Unknown codepage: 65001"},
      {EseError::parse("x"), "Parse error: x"},
      {EseError::io_text("boom"), "IO error: boom"},
      {EseError::simple(ErrorKind::MultiValueUnsupported), "Multi-value data is not fully supported"},
  };
  for (const auto& [err, text] : cases) EXPECT_EQ(message(err), text);
  EXPECT_EQ(message(EseError::io_os(2)), "IO error: No such file or directory (os error 2)");
}

TEST(ErrorMessage, Utf8LossyReplacesMaximalSubparts) {
  EXPECT_EQ(utf8_lossy("a\xC3\xA9"), "a\xC3\xA9");
  EXPECT_EQ(utf8_lossy("\xE2\x82"), "\xEF\xBF\xBD");           // truncated 3-byte: one U+FFFD
  EXPECT_EQ(utf8_lossy("\xF0\x80"), "\xEF\xBF\xBD\xEF\xBF\xBD");  // bad second byte: two
  EXPECT_EQ(utf8_lossy("\xED\xA0\x80"), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");  // surrogate
  EXPECT_EQ(utf8_lossy("\xC0\xAF"), "\xEF\xBF\xBD\xEF\xBF\xBD");
}

// Random bytes of `chunks` chunks (a fraction allowed).
Bytes spill_bytes(double chunks) {
  Bytes bytes(static_cast<size_t>(SpillFile::kChunk * chunks));
  std::mt19937 rng(7);
  for (auto& b : bytes) b = static_cast<uint8_t>(rng());
  return bytes;
}

TEST(SpillFile, ViewsKeepTheirBytesAcrossReleases) {
  // Twelve and a half chunks, read in order by two threads at once with
  // releases between; the chunks after the first of a span are written
  // behind the readers' backs, and each release unmaps every chunk: the
  // views must see the bytes and outlive that.
  const Bytes bytes = spill_bytes(12.5);
  auto file = SpillFile::open(std::make_unique<test::ShortReads>(bytes), bytes.size(), "/tmp");
  ASSERT_TRUE(file);
  auto pass = [&](uint64_t step) {
    std::vector<std::pair<uint64_t, ByteView>> views;
    for (uint64_t at = 0; at < bytes.size(); at += step) {
      const uint64_t length = std::min<uint64_t>(step + 17, bytes.size() - at);
      auto view = (*file)->read(at, length);
      if (!view) return false;
      views.emplace_back(at, *view);
      if (views.size() % 4 == 0) (*file)->release_resident();
    }
    (*file)->release_resident();
    for (const auto& [at, view] : views) {
      if (std::memcmp(view.data(), bytes.data() + at, view.size()) != 0) return false;
    }
    return true;
  };
  bool other = false;
  std::thread second([&] { other = pass(SpillFile::kChunk / 5); });
  EXPECT_TRUE(pass(SpillFile::kChunk / 3));
  second.join();
  EXPECT_TRUE(other);
}

TEST(SpillFile, AForkedCopyReadsWhatTheWriterHadStillToWrite) {
  // Chunk 1 comes with chunks 2 to 8, handed to the writer thread; a copy
  // forked at once has no writer, and must fetch them itself, not wait.
  const Bytes bytes = spill_bytes(12);
  auto file = SpillFile::open(std::make_unique<test::ShortReads>(bytes), bytes.size(), "/tmp");
  ASSERT_TRUE(file);
  ASSERT_TRUE((*file)->read(0, 1));
  ASSERT_TRUE((*file)->read(SpillFile::kChunk, 1));
  auto all_right = [&] {
    auto view = (*file)->read(0, bytes.size());
    return view && std::memcmp(view->data(), bytes.data(), bytes.size()) == 0;
  };
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    ::alarm(30);  // a hang ends the copy with a signal
    const bool ok = all_right();
    file->reset();  // the writer is not this process's to stop
    ::_exit(ok ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
  EXPECT_TRUE(all_right());
}

TEST(SpillFile, AReadAheadThatFailsKeepsTheChunksItGotAndFailsOnlyTheirSuccessor) {
  // A read of several chunks fails halfway through chunk `bad`: the chunks
  // before it are served, and chunk `bad` fails each time it is asked for.
  // Chunks 1 to 8 come in one read of the pass; from chunk 9 on they are
  // fetched ahead of the pass, whose failure is the pass's to meet.
  for (uint64_t bad : {2, 10}) {
    Bytes bytes(SpillFile::kChunk * 12);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 7 + i / 4096);
    auto file = SpillFile::open(
        std::make_unique<test::ShortReads>(bytes, SpillFile::kChunk * bad + SpillFile::kChunk / 2),
        bytes.size(), "/tmp");
    ASSERT_TRUE(file);
    for (uint64_t c = 0; c < bad; ++c) {
      auto view = (*file)->read(c * SpillFile::kChunk, SpillFile::kChunk);
      ASSERT_TRUE(view) << "chunk " << c;
      EXPECT_EQ(0, std::memcmp(view->data(), bytes.data() + c * SpillFile::kChunk, view->size()));
    }
    for (int again = 0; again < 2; ++again) {
      auto failed = (*file)->read(SpillFile::kChunk * bad, 1);
      ASSERT_FALSE(failed);
      EXPECT_EQ(message(failed.error()), "IO error: device gone");
    }
  }
}

Image empty_catalog_image(uint32_t page_size, uint32_t pages, uint32_t version = 0x620,
                          uint32_t revision = 20) {
  Image img(page_size, pages, version, revision);
  img.set_page(4, 0x3, {{0, {}}});
  return img;
}

TEST(DatabaseOpen, RejectsShortFilesAndBadHeaders) {
  EXPECT_EQ(Database::open_bytes(Bytes(0)).error().kind(), ErrorKind::InvalidHeader);
  Image img(4096, 0);
  Bytes short_file(img.bytes().begin(), img.bytes().begin() + 4095);
  EXPECT_EQ(Database::open_bytes(short_file).error().kind(), ErrorKind::InvalidHeader);

  Bytes exact = img.bytes();  // 4096 bytes, valid signature: page 4 is missing
  auto r = Database::open_bytes(exact);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(message(r.error()), "Invalid page number: 4");

  Image zero(4096, 8);
  test::put32(zero.bytes(), 236, 0);
  EXPECT_EQ(zero.open().error().kind(), ErrorKind::InvalidHeader);

  Image bad(4096, 8);
  bad.bytes()[4] = 0x89; bad.bytes()[5] = 0xAB; bad.bytes()[6] = 0xCD; bad.bytes()[7] = 0xEF;
  EXPECT_EQ(message(bad.open().error()), "Invalid signature, expected 0x89ABCDEF, got 0xefcdab89");

  Image huge(4096, 8);
  test::put32(huge.bytes(), 236, 0xFFFFFFFF);  // larger than the file: no pages
  EXPECT_EQ(message(huge.open().error()), "Invalid page number: 4");
}

TEST(DatabaseOpen, CountsWholePagesOnly) {
  Image img = empty_catalog_image(8192, 9);  // header + 9 pages = 10 x 8192
  Bytes bytes = img.bytes();
  bytes.resize(bytes.size() + 100);
  auto db = Database::open_bytes(bytes);
  ASSERT_TRUE(db.ok()) << message(db.error());
  EXPECT_EQ((*db)->total_pages(), 8u);
  EXPECT_TRUE((*db)->read_page(8).ok());
  EXPECT_TRUE((*db)->read_page(0).ok());
  EXPECT_EQ(message((*db)->read_page(9).error()), "Invalid page number: 9");
  EXPECT_EQ((*db)->read_page(0xFFFFFFFF).error().kind(), ErrorKind::InvalidPageNumber);
}

TEST(DatabaseOpen, MissingFileAndDirectoryAreIoErrors) {
  auto missing = Database::open("/nonexistent/quarlet-test.edb");
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().kind(), ErrorKind::Io);
  auto dir = Database::open("/");
  ASSERT_FALSE(dir.ok());
  EXPECT_EQ(dir.error().kind(), ErrorKind::Io);
}

TEST(PageHeader, FormatAndHeaderSizeByVersion) {
  struct Case { uint32_t version, revision, page_size, header; bool large; };
  const Case cases[] = {
      {0x620, 17, 8192, 40, false}, {0x620, 17, 16384, 80, true},
      {0x623, 0, 32768, 80, false}, {0x620, 12, 32768, 40, false},
      {0x61F, 30, 32768, 40, false}, {0x620, 10, 4096, 40, false},
  };
  Bytes page(32768, 0);
  for (const auto& c : cases) {
    auto p = parse_page(ByteView(page.data(), c.page_size), c.version, c.revision, c.page_size);
    ASSERT_TRUE(p.ok());
    EXPECT_EQ(p->header_size, c.header) << c.version << " " << c.revision << " " << c.page_size;
    EXPECT_EQ(is_large_layout(c.version, c.revision, c.page_size), c.large);
  }
  EXPECT_EQ(message(parse_page(ByteView(page.data(), 39), 0x620, 20, 4096).error()),
            "Page data too short, expected at least 40 bytes, got 39");
  EXPECT_EQ(message(parse_page(ByteView(page.data(), 64), 0x620, 20, 16384).error()),
            "Page data too short, expected at least 80 bytes, got 64");
}

TEST(TagCount, LowTwelveBitsAndLargePageBound) {
  Bytes page(16384, 0);
  test::put16(page, 34, 2000);
  EXPECT_EQ(tag_count(ByteView(page.data(), 4096), 4096), 2000);
  test::put16(page, 34, 0x3000 | 7);  // reserved-tag count in the top bits
  EXPECT_EQ(tag_count(ByteView(page.data(), 4096), 4096), 7);
  test::put16(page, 34, 10);
  test::put16(page, 28, 16360);
  EXPECT_EQ(tag_count(page, 16384), 6);
  test::put16(page, 28, 20000);
  EXPECT_EQ(tag_count(page, 16384), 0);
  EXPECT_EQ(tag_count(ByteView(page.data(), 39), 4096), 0);
}

TagReader reader_for(const Bytes& page, uint32_t version, uint32_t revision) {
  auto p = parse_page(page, version, revision, static_cast<uint32_t>(page.size()));
  return TagReader(*p, version, revision, static_cast<uint32_t>(page.size()));
}

TEST(TagSlot, SmallLayoutFlagsFromSecondWord) {
  Bytes page(4096, 0);
  test::put16(page, 34, 2000);
  const Bytes slot = {0x10, 0x00, 0x05, 0xE0};
  std::copy(slot.begin(), slot.end(), page.end() - 4);
  TagReader r = reader_for(page, 0x620, 20);
  auto t = get_tag(r, 0);
  ASSERT_TRUE(t.ok());
  EXPECT_EQ(t->flags, 7);
  EXPECT_EQ(t->value.size(), 16u);
  EXPECT_EQ(t->value.data(), page.data() + 40 + 5);
  EXPECT_TRUE(get_tag(r, 1023).ok() || get_tag(r, 1023).error().kind() == ErrorKind::TagOffsetOutOfBounds);
  EXPECT_EQ(message(get_tag(r, 1024).error()),
            "Page data too short, expected at least 4100 bytes, got 4096");
  EXPECT_EQ(message(get_tag(r, 2000).error()), "Invalid tag number: 2000");
  // Value running one byte past the page.
  test::put16(page, 4092, 0x1FFF);
  test::put16(page, 4094, 4096 - 40 - 0x1FFF + 1);
  r = reader_for(page, 0x620, 20);
  EXPECT_EQ(get_tag(r, 0).error().kind(), ErrorKind::TagOffsetOutOfBounds);
  EXPECT_EQ(get_tag_owned(r, 0).error().kind(), ErrorKind::TagOffsetOutOfBounds);
}

TEST(TagSlot, LargeLayoutFlagsFromValueSecondByte) {
  Bytes page(16384, 0);
  test::put16(page, 34, 3);
  test::put16(page, 28, 0);
  const Bytes slot0 = {0x10, 0x00, 0x05, 0x80};  // size 16, offset 5, bit 15 ignored
  std::copy(slot0.begin(), slot0.end(), page.end() - 4);
  page[80 + 5] = 0x11;
  page[80 + 6] = 0x83;
  // Tag 1: one byte at offset 40.
  test::put16(page, 16384 - 8, 1);
  test::put16(page, 16384 - 6, 40);
  page[80 + 40] = 0xE5;
  // Tag 2: ends one byte past the page.
  test::put16(page, 16384 - 12, 0x100);
  test::put16(page, 16384 - 10, static_cast<uint16_t>(16384 - 80 - 0x100 + 1));
  TagReader r = reader_for(page, 0x620, 20);
  ASSERT_TRUE(r.large);

  auto view = get_tag(r, 0);
  auto owned = get_tag_owned(r, 0);
  ASSERT_TRUE(view.ok() && owned.ok());
  EXPECT_EQ(view->flags, 4);
  EXPECT_EQ(owned->flags, 4);
  EXPECT_EQ(view->value[1], 0x83);
  EXPECT_EQ(owned->value[1], 0x03);
  EXPECT_EQ(owned->value[0], 0x11);

  auto one = get_tag_owned(r, 1);
  ASSERT_TRUE(one.ok());
  EXPECT_EQ(one->flags, 0);
  EXPECT_EQ(one->value, Bytes{0xE5});
  EXPECT_EQ(get_tag(r, 1)->flags, 0);

  EXPECT_EQ(get_tag(r, 2).error().kind(), ErrorKind::TagOffsetOutOfBounds);
  auto past = get_tag_owned(r, 2);
  ASSERT_TRUE(past.ok());
  EXPECT_TRUE(past->value.empty());
  EXPECT_EQ(past->flags, 0);
}

struct LeafCase {
  uint8_t flags;
  Bytes value;
  Bytes key, data;
  std::optional<uint16_t> common;
};

TEST(LeafEntryDecode, KeysAndDataSplit) {
  const LeafCase cases[] = {
      {0, {0x01, 0x00}, {}, {}, {}},
      {0, {0x00, 0x00, 0x41, 0x42}, {}, {0x41, 0x42}, {}},
      {4, {0x05, 0x00, 0x02, 0x00, 0x61, 0x62, 0x63}, {0x61, 0x62}, {0x63}, 5},
      {0, {0x03, 0x80, 0x61, 0x62, 0x63, 0x64}, {0x61, 0x62, 0x63}, {0x64}, {}},
  };
  for (const auto& c : cases) {
    auto e = decode_leaf_entry(c.flags, c.value);
    ASSERT_TRUE(e.ok());
    EXPECT_EQ(Bytes(e->key.begin(), e->key.end()), c.key);
    EXPECT_EQ(Bytes(e->data.begin(), e->data.end()), c.data);
    EXPECT_EQ(e->common_key_size, c.common);
    EXPECT_EQ(e->local_key_size, c.key.size());
  }
  EXPECT_EQ(message(decode_leaf_entry(4, Bytes{1, 2, 3}).error()),
            "Parse error: Leaf entry too short: got 3 bytes, need at least 4 (flags: 0x4)");
  // Large layout: the flag bits in byte 1 are not part of the size.
  auto e = decode_leaf_entry(0, Bytes{0x01, 0xE0, 0x61, 0x62}, true);
  ASSERT_TRUE(e.ok());
  EXPECT_EQ(e->key.size(), 1u);
  EXPECT_EQ(e->data.size(), 1u);
}

TEST(BranchEntryDecode, ChildPageAndErrors) {
  auto ok = decode_branch_entry(0, Bytes{0, 0, 7, 0, 0, 0}, 100);
  ASSERT_TRUE(ok.ok());
  EXPECT_EQ(ok->child_page, 7u);
  auto trailing = decode_branch_entry(0, Bytes{2, 0, 0x61, 0x62, 7, 0, 0, 0, 0xFF}, 100);
  ASSERT_TRUE(trailing.ok());
  EXPECT_EQ(trailing->key.size(), 2u);
  EXPECT_EQ(trailing->child_page, 7u);

  const std::pair<Bytes, std::string> errors[] = {
      {{0, 0, 0, 0, 0, 0},
       "Parse error: Branch entry has invalid child page number: 0 (likely corrupted data)"},
      {{0, 0, 101, 0, 0, 0},
       "Parse error: Branch entry has invalid child page number: 101 (likely corrupted data)"},
      {{5, 0, 0x61, 0x62, 0x63, 0x64, 0x65, 1},
       "Parse error: Branch entry too short for child page number: got 8 bytes, offset 7, need 4 "
       "more (likely metadata tag)"},
      {{0, 0, 7, 0, 0}, "Parse error: Branch entry too short: got 5 bytes, need at least 6 (flags: 0x0)"},
  };
  for (const auto& [value, text] : errors) {
    EXPECT_EQ(message(decode_branch_entry(0, value, 100).error()), text);
  }
  EXPECT_TRUE(decode_branch_entry(0, Bytes{0, 0, 100, 0, 0, 0}, 100).ok());
  EXPECT_EQ(message(decode_branch_entry(4, Bytes{0, 0, 0, 0, 7, 0, 0}, 100).error()),
            "Parse error: Branch entry too short: got 7 bytes, need at least 8 (flags: 0x4)");
}

// Fills the checksum fields of a page the way the engine writes them.
void sign(std::vector<uint8_t>& page, uint32_t n, bool blocks) {
  auto put = [&](size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) page[at + i] = static_cast<uint8_t>(v >> (8 * i));
  };
  const ByteView all(page);
  if (!blocks) {
    put(0, xor32(all.subspan(8), n));
    return;
  }
  const size_t block = page.size() / 4;
  for (size_t k = 1; k < 4; ++k) put(40 + 8 * (k - 1), xor32(all.subspan(k * block, block), n));
  put(0, xor32(all.subspan(8, block - 8), n));
}

TEST(PageChecksum, VerdictsAndFailingBlocks) {
  for (const uint32_t size : {4096u, 8192u, 16384u, 32768u}) {
    const bool blocks = size > 8192;
    std::vector<uint8_t> page(size);
    EXPECT_EQ(check_page_checksum(page, 7, blocks).verdict, ChecksumVerdict::Unused);
    for (size_t i = 0; i < size; i += 97) page[i] = static_cast<uint8_t>(i * 31 + 5);
    sign(page, 7, blocks);
    EXPECT_EQ(check_page_checksum(page, 7, blocks).verdict, ChecksumVerdict::Sound) << size;
    // The seed is the page number: the same bytes at another number fail.
    EXPECT_EQ(check_page_checksum(page, 8, blocks).verdict, ChecksumVerdict::Bad) << size;
    // A flipped bit in the last block fails that block only.
    page[size - 3] ^= 0x10;
    const PageChecksum torn = check_page_checksum(page, 7, blocks);
    EXPECT_EQ(torn.verdict, ChecksumVerdict::Bad);
    EXPECT_EQ(torn.bad_blocks, blocks ? 0x8 : 0x1) << size;
  }
}

TEST(PageChecksum, OlderFormAndHeader) {
  std::vector<uint8_t> page(4096, 0x5A);
  const uint32_t old = xor32(ByteView(page).subspan(4), 0x89ABCDEF);
  for (int i = 0; i < 4; ++i) page[i] = static_cast<uint8_t>(old >> (8 * i));
  EXPECT_EQ(check_page_checksum(page, 3, false).verdict, ChecksumVerdict::Sound);
  // The header covers bytes 4 to 4096 whatever the page size.
  std::vector<uint8_t> header(8192, 0x11);
  const uint32_t sum = xor32(ByteView(header).subspan(4, 4092), 0x89ABCDEF);
  for (int i = 0; i < 4; ++i) header[i] = static_cast<uint8_t>(sum >> (8 * i));
  header[5000] ^= 0xFF;
  EXPECT_TRUE(header_checksum(header).ok());
  header[100] ^= 0x01;
  EXPECT_FALSE(header_checksum(header).ok());
}

TEST(PageChecksum, BlankFieldsMeanWrittenWithoutChecksums) {
  for (const bool blocks : {false, true}) {
    std::vector<uint8_t> page(16384, 0);
    page[100] = 1;
    EXPECT_TRUE(checksum_fields_blank(page, blocks));
    page[blocks ? 50 : 5] = 1;  // a field of block 2, or the ECC half of block 0
    EXPECT_FALSE(checksum_fields_blank(page, blocks));
  }
  EXPECT_FALSE(checksum_fields_blank(std::vector<uint8_t>(4), false));
}

TEST(HeaderFacts, CalendarRulesOfLogTimes) {
  // second, minute, hour, day, month, year - 1900 -> valid
  const std::vector<std::pair<std::array<uint8_t, 6>, bool>> cases = {
      {{59, 59, 23, 31, 12, 255}, true},  {{0, 0, 0, 29, 2, 100}, true},   // 2000: leap
      {{0, 0, 0, 29, 2, 200}, false},     {{0, 0, 0, 29, 2, 124}, true},   // 2100, 2024
      {{0, 0, 0, 29, 2, 123}, false},     {{0, 0, 0, 31, 4, 120}, false},
      {{0, 0, 0, 0, 1, 120}, false},      {{0, 0, 0, 1, 0, 120}, false},
      {{0, 0, 24, 1, 1, 120}, false},     {{0, 60, 0, 1, 1, 120}, false},
      {{60, 0, 0, 1, 1, 120}, false},     {{0, 0, 0, 1, 13, 120}, false},
  };
  for (const auto& [bytes, valid] : cases) {
    LogTime t;
    std::copy(bytes.begin(), bytes.end(), t.raw.begin());
    EXPECT_TRUE(t.is_set());
    EXPECT_EQ(t.is_valid(), valid) << int(bytes[3]) << "/" << int(bytes[4]) << "/" << int(bytes[5]);
  }
  LogTime unset;
  unset.raw = {1, 2, 3, 4, 5, 0, 7, 8};
  EXPECT_FALSE(unset.is_set());
  EXPECT_FALSE(unset.is_valid());
}

TEST(HeaderFacts, ShortFilesReadZerosAndNoShadow) {
  test::Image image(8192, 2);
  Bytes file = image.bytes();
  test::put32(file, 52, 2);
  test::put32(file, 296, 0x51);
  test::put32(file, 416, 0x52);
  for (const size_t size : {size_t{0}, size_t{7}, size_t{300}, size_t{4096}, size_t{12287},
                            size_t{12288}}) {
    const HeaderFacts f = parse_header(ByteView(file).first(size));
    EXPECT_EQ(f.state, size >= 56 ? 2u : 0u) << size;
    EXPECT_EQ(f.required_log_low, size >= 300 ? 0x51u : 0u) << size;
    EXPECT_EQ(f.committed_log, size >= 420 ? 0x52u : 0u) << size;
    EXPECT_EQ(f.shadow_present, size >= 8192 + 4096) << size;
  }
}

}  // namespace
}  // namespace quarlet
