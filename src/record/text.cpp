// Code-page text decoding to UTF-8: windows-1252, UTF-16LE/BE and UTF-8, with
// byte-order-mark sniffing and U+FFFD replacement of malformed input.
#include "record/text.hpp"

#include <array>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace quarlet {

namespace {

// One character as UTF-8: `len` bytes of `b`.
struct Utf8Seq {
  uint8_t len;
  char b[3];
};

constexpr size_t utf8_length(uint32_t cp) {
  return cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
}

// Writes code point `cp` (at most U+10FFFF) as UTF-8 at `o` (1 to 4 bytes);
// returns the end.
constexpr char* put_utf8(char* o, uint32_t cp) {
  if (cp < 0x80) {
    *o++ = static_cast<char>(cp);
  } else if (cp < 0x800) {
    *o++ = static_cast<char>(0xC0 | (cp >> 6));
    *o++ = static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    *o++ = static_cast<char>(0xE0 | (cp >> 12));
    *o++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    *o++ = static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    *o++ = static_cast<char>(0xF0 | (cp >> 18));
    *o++ = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    *o++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    *o++ = static_cast<char>(0x80 | (cp & 0x3F));
  }
  return o;
}

// A code point of the Basic Multilingual Plane as UTF-8 (at most 3 bytes).
constexpr Utf8Seq encode_bmp(uint32_t cp) {
  Utf8Seq seq{};
  seq.len = static_cast<uint8_t>(put_utf8(seq.b, cp) - seq.b);
  return seq;
}

// windows-1252 bytes 0x80..0x9F; the other high bytes map to U+00A0..U+00FF.
constexpr uint16_t kCp1252C1[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

constexpr std::array<Utf8Seq, 128> make_cp1252_table() {
  std::array<Utf8Seq, 128> t{};
  for (uint32_t i = 0; i < 128; ++i) {
    const uint32_t byte = 0x80 + i;
    t[i] = encode_bmp(byte < 0xA0 ? kCp1252C1[byte - 0x80] : byte);
  }
  return t;
}

// UTF-8 of windows-1252 bytes 0x80..0xFF, indexed by byte - 0x80.
constexpr std::array<Utf8Seq, 128> kCp1252Utf8 = make_cp1252_table();

constexpr char kReplacement[] = "\xEF\xBF\xBD";

// Number of leading bytes of p[0, n) below 0x80.
size_t ascii_prefix(const uint8_t* p, size_t n) {
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t w;
    std::memcpy(&w, p + i, 8);
    if (w & 0x8080808080808080ULL) break;
  }
  while (i < n && p[i] < 0x80) ++i;
  return i;
}

// UTF-8 size of windows-1252 text: one character per byte, nothing is
// malformed.
size_t cp1252_size(const uint8_t* p, size_t n) {
  size_t size = n;
  for (size_t i = ascii_prefix(p, n); i < n; ++i) {
    if (p[i] >= 0x80) size += kCp1252Utf8[p[i] - 0x80].len - 1u;
  }
  return size;
}

template <bool kBigEndian>
inline uint32_t load_unit(const uint8_t* p) {
  return kBigEndian ? (static_cast<uint32_t>(p[0]) << 8) | p[1]
                    : (static_cast<uint32_t>(p[1]) << 8) | p[0];
}

// Number of leading UTF-16 code units of p (units of 2 bytes, `units` of them)
// that are below 0x80.
template <bool kBigEndian>
size_t ascii_units_prefix(const uint8_t* p, size_t units) {
  // Loaded little-endian, a unit is ASCII when the bits of this mask are clear.
  constexpr uint64_t kMask = kBigEndian ? 0x80FF80FF80FF80FFULL : 0xFF80FF80FF80FF80ULL;
  size_t u = 0;
#if defined(__SSE2__)
  const __m128i mask = _mm_set1_epi16(static_cast<short>(kMask & 0xFFFF));
  const __m128i zero = _mm_setzero_si128();
  for (; u + 8 <= units; u += 8) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 2 * u));
    if (_mm_movemask_epi8(_mm_cmpeq_epi16(_mm_and_si128(v, mask), zero)) != 0xFFFF) break;
  }
