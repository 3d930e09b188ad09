// Arrow types of columns and the schema structs handed out for them (each
// owns its strings and children and frees them in its release callback).
#include "export/arrow/types.hpp"

#include <atomic>
#include <charconv>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "decode/ole_date.hpp"
#include "record/text.hpp"
#include "record/value.hpp"

namespace quarlet {

ArrowColumn arrow_column(const ColumnDef& column, bool decoded) {
  ArrowColumn out;
  out.column = &column;
  const bool multi = (column.flags & kColumnMultiValued) != 0;
  const bool text = column.column_type == 10 || column.column_type == 12;
  if (multi && !decoded) {
    // The stored multi-valued bytes; a text column carries text (a single
    // value) in both views.
    out.type = text ? ArrowType::Utf8 : ArrowType::Binary;
    return out;
  }
  out.is_list = multi;
  switch (column.column_type) {
    case 1: out.type = ArrowType::Bool; break;
    case 2: out.type = ArrowType::UInt8; break;
    case 3: out.type = ArrowType::Int16; break;
    case 4: out.type = ArrowType::Int32; break;
    case 5:   // Currency
    case 15:  // Long long
      out.type = decoded ? ArrowType::Int64 : ArrowType::UInt64;
      break;
    case 6: out.type = ArrowType::Float32; break;
    case 7: out.type = ArrowType::Float64; break;
    case 8: out.type = decoded ? ArrowType::TimestampUs : ArrowType::UInt64; break;
    case 9:
    case 11: out.type = ArrowType::Binary; break;
    case 10:
    case 12:
    case 16: out.type = ArrowType::Utf8; break;  // GUIDs as their text
    case 14: out.type = ArrowType::UInt32; break;
    case 17: out.type = ArrowType::UInt16; break;
    default: out.type = ArrowType::Null; break;  // NULL, Obsolete, Max: always null
  }
  return out;
}

const char* arrow_format(ArrowType type) {
  switch (type) {
    case ArrowType::Null: return "n";
    case ArrowType::Bool: return "b";
    case ArrowType::UInt8: return "C";
    case ArrowType::Int16: return "s";
    case ArrowType::UInt16: return "S";
    case ArrowType::Int32: return "i";
    case ArrowType::UInt32: return "I";
    case ArrowType::Int64: return "l";
    case ArrowType::UInt64: return "L";
    case ArrowType::Float32: return "f";
    case ArrowType::Float64: return "g";
    case ArrowType::Utf8: return "u";
    case ArrowType::Binary: return "z";
    case ArrowType::TimestampUs: return "tsu:UTC";
  }
  return "n";
}

namespace {

// Days from 1970-01-01 to the civil date y-m-d (proleptic Gregorian).
int64_t days_from_civil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

}  // namespace

bool stored_date_to_unix_micros(uint64_t raw, int64_t* out) {
  if (raw != 0 && raw <= kMaxFiletime) {
    // A FILETIME: 100 ns units from 1601-01-01, 11644473600 s before 1970.
    *out = static_cast<int64_t>(raw / 10) - int64_t{11644473600} * 1000000;
    return true;
  }
  const std::optional<DateTimeParts> p = stored_date_to_utc(raw);
  if (!p) return false;
  const int64_t day = days_from_civil(p->year, p->month, p->day);
  const int64_t seconds = day * 86400 + p->hour * 3600 + p->minute * 60 + p->second;
  *out = seconds * 1000000 + p->microsecond;
  return true;
}

namespace {

// Everything a table's schema points to, in one block: the field structs,
// their names and metadata. The top struct and every field hold a
// reference, so a field the consumer moves out stays valid after the rest
// is released; the last release frees the block. One allocation per
// schema, however many columns the table has.
struct SchemaBlock {
  std::atomic<int64_t> refs{0};
  std::string text;                   // names and metadata, each ending in NUL
  std::vector<ArrowSchema> fields;    // one per column
  std::vector<ArrowSchema*> field_ptrs;
  std::vector<ArrowSchema> items;     // the element field of each list column
  std::vector<ArrowSchema*> item_ptrs;

