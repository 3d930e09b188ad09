// Messages of EseError kinds, OS error texts and lossy UTF-8 decoding of names.
#include "error/error.hpp"

#include <cstring>
#include <string>

namespace quarlet {

namespace {

std::string hex(uint32_t v) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  do {
    out.insert(out.begin(), digits[v & 0xF]);
    v >>= 4;
  } while (v != 0);
  return "0x" + out;
}

}  // namespace

EseError EseError::io_os(int code) { return EseError(ErrorKind::Io, os_error_text(code)); }

std::string os_error_text(int code) {
  char buf[256];
  buf[0] = '\0';
  // GNU strerror_r may return a static string instead of filling buf.
#if defined(__GLIBC__) && defined(_GNU_SOURCE)
  const char* s = strerror_r(code, buf, sizeof buf);
#else
  const char* s = strerror_r(code, buf, sizeof buf) == 0 ? buf : "Unknown error";
#endif
  return std::string(s) + " (os error " + std::to_string(code) + ")";
}

std::string utf8_lossy(std::string_view in) {
  static const char kReplacement[] = "\xEF\xBF\xBD";
  std::string out;
  out.reserve(in.size());
  const auto* p = reinterpret_cast<const uint8_t*>(in.data());
  size_t n = in.size(), i = 0;
  while (i < n) {
    uint8_t b = p[i];
    if (b < 0x80) {
      out.push_back(static_cast<char>(b));
      ++i;
      continue;
    }
    size_t need;
    uint8_t lo = 0x80, hi = 0xBF;
    if (b >= 0xC2 && b <= 0xDF) {
      need = 1;
    } else if (b >= 0xE0 && b <= 0xEF) {
      need = 2;
      if (b == 0xE0) lo = 0xA0;
      if (b == 0xED) hi = 0x9F;
    } else if (b >= 0xF0 && b <= 0xF4) {
      need = 3;
      if (b == 0xF0) lo = 0x90;
      if (b == 0xF4) hi = 0x8F;
    } else {
      out.append(kReplacement, 3);
      ++i;
      continue;
    }
    // Consume the longest valid prefix; a broken sequence yields one U+FFFD
    // and decoding resumes at the byte that broke it.
    size_t j = i + 1, got = 0;
    while (got < need && j < n) {
      uint8_t c = p[j];
      if (c < lo || c > hi) break;
      lo = 0x80;
      hi = 0xBF;
      ++j;
      ++got;
    }
    if (got == need) {
      out.append(in.data() + i, j - i);
    } else {
      out.append(kReplacement, 3);
    }
    i = j;
  }
  return out;
}

std::string message(const EseError& e) {
  switch (e.kind()) {
    case ErrorKind::InvalidHeader:
      return "Invalid database header";
    case ErrorKind::InvalidSignature:
      return "Invalid signature, expected 0x89ABCDEF, got " + hex(e.a());
    case ErrorKind::UnsupportedVersion:
      return "Unsupported database version: " + hex(e.a()) + ", revision: " + hex(e.b());
    case ErrorKind::InvalidPageNumber:
      return "Invalid page number: " + std::to_string(e.a());
    case ErrorKind::InvalidTagNumber:
      return "Invalid tag number: " + std::to_string(e.a());
    case ErrorKind::TableNotFound:
      return "Table not found: " + utf8_lossy(e.text());
    case ErrorKind::ColumnNotFound:
      return "Column not found: " + utf8_lossy(e.text());
    case ErrorKind::UnsupportedCatalogType:
      return "Unsupported catalog type: " + std::to_string(e.a());
    case ErrorKind::UnsupportedColumnType:
      return "Unsupported column type: " + std::to_string(e.a());
    case ErrorKind::CompressedTaggedData:
      return "Compressed tagged data is not supported";
    case ErrorKind::LongValueUnsupported:
      return "Long value data is not yet supported";
    case ErrorKind::MultiValueUnsupported:
      return "Multi-value data is not fully supported";
    case ErrorKind::CallbackCatalogType:
      return "Callback catalog type is not supported";
    case ErrorKind::InvalidDataDefinitionHeader:
      return "Invalid data definition header";
    case ErrorKind::InvalidCatalogEntry:
      return "Invalid catalog entry";
    case ErrorKind::PageDataTooShort:
      return "Page data too short, expected at least " + std::to_string(e.a()) +
             " bytes, got " + std::to_string(e.b());
    case ErrorKind::TagOffsetOutOfBounds:
      return "Tag offset out of bounds: offset=" + std::to_string(e.a()) +
             ", size=" + std::to_string(e.b()) + ", page_size=" + std::to_string(e.c());
    case ErrorKind::UnknownCodepage:
      return "Unknown codepage: " + std::to_string(e.a());
    case ErrorKind::StringDecode:
      return "String decode error: " + e.text();
    case ErrorKind::Io:
      return "IO error: " + e.text();
    case ErrorKind::Parse:
      return "Parse error: " + e.text();
    case ErrorKind::Alignment:
      return "Alignment error: " + e.text();
  }
  return {};
}

}  // namespace quarlet
