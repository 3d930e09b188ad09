// STUB
#include "record/value.hpp"
namespace quarlet {
std::string_view column_type_name(uint32_t) { return ""; }
Result<ColumnValue> decode_value(ByteView, const ColumnDef&) { return ColumnValue{}; }
std::string format_guid(const uint8_t*) { return ""; }
}  // namespace quarlet
