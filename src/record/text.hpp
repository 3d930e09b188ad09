// Text decoding by code page: 1200 (UTF-16LE), 1252 and 20127 (windows-1252),
// after byte-order-mark sniffing (UTF-8, UTF-16LE, UTF-16BE). Malformed input
// is replaced by U+FFFD, never rejected; other code pages are UnknownCodepage.
#pragma once

#include <cstdint>
#include <string>

#include "error/error.hpp"
#include "util/endian.hpp"

namespace quarlet {

// Returns UTF-8 text.
Result<std::string> decode_text(ByteView bytes, uint32_t codepage);

// decode_text into `out` (replaced, not appended to); false, with `out`
// untouched, when the code page is not accepted.
bool decode_text_into(ByteView bytes, uint32_t codepage, std::string& out);

// Where decoded text goes: extend(n) returns room for exactly n more bytes
// (all of which the decoder writes), or null when the output cannot take
// them. Called at most once per decoded value, with the exact size.
class TextSink {
 public:
  virtual char* extend(size_t n) = 0;

 protected:
  ~TextSink() = default;
};

// decode_text appending to `sink`: false, nothing taken, when the code page
// is not accepted or the sink refuses the bytes.
bool append_text(ByteView bytes, uint32_t codepage, TextSink& sink);

// The most UTF-8 bytes the text of `n` stored bytes decodes to, in any
// accepted code page.
constexpr size_t text_size_bound(size_t n) { return 3 * n + 3; }

// The same text as append_text written straight to `out`, which has room for
// text_size_bound(bytes.size()) bytes; returns the bytes written. The code
// page must be one decode_text accepts.
size_t write_text(ByteView bytes, uint32_t codepage, char* out);

// Whether decode_text accepts `codepage`.
bool is_known_codepage(uint32_t codepage);

}  // namespace quarlet