  void drop() {
    if (refs.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
  }
};

// Releases a schema struct over a SchemaBlock: its children first (those
// not moved out), then its reference.
void release_schema(ArrowSchema* schema) {
  if (schema == nullptr || schema->release == nullptr) return;
  for (int64_t i = 0; i < schema->n_children; ++i) {
    ArrowSchema* child = schema->children[i];
    if (child->release != nullptr) child->release(child);
  }
  static_cast<SchemaBlock*>(schema->private_data)->drop();
  schema->release = nullptr;
}

void fill_schema(ArrowSchema* out, SchemaBlock* block, const char* format, const char* name,
                 const char* metadata, int64_t flags, ArrowSchema** children,
                 int64_t n_children) {
  out->format = format;
  out->name = name;
  out->metadata = metadata;
  out->flags = flags;
  out->n_children = n_children;
  out->children = n_children == 0 ? nullptr : children;
  out->dictionary = nullptr;
  out->release = release_schema;
  out->private_data = block;
}

// Binary metadata of a column: int32 pair count, then per pair int32 key
// length, key bytes, int32 value length, value bytes (native byte order):
// "ese.type" (the type's display name) and "ese.column_id".
void put_metadata(std::string& out, const ColumnDef& column) {
  const auto put_i32 = [&](size_t v) {
    const int32_t n = static_cast<int32_t>(v);
    out.append(reinterpret_cast<const char*>(&n), sizeof n);
  };
  const auto put = [&](std::string_view text) {
    put_i32(text.size());
    out.append(text);
  };
  put_i32(2);
  put("ese.type");
  put(column_type_name(column.column_type));
  put("ese.column_id");
  char digits[16];
  const auto end = std::to_chars(digits, digits + sizeof digits, column.id).ptr;
  put(std::string_view(digits, static_cast<size_t>(end - digits)));
}

}  // namespace

void table_schema(const std::vector<ArrowColumn>& columns, ArrowSchema* out) {
  auto block = std::make_unique<SchemaBlock>();
  const size_t n = columns.size();
  // The text first, at offsets; pointers into it are taken once it is whole.
  std::vector<size_t> name_at(n);
  std::vector<size_t> metadata_at(n);
  size_t lists = 0;
  block->text.push_back('\0');  // the top struct's name: empty
  for (size_t i = 0; i < n; ++i) {
    name_at[i] = block->text.size();
    block->text += utf8_lossy(columns[i].column->name);
    block->text.push_back('\0');
    metadata_at[i] = block->text.size();
    put_metadata(block->text, *columns[i].column);
    lists += columns[i].is_list ? 1 : 0;
  }
  const size_t item_name = block->text.size();
  block->text += "item";
  block->text.push_back('\0');
  block->fields.resize(n);
  block->field_ptrs.resize(n);
  block->items.resize(lists);
  block->item_ptrs.resize(lists);
  const char* text = block->text.data();
  SchemaBlock* b = block.get();
  size_t item = 0;
  for (size_t i = 0; i < n; ++i) {
    const ArrowColumn& c = columns[i];
    ArrowSchema* field = &b->fields[i];
    b->field_ptrs[i] = field;
    if (c.is_list) {
      ArrowSchema* element = &b->items[item];
      b->item_ptrs[item] = element;
      fill_schema(element, b, arrow_format(c.type), text + item_name, nullptr,
                  ARROW_FLAG_NULLABLE, nullptr, 0);
      fill_schema(field, b, "+l", text + name_at[i], text + metadata_at[i], ARROW_FLAG_NULLABLE,
                  &b->item_ptrs[item], 1);
      ++item;
    } else {
      fill_schema(field, b, arrow_format(c.type), text + name_at[i], text + metadata_at[i],
                  ARROW_FLAG_NULLABLE, nullptr, 0);
    }
  }
  b->refs.store(static_cast<int64_t>(1 + n + lists), std::memory_order_relaxed);
  fill_schema(out, block.release(), "+s", text, nullptr, 0, b->field_ptrs.data(),
              static_cast<int64_t>(n));
}

}  // namespace quarlet
