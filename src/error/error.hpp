// EseError: the one error value of the core. A closed set of kinds, each with
// a fixed payload and a fixed message. Operations return Result<T> or Status;
// nothing in the core throws, prints or aborts.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace quarlet {

// Declaration order is part of the contract.
enum class ErrorKind : uint8_t {
  InvalidHeader,
  InvalidSignature,
  UnsupportedVersion,
  InvalidPageNumber,
  InvalidTagNumber,
  TableNotFound,
  ColumnNotFound,
  UnsupportedCatalogType,
  UnsupportedColumnType,
  CompressedTaggedData,
  LongValueUnsupported,
  MultiValueUnsupported,
  CallbackCatalogType,
  InvalidDataDefinitionHeader,
  InvalidCatalogEntry,
  PageDataTooShort,
  TagOffsetOutOfBounds,
  UnknownCodepage,
  StringDecode,
  Io,
  Parse,
  Alignment,
};

class EseError {
 public:
  ErrorKind kind() const { return kind_; }

  static EseError invalid_header() { return EseError(ErrorKind::InvalidHeader); }
  static EseError invalid_signature(uint32_t found) {
    return EseError(ErrorKind::InvalidSignature, found);
  }
  static EseError unsupported_version(uint32_t version, uint32_t revision) {
    return EseError(ErrorKind::UnsupportedVersion, version, revision);
  }
  static EseError invalid_page_number(uint32_t page) {
    return EseError(ErrorKind::InvalidPageNumber, page);
  }
  static EseError invalid_tag_number(uint16_t tag) {
    return EseError(ErrorKind::InvalidTagNumber, tag);
  }
  static EseError table_not_found(std::string name) {
    return EseError(ErrorKind::TableNotFound, std::move(name));
  }
  static EseError column_not_found(std::string name) {
    return EseError(ErrorKind::ColumnNotFound, std::move(name));
  }
  static EseError unsupported_catalog_type(uint16_t type) {
    return EseError(ErrorKind::UnsupportedCatalogType, type);
  }
  static EseError unsupported_column_type(uint32_t type) {
    return EseError(ErrorKind::UnsupportedColumnType, type);
  }
  static EseError simple(ErrorKind kind) { return EseError(kind); }
  static EseError invalid_catalog_entry() { return EseError(ErrorKind::InvalidCatalogEntry); }
  static EseError callback_catalog_type() { return EseError(ErrorKind::CallbackCatalogType); }
  static EseError page_data_too_short(uint32_t expected, uint32_t got) {
    return EseError(ErrorKind::PageDataTooShort, expected, got);
  }
  static EseError tag_offset_out_of_bounds(uint32_t offset, uint32_t size, uint32_t page_size) {
    return EseError(ErrorKind::TagOffsetOutOfBounds, offset, size, page_size);
  }
  static EseError unknown_codepage(uint32_t codepage) {
    return EseError(ErrorKind::UnknownCodepage, codepage);
  }
  static EseError string_decode(std::string detail) {
    return EseError(ErrorKind::StringDecode, std::move(detail));
  }
  // An operating-system failure: `text` is the system's description of `code`.
  static EseError io_os(int code);
  // Any other I/O failure, with its own description.
  static EseError io_text(std::string text) { return EseError(ErrorKind::Io, std::move(text)); }
  static EseError parse(std::string detail) { return EseError(ErrorKind::Parse, std::move(detail)); }
  static EseError alignment(std::string detail) {
    return EseError(ErrorKind::Alignment, std::move(detail));
  }

  // Numeric payload fields, in the order the kind declares them.
  uint32_t a() const { return a_; }
  uint32_t b() const { return b_; }
  uint32_t c() const { return c_; }
  // Byte-string or text payload (table/column name, detail, I/O error text).
  const std::string& text() const { return text_; }

 private:
  explicit EseError(ErrorKind k, uint32_t a = 0, uint32_t b = 0, uint32_t c = 0)
      : kind_(k), a_(a), b_(b), c_(c) {}
  EseError(ErrorKind k, std::string text) : kind_(k), text_(std::move(text)) {}

  ErrorKind kind_;
  uint32_t a_ = 0, b_ = 0, c_ = 0;
  std::string text_;
};

// The message of an error, exactly as users see it.
std::string message(const EseError& e);

// Text of the operating system's error `code`: its description followed by
// " (os error CODE)".
std::string os_error_text(int code);

// Decodes bytes as UTF-8, each maximal invalid subsequence replaced by U+FFFD.
std::string utf8_lossy(std::string_view bytes);

// Result<T>: a value or an EseError.
template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
  Result(EseError error) : v_(std::in_place_index<1>, std::move(error)) {}
  bool ok() const { return v_.index() == 0; }
  explicit operator bool() const { return ok(); }
  T& value() { return std::get<0>(v_); }
  const T& value() const { return std::get<0>(v_); }
  T& operator*() { return value(); }
  const T& operator*() const { return value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }
  EseError& error() { return std::get<1>(v_); }
  const EseError& error() const { return std::get<1>(v_); }

 private:
  std::variant<T, EseError> v_;
};

// Status: success or an EseError.
class [[nodiscard]] Status {
 public:
  Status() = default;
  Status(EseError error) : error_(std::move(error)) {}
  static Status Ok() { return Status(); }
  bool ok() const { return !error_.has_value(); }
  explicit operator bool() const { return ok(); }
  EseError& error() { return *error_; }
  const EseError& error() const { return *error_; }

 private:
  std::optional<EseError> error_;
};

}  // namespace quarlet