#endif
  for (; u + 4 <= units; u += 4) {
    uint64_t w;
    std::memcpy(&w, p + 2 * u, 8);
    if (w & kMask) break;
  }
  while (u < units && load_unit<kBigEndian>(p + 2 * u) < 0x80) ++u;
  return u;
}

// Calls emit(code point) for each character of the code units p[from, units),
// U+FFFD for each unpaired surrogate. Returns whether the input ends with an
// unpaired leading surrogate, which then has not been emitted: together with
// an odd final byte it makes a single U+FFFD.
template <bool kBigEndian, class Emit>
bool walk_utf16(const uint8_t* p, size_t from, size_t units, Emit&& emit) {
  size_t u = from;
  while (u < units) {
    const uint32_t c = load_unit<kBigEndian>(p + 2 * u);
    ++u;
    if (c < 0xD800 || c > 0xDFFF) {
      emit(c);
    } else if (c <= 0xDBFF) {
      if (u == units) return true;
      const uint32_t c2 = load_unit<kBigEndian>(p + 2 * u);
      if (c2 >= 0xDC00 && c2 <= 0xDFFF) {
        ++u;
        emit(0x10000 + ((c - 0xD800) << 10) + (c2 - 0xDC00));
      } else {
        emit(0xFFFD);  // the next unit is decoded on its own
      }
    } else {
      emit(0xFFFD);
    }
  }
  return false;
}

// UTF-8 size of UTF-16 text in the given byte order (the ASCII prefix
// counted without decoding).
template <bool kBigEndian>
size_t utf16_size(const uint8_t* p, size_t n) {
  const size_t units = n / 2;
  const size_t ascii = ascii_units_prefix<kBigEndian>(p, units);
  size_t size = ascii;
  const bool pending_lead =
      walk_utf16<kBigEndian>(p, ascii, units, [&](uint32_t cp) { size += utf8_length(cp); });
  if (pending_lead || (n & 1) != 0) size += 3;
  return size;
}

// UTF-16 text in the given byte order written to room for at least
// 3 * units + 3 bytes (utf16_size of them exactly), in one pass; returns the
// bytes written.
template <bool kBigEndian>
size_t write_utf16(const uint8_t* p, size_t n, char* out) {
  const size_t units = n / 2;
  size_t u = 0;
#if defined(__SSE2__)
  if constexpr (!kBigEndian) {
    // Eight units at a time while all are below 0x80: they pack to their
    // low bytes exactly.
    const __m128i mask = _mm_set1_epi16(static_cast<short>(0xFF80));
    const __m128i zero = _mm_setzero_si128();
    for (; u + 8 <= units; u += 8) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 2 * u));
      if (_mm_movemask_epi8(_mm_cmpeq_epi16(_mm_and_si128(v, mask), zero)) != 0xFFFF) break;
      _mm_storel_epi64(reinterpret_cast<__m128i*>(out + u), _mm_packus_epi16(v, v));
    }
  }
#endif
  for (; u < units; ++u) {
    const uint32_t c = load_unit<kBigEndian>(p + 2 * u);
    if (c >= 0x80) break;
    out[u] = static_cast<char>(c);
  }
  char* o = out + u;
  const bool pending_lead = walk_utf16<kBigEndian>(p, u, units, [&](uint32_t cp) { o = put_utf8(o, cp); });
  if (pending_lead || (n & 1) != 0) {
    std::memcpy(o, kReplacement, 3);
    o += 3;
  }
  return static_cast<size_t>(o - out);
}

