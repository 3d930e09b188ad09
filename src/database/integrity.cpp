// The integrity pass: header facts and page checksums.
#include "database/integrity.hpp"

#include "page/checksum.hpp"

namespace quarlet {

HeaderFacts header_facts(const Database& db) { return parse_header(db.file_bytes()); }

bool checksums_by_block(const Database& db) {
  return header_format(db.format_version(), db.format_revision()) == PageHeaderFormat::Extended &&
         db.page_size() > 8192;
}

IntegrityReport check_integrity(const Database& db) {
  IntegrityReport report;
  report.header = header_facts(db);
  PageChecks& pages = report.pages;
  const ByteView file = db.file_bytes();
  const uint64_t size = db.page_size();
  const bool blocks = checksums_by_block(db);
  constexpr uint64_t kReleaseBytes = uint64_t{32} << 20;
  uint64_t since_release = 0;
  for (uint64_t n = 1; n <= db.total_pages(); ++n) {
    const uint64_t start = (n + 1) * size;
    if (start + size > file.size()) break;  // total_pages keeps every page inside
    since_release += size;
    if (since_release >= kReleaseBytes) {
      db.release_resident();
      since_release = 0;
    }
    const ByteView page = file.subspan(static_cast<size_t>(start), static_cast<size_t>(size));
    const uint32_t number = static_cast<uint32_t>(n);
    const PageChecksum verdict = check_page_checksum(page, number, blocks);
    ++pages.checked;
    switch (verdict.verdict) {
      case ChecksumVerdict::Sound:
        ++pages.sound;
        break;
      case ChecksumVerdict::Unused:
        ++pages.unused;
        break;
      case ChecksumVerdict::Bad:
        if (checksum_fields_blank(page, blocks)) {
          ++pages.no_checksum;
          pages.no_checksum_pages.push_back(number);
        } else {
          ++pages.bad;
          pages.bad_pages.push_back(BadPage{number, verdict.bad_blocks});
        }
        break;
    }
  }
  return report;
}

}  // namespace quarlet
