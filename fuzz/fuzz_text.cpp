// Fuzz target for text decoding: decode_text in every accepted code page
// (and a few others) with byte-order-mark sniffing, and utf8_lossy, then
// JSON string escaping of the results.
//
// Checks: the accepted code pages always decode, to valid UTF-8; others fail
// with UnknownCodepage; utf8_lossy leaves valid UTF-8 unchanged.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "error/error.hpp"
#include "export/json.hpp"
#include "record/text.hpp"
#include "fuzz_common.hpp"

using namespace quarlet;
using quarlet::fuzz::check;

namespace {

// Strict UTF-8 check (no surrogates, no overlongs, at most U+10FFFF).
bool valid_utf8(std::string_view s) {
  size_t i = 0;
  const size_t n = s.size();
  while (i < n) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    size_t len;
    uint32_t cp;
    if (c < 0x80) { ++i; continue; }
    if (c >= 0xC2 && c <= 0xDF) { len = 2; cp = c & 0x1F; }
    else if (c >= 0xE0 && c <= 0xEF) { len = 3; cp = c & 0x0F; }
    else if (c >= 0xF0 && c <= 0xF4) { len = 4; cp = c & 0x07; }
    else return false;
    if (i + len > n) return false;
    for (size_t k = 1; k < len; ++k) {
      const unsigned char d = static_cast<unsigned char>(s[i + k]);
      if ((d & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (d & 0x3F);
    }
    if ((len == 3 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) ||
        (len == 4 && (cp < 0x10000 || cp > 0x10FFFF))) {
      return false;
    }
    i += len;
  }
  return true;
}

constexpr uint32_t kCodepages[] = {1200, 1252, 20127, 65001, 0, 437, 1201, 0xFFFFFFFF};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const ByteView bytes(data, size);
  std::string json;
  for (uint32_t cp : kCodepages) {
    auto text = decode_text(bytes, cp);
    check(text.ok() == is_known_codepage(cp));
    if (!text) continue;
    check(valid_utf8(*text));
    std::string into = "x";
    check(decode_text_into(bytes, cp, into));
    check(into == *text);
    json.clear();
    append_json_string(json, *text);
  }
  const std::string_view raw(reinterpret_cast<const char*>(data), size);
  const std::string lossy = utf8_lossy(raw);
  check(valid_utf8(lossy));
  if (valid_utf8(raw)) check(lossy == raw);
  check(utf8_lossy(lossy) == lossy);
  json.clear();
  append_json_string(json, lossy);
  return 0;
}
