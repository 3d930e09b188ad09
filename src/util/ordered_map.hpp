// Insertion-ordered map: iteration follows first insertion; inserting a key
// already present replaces its value in place (the key keeps its position).
// The hash index serves lookups only; no order ever comes from hashing.
#pragma once

#include <cstddef>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace quarlet {

template <class K, class V, class Hash = std::hash<K>>
class OrderedMap {
 public:
  using Entry = std::pair<K, V>;

  // Inserts or replaces; returns the entry's position.
  size_t insert(const K& key, V value) {
    auto it = index_.find(key);
    if (it != index_.end()) {
      entries_[it->second].second = std::move(value);
      return it->second;
    }
    size_t pos = entries_.size();
    entries_.emplace_back(key, std::move(value));
    index_.emplace(key, pos);
    return pos;
  }

  const V* find(const K& key) const {
    auto it = index_.find(key);
    return it == index_.end() ? nullptr : &entries_[it->second].second;
  }
  V* find(const K& key) {
    auto it = index_.find(key);
    return it == index_.end() ? nullptr : &entries_[it->second].second;
  }

  size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }
  const Entry& operator[](size_t i) const { return entries_[i]; }
  Entry& operator[](size_t i) { return entries_[i]; }
  auto begin() const { return entries_.begin(); }
  auto end() const { return entries_.end(); }
  auto begin() { return entries_.begin(); }
  auto end() { return entries_.end(); }

 private:
  std::vector<Entry> entries_;           // in first-insertion order
  std::unordered_map<K, size_t, Hash> index_;  // key -> position in entries_
};

}  // namespace quarlet
