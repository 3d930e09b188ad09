// STUB
#include "export/json.hpp"
namespace quarlet {
void append_json_value(std::string&, const ColumnValue&) {}
void append_json_string(std::string&, std::string_view) {}
void append_json_double(std::string&, double) {}
JsonKeyPlan JsonKeyPlan::build(const std::vector<const ColumnDef*>&) { return {}; }
void encode_record(std::string&, const Record&, const JsonKeyPlan&) {}
std::string encode_record(const Record&) { return "{}"; }
}  // namespace quarlet
