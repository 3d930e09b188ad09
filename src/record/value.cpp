// Column value decoding: the raw bytes of one column, by its catalog type,
// into a ColumnValue. Numbers are little-endian and read from the leading
// bytes only; data shorter than the type's width is kept as Binary.
#include "record/value.hpp"

#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "record/text.hpp"

namespace quarlet {

namespace {

constexpr std::string_view kTypeNames[19] = {
    "NULL",        "Boolean",   "Unsigned byte", "Signed short", "Signed long",
    "Currency",    "Single precision FP", "Double precision FP", "DateTime",
    "Binary",      "Text",      "Long Binary",   "Long Text",    "Obsolete",
    "Unsigned long", "Long long", "GUID",        "Unsigned short", "Max",
};

// The alternative T of `out`, keeping the buffer it already holds when it is
// a T (records decoded into the same storage reuse their allocations).
template <class T>
T& reuse(ColumnValue& out) {
  if (T* held = std::get_if<T>(&out)) return *held;
  return out.emplace<T>();
}

inline void set_binary(ByteView data, ColumnValue& out) {
  reuse<BinaryValue>(out).bytes.assign(data.begin(), data.end());
}

// Decodes non-empty `data` into `out`, replacing what it holds. Returns
// false, `out` untouched, for a text column whose code page is not accepted.
bool decode_into(ByteView data, const ColumnDef& column, ColumnValue& out) {
  const uint8_t* p = data.data();
  const size_t n = data.size();
  switch (column.column_type) {
    case 1:  // Boolean
      out.emplace<bool>(p[0] != 0);
      return true;
    case 2:  // Unsigned byte: the width follows the data length
      switch (n) {
        case 1: out.emplace<uint8_t>(p[0]); break;
        case 2: out.emplace<uint16_t>(load_u16le(p)); break;
        case 4: out.emplace<uint32_t>(load_u32le(p)); break;
        case 8: out.emplace<uint64_t>(load_u64le(p)); break;
        default: set_binary(data, out); break;
      }
      return true;
    case 9:  // Binary
      set_binary(data, out);
      return true;
    case 10:    // Text
    case 12: {  // Long Text
      const uint32_t codepage = column.codepage.value_or(1252);
      if (!is_known_codepage(codepage)) return false;
      decode_text_into(data, codepage, reuse<TextValue>(out).utf8);
      return true;
    }
    case 11:  // Long Binary stored in the record
      reuse<LongBinaryValue>(out).bytes.assign(data.begin(), data.end());
      return true;
    default:
      break;
  }
  // Fixed-width types: the first `width` bytes; shorter data stays Binary.
  static constexpr uint8_t kWidth[19] = {0, 1, 0, 2, 4, 8, 4, 8, 8, 0, 0, 0, 0, 0, 4, 8, 16, 2, 0};
  const uint32_t type = column.column_type;
  if (type >= 19 || kWidth[type] == 0) {  // 0 NULL, 13 Obsolete, 18 Max
    out.emplace<std::monostate>();
    return true;
  }
  if (n < kWidth[type]) {
    set_binary(data, out);
    return true;
  }
  switch (type) {
    case 3: out.emplace<int16_t>(static_cast<int16_t>(load_u16le(p))); break;   // Signed short
    case 4: out.emplace<int32_t>(static_cast<int32_t>(load_u32le(p))); break;   // Signed long
    case 5: out.emplace<CurrencyValue>(CurrencyValue{load_u64le(p)}); break;     // unscaled
    case 6: {  // Single precision FP, bit pattern kept
      const uint32_t bits = load_u32le(p);
      float f;
      std::memcpy(&f, &bits, 4);
      out.emplace<float>(f);
      break;
    }
    case 7: {  // Double precision FP
      const uint64_t bits = load_u64le(p);
      double d;
      std::memcpy(&d, &bits, 8);
      out.emplace<double>(d);
      break;
    }
    case 8: out.emplace<DateTimeValue>(DateTimeValue{load_u64le(p)}); break;     // unconverted
    case 14: out.emplace<uint32_t>(load_u32le(p)); break;                       // Unsigned long
    case 15: out.emplace<uint64_t>(load_u64le(p)); break;                       // Long long
    case 16: {  // GUID, stored order
      GuidValue& g = out.emplace<GuidValue>();
      std::memcpy(g.bytes.data(), p, 16);
      break;
    }
    case 17: out.emplace<uint16_t>(load_u16le(p)); break;                       // Unsigned short
    default: out.emplace<std::monostate>(); break;                              // not reached
  }
  return true;
}

}  // namespace

std::string_view column_type_name(uint32_t type) {
  return type < 19 ? kTypeNames[type] : std::string_view();
}

Result<ColumnValue> decode_value(ByteView data, const ColumnDef& column) {
  ColumnValue v;
  if (!data.empty() && !decode_into(data, column, v)) {
    return EseError::unknown_codepage(column.codepage.value_or(1252));
  }
  return v;
}

ColumnValue decode_value_or_null(ByteView data, const ColumnDef& column) {
  ColumnValue v;
  decode_value_into(data, column, v);
  return v;
}

void decode_value_into(ByteView data, const ColumnDef& column, ColumnValue& out) {
  if (data.empty() || !decode_into(data, column, out)) out.emplace<std::monostate>();
}

namespace {

// The two lowercase hex digits of every byte value.
struct HexPairs {
  char digits[256][2];
  constexpr HexPairs() : digits{} {
    constexpr char kHex[] = "0123456789abcdef";
    for (int i = 0; i < 256; ++i) {
      digits[i][0] = kHex[i >> 4];
      digits[i][1] = kHex[i & 0xF];
    }
  }
};
constexpr HexPairs kHexPairs;

}  // namespace

void format_guid_into(const uint8_t* b, char* out) {
  const auto put = [&](int at, int i) { std::memcpy(out + at, kHexPairs.digits[b[i]], 2); };
  // The first three groups are little-endian, the last two in stored order.
  put(0, 3), put(2, 2), put(4, 1), put(6, 0);
  out[8] = '-';
  put(9, 5), put(11, 4);
  out[13] = '-';
  put(14, 7), put(16, 6);
  out[18] = '-';
  put(19, 8), put(21, 9);
  out[23] = '-';
  put(24, 10), put(26, 11), put(28, 12), put(30, 13), put(32, 14), put(34, 15);
}

char* write_hex(const uint8_t* in, size_t n, char* p) {
  size_t i = 0;
#if defined(__SSE2__)
  // 16 bytes at a time: split into nibbles, interleave high before low, and
  // map 0..9 to '0'..'9' and 10..15 to 'a'..'f'.
  const __m128i low4 = _mm_set1_epi8(0x0F);
  const __m128i nine = _mm_set1_epi8(9);
  const __m128i digit0 = _mm_set1_epi8('0');
  const __m128i letter_gap = _mm_set1_epi8('a' - '0' - 10);
  const auto to_hex = [&](__m128i nibbles) {
    const __m128i gap = _mm_and_si128(_mm_cmpgt_epi8(nibbles, nine), letter_gap);
    return _mm_add_epi8(_mm_add_epi8(nibbles, digit0), gap);
  };
  for (; i + 16 <= n; i += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i));
    const __m128i hi = _mm_and_si128(_mm_srli_epi16(v, 4), low4);
    const __m128i lo = _mm_and_si128(v, low4);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p), to_hex(_mm_unpacklo_epi8(hi, lo)));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p + 16), to_hex(_mm_unpackhi_epi8(hi, lo)));
    p += 32;
  }
#endif
  for (; i < n; ++i, p += 2) std::memcpy(p, kHexPairs.digits[in[i]], 2);
  return p;
}

std::string format_guid(const uint8_t* b) {
  std::string out(kGuidTextSize, '-');
  format_guid_into(b, out.data());
  return out;
}

}  // namespace quarlet
