// Arrow types of columns and the schema structs handed out for them (each
// owns its strings and children and frees them in its release callback).
#include "export/arrow/types.hpp"

#include <cstring>
#include <memory>
#include <optional>
#include <string>
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

struct SchemaHolder {
  std::string format;
  std::string name;
  std::string metadata;                // empty: none
  std::vector<ArrowSchema> children;   // sized once
  std::vector<ArrowSchema*> child_ptrs;
};

void release_schema(ArrowSchema* schema) {
  if (schema == nullptr || schema->release == nullptr) return;
  auto* holder = static_cast<SchemaHolder*>(schema->private_data);
  for (ArrowSchema* child : holder->child_ptrs) {
    if (child->release != nullptr) child->release(child);
  }
  delete holder;
  schema->release = nullptr;
}

// Binary metadata: int32 pair count, then per pair int32 key length, key
// bytes, int32 value length, value bytes (native byte order).
std::string encode_metadata(const std::vector<std::pair<std::string, std::string>>& pairs) {
  std::string out;
  const auto put_i32 = [&](size_t v) {
    const int32_t n = static_cast<int32_t>(v);
    out.append(reinterpret_cast<const char*>(&n), sizeof n);
  };
  put_i32(pairs.size());
  for (const auto& [key, value] : pairs) {
    put_i32(key.size());
    out += key;
    put_i32(value.size());
    out += value;
  }
  return out;
}

// Fills `out` from `holder` (owned from now on) with `n_children` children
// already added to it.
void fill_schema(ArrowSchema* out, SchemaHolder* holder, int64_t flags) {
  out->format = holder->format.c_str();
  out->name = holder->name.c_str();
  out->metadata = holder->metadata.empty() ? nullptr : holder->metadata.data();
  out->flags = flags;
  out->n_children = static_cast<int64_t>(holder->child_ptrs.size());
  out->children = holder->child_ptrs.empty() ? nullptr : holder->child_ptrs.data();
  out->dictionary = nullptr;
  out->release = release_schema;
  out->private_data = holder;
}

void column_schema(const ArrowColumn& c, ArrowSchema* out) {
  auto holder = std::make_unique<SchemaHolder>();
  holder->name = utf8_lossy(c.column->name);
  holder->metadata =
      encode_metadata({{"ese.type", std::string(column_type_name(c.column->column_type))},
                       {"ese.column_id", std::to_string(c.column->id)}});
  if (c.is_list) {
    holder->format = "+l";
    holder->children.resize(1);
    holder->child_ptrs.push_back(&holder->children[0]);
    auto item = std::make_unique<SchemaHolder>();
    item->format = arrow_format(c.type);
    item->name = "item";
    fill_schema(&holder->children[0], item.release(), ARROW_FLAG_NULLABLE);
  } else {
    holder->format = arrow_format(c.type);
  }
  fill_schema(out, holder.release(), ARROW_FLAG_NULLABLE);
}

}  // namespace

void table_schema(const std::vector<ArrowColumn>& columns, ArrowSchema* out) {
  auto holder = std::make_unique<SchemaHolder>();
  holder->format = "+s";
  holder->children.resize(columns.size());
  for (size_t i = 0; i < columns.size(); ++i) {
    holder->child_ptrs.push_back(&holder->children[i]);
    column_schema(columns[i], &holder->children[i]);
  }
  fill_schema(out, holder.release(), 0);
}

}  // namespace quarlet