// windows-1252 text written to room for at least 3 * n bytes (cp1252_size of
// them exactly); returns the bytes written.
size_t write_cp1252(const uint8_t* p, size_t n, char* out) {
  char* o = out;
  size_t i = 0;
  while (i < n) {
    if (i + 8 <= n) {
      uint64_t w;
      std::memcpy(&w, p + i, 8);
      if ((w & 0x8080808080808080ULL) == 0) {
        std::memcpy(o, &w, 8);
        o += 8;
        i += 8;
        continue;
      }
    }
    const uint8_t b = p[i++];
    if (b < 0x80) {
      *o++ = static_cast<char>(b);
    } else {
      const Utf8Seq& s = kCp1252Utf8[b - 0x80];
      for (uint8_t k = 0; k < s.len; ++k) *o++ = s.b[k];
    }
  }
  return static_cast<size_t>(o - out);
}

// A sink writing into a string it replaces.
class StringSink : public TextSink {
 public:
  explicit StringSink(std::string& out) : out_(out) {}
  char* extend(size_t n) override {
    out_.resize(n);
    return out_.data();
  }

 private:
  std::string& out_;
};

}  // namespace

bool is_known_codepage(uint32_t cp) { return cp == 1200 || cp == 1252 || cp == 20127; }

namespace {

// How stored text is decoded, after a byte order mark (which the view no
// longer holds): marks win over the code page.
enum class TextForm : uint8_t { Utf8, Utf16le, Utf16be, Cp1252 };

TextForm text_form(ByteView& bytes, uint32_t codepage) {
  const uint8_t* p = bytes.data();
  const size_t n = bytes.size();
  if (n >= 3 && p[0] == 0xEF && p[1] == 0xBB && p[2] == 0xBF) {
    bytes = bytes.subspan(3);
    return TextForm::Utf8;
  }
  if (n >= 2 && p[0] == 0xFF && p[1] == 0xFE) {
    bytes = bytes.subspan(2);
    return TextForm::Utf16le;
  }
  if (n >= 2 && p[0] == 0xFE && p[1] == 0xFF) {
    bytes = bytes.subspan(2);
    return TextForm::Utf16be;
  }
  return codepage == 1200 ? TextForm::Utf16le : TextForm::Cp1252;
}

std::string utf8_text(ByteView bytes) {
  return utf8_lossy(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

// Text of a form other than UTF-8 written to `out`; returns the bytes written.
size_t write_form(TextForm form, ByteView bytes, char* out) {
  switch (form) {
    case TextForm::Utf16le: return write_utf16<false>(bytes.data(), bytes.size(), out);
    case TextForm::Utf16be: return write_utf16<true>(bytes.data(), bytes.size(), out);
    default: return write_cp1252(bytes.data(), bytes.size(), out);
  }
}

}  // namespace

bool append_text(ByteView bytes, uint32_t codepage, TextSink& sink) {
  if (!is_known_codepage(codepage)) return false;
  const TextForm form = text_form(bytes, codepage);
  if (form == TextForm::Utf8) {
    const std::string text = utf8_text(bytes);
    char* o = sink.extend(text.size());
    if (o == nullptr) return false;
    if (!text.empty()) std::memcpy(o, text.data(), text.size());
    return true;
  }
  // Sized exactly first, then written.
  const size_t size = form == TextForm::Cp1252   ? cp1252_size(bytes.data(), bytes.size())
                      : form == TextForm::Utf16le ? utf16_size<false>(bytes.data(), bytes.size())
                                                  : utf16_size<true>(bytes.data(), bytes.size());
  char* o = sink.extend(size);
  if (o == nullptr) return false;
  write_form(form, bytes, o);
  return true;
}

size_t write_text(ByteView bytes, uint32_t codepage, char* out) {
  const TextForm form = text_form(bytes, codepage);
  if (form != TextForm::Utf8) return write_form(form, bytes, out);
  const std::string text = utf8_text(bytes);
  if (!text.empty()) std::memcpy(out, text.data(), text.size());
  return text.size();
}

bool decode_text_into(ByteView bytes, uint32_t codepage, std::string& out) {
  if (!is_known_codepage(codepage)) return false;
  StringSink sink(out);
  return append_text(bytes, codepage, sink);
}

Result<std::string> decode_text(ByteView bytes, uint32_t codepage) {
  std::string out;
  if (!decode_text_into(bytes, codepage, out)) return EseError::unknown_codepage(codepage);
  return out;
}

}  // namespace quarlet
