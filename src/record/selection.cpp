// Column selection over a column plan.
#include "record/selection.hpp"

#include <unordered_set>

namespace quarlet {

Status select_columns(const TableDef& table, const std::vector<Name>& names, ColumnPlan& plan) {
  std::unordered_set<Name> wanted;
  for (const Name& name : names) {
    if (table.columns.find(name) == nullptr) return EseError::column_not_found(name);
    wanted.insert(name);
  }
  ColumnPlan kept;
  kept.items.reserve(wanted.size());
  for (const ColumnPlan::Item& item : plan.items) {
    if (wanted.count(item.column->name) != 0) kept.items.push_back(item);
  }
  kept.first_tagged = kept.items.size();
  for (size_t i = 0; i < kept.items.size(); ++i) {
    if (kept.items[i].column->id >= 256) {
      kept.first_tagged = i;
      break;
    }
  }
  plan = std::move(kept);
  return Status::Ok();
}

Status TableRecords::select(const std::vector<Name>& names) {
  return select_columns(*table_, names, plan_);
}

}  // namespace quarlet
