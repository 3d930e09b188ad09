// Column selection over a column plan.
#include "record/selection.hpp"

#include <algorithm>
#include <string>
#include <unordered_map>

namespace quarlet {

Status select_columns(const TableDef& table, const std::vector<Name>& names, ColumnPlan& plan) {
  // Each name's rank in the order asked for, first occurrence.
  std::unordered_map<Name, uint32_t> rank;
  // Listed texts of the stored names that are not valid UTF-8, made only
  // when a name matches no stored name exactly.
  std::unordered_map<std::string, std::vector<Name>> listed;
  bool listed_made = false;
  // Stored name -> the rank of the name that selects it.
  std::unordered_map<Name, uint32_t> wanted;
  for (const Name& name : names) {
    const uint32_t r = static_cast<uint32_t>(rank.size());
    if (!rank.emplace(name, r).second) continue;
    if (table.columns.find(name) != nullptr) {
      wanted.emplace(name, r);
      continue;
    }
    if (!listed_made) {
      for (const auto& entry : table.columns) {
        std::string text = utf8_lossy(entry.first);
        if (text != entry.first) listed[std::move(text)].push_back(entry.first);
      }
      listed_made = true;
    }
    const auto hit = listed.find(name);
    if (hit == listed.end()) return EseError::column_not_found(name);
    for (const Name& stored : hit->second) wanted.emplace(stored, r);
  }
  ColumnPlan kept;
  kept.items.reserve(wanted.size());
  std::vector<uint32_t> ranks;
  for (const ColumnPlan::Item& item : plan.items) {
    const auto it = wanted.find(item.column->name);
    if (it == wanted.end()) continue;
    kept.items.push_back(item);
    ranks.push_back(it->second);
  }
  kept.first_tagged = kept.items.size();
  for (size_t i = 0; i < kept.items.size(); ++i) {
    if (kept.items[i].column->id >= 256) {
      kept.first_tagged = i;
      break;
    }
  }
  // The output order: by the rank of the name asked for, then plan order
  // (columns that share a listed name).
  kept.output.resize(kept.items.size());
  for (uint32_t i = 0; i < kept.output.size(); ++i) kept.output[i] = i;
  std::stable_sort(kept.output.begin(), kept.output.end(),
                   [&](uint32_t a, uint32_t b) { return ranks[a] < ranks[b]; });
  plan = std::move(kept);
  return Status::Ok();
}

Status TableRecords::select(const std::vector<Name>& names) {
  return select_columns(*table_, names, plan_);
}

}  // namespace quarlet
