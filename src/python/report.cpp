// Header facts and integrity reports as Python objects.
#include "python/report.hpp"

#include <cstdio>
#include <string>

#include "python/convert.hpp"

namespace quarlet::py {

namespace {

// Fills one dict key by key; after the first failure every later call does
// nothing and finish() returns null with the exception set.
class DictFill {
 public:
  DictFill() : dict_(PyDict_New()) {}
  // Takes over `value` (a new reference, or null when making it failed).
  void set(const char* key, PyObject* value) {
    PyRef owned(value);
    if (!dict_) return;
    if (!owned || PyDict_SetItemString(dict_.get(), key, owned.get()) != 0) dict_.reset();
  }
  void set_uint(const char* key, uint64_t v) { set(key, PyLong_FromUnsignedLongLong(v)); }
  void set_bool(const char* key, bool v) { set(key, PyBool_FromLong(v ? 1 : 0)); }
  void set_none(const char* key) {
    Py_INCREF(Py_None);
    set(key, Py_None);
  }
  PyObject* finish() { return dict_.release(); }

 private:
  PyRef dict_;
};

PyObject* hex_text(const uint8_t* bytes, size_t n) {
  std::string text;
  static const char kDigits[] = "0123456789abcdef";
  for (size_t i = 0; i < n; ++i) {
    text += kDigits[bytes[i] >> 4];
    text += kDigits[bytes[i] & 0xF];
  }
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

// A set and valid time as datetime.datetime or ISO 8601 text; None otherwise.
PyObject* time_object(const LogTime& t, TimeForm form, PyObject* datetime_class) {
  if (!t.is_valid()) {
    Py_INCREF(Py_None);
    return Py_None;
  }
  if (form == TimeForm::Objects) {
    return PyObject_CallFunction(datetime_class, "IIIIII", t.year(), t.month(), t.day(), t.hour(),
                                 t.minute(), t.second());
  }
  char text[32];
  std::snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02u", t.year(), t.month(), t.day(),
                t.hour(), t.minute(), t.second());
  return PyUnicode_FromString(text);
}

PyObject* position_object(const LogPosition& p) {
  DictFill d;
  d.set_uint("generation", p.generation);
  d.set_uint("sector", p.sector);
  d.set_uint("offset", p.offset);
  return d.finish();
}

// The text of a known value, else the number.
PyObject* named_number(const char* name, uint32_t value) {
  if (name != nullptr) return PyUnicode_FromString(name);
  return PyLong_FromUnsignedLong(value);
}

const char* file_type_name(uint32_t type) {
  switch (type) {
    case 0: return "database";
    case 1: return "streaming file";
  }
  return nullptr;
}

PyObject* windows_version(const HeaderFacts& h) {
  if (h.windows_major == 0 && h.windows_minor == 0 && h.windows_build == 0) {
    Py_INCREF(Py_None);
    return Py_None;
  }
  char text[40];
  std::snprintf(text, sizeof text, "%u.%u.%u", h.windows_major, h.windows_minor,
                h.windows_build);
  return PyUnicode_FromString(text);
}

// Blocks of a bad page as a list of block numbers.
PyObject* block_list(uint8_t mask) {
  PyRef list(PyList_New(0));
  if (!list) return nullptr;
  for (int k = 0; k < 8; ++k) {
    if ((mask & (1u << k)) == 0) continue;
    PyRef n(PyLong_FromLong(k));
    if (!n || PyList_Append(list.get(), n.get()) != 0) return nullptr;
  }
  return list.release();
}

// A list of objects, one per item, made by `make(item)` (new reference or
// null).
template <class T, class Make>
PyObject* object_list(const std::vector<T>& items, Make make) {
  PyRef list(PyList_New(static_cast<Py_ssize_t>(items.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < items.size(); ++i) {
    PyObject* item = make(items[i]);
    if (item == nullptr) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);  // steals `item`
  }
  return list.release();
}

PyObject* page_number_list(const std::vector<uint32_t>& numbers) {
  return object_list(numbers, [](uint32_t n) { return PyLong_FromUnsignedLong(n); });
}

PyObject* bad_page_object(const BadPage& bad) {
  DictFill d;
  d.set_uint("page", bad.number);
  d.set("blocks", block_list(bad.blocks));
  d.set_uint("owner", bad.owner);
  if (bad.tree >= 0) {
    d.set("tree", PyLong_FromLongLong(bad.tree));
  } else {
    d.set_none("tree");
  }
  d.set_bool("reached", bad.reached);
  return d.finish();
}

PyObject* tree_object(const TreeCheck& tree) {
  const TreeStats& s = tree.stats;
  DictFill d;
  if (tree.table.empty() && tree.role == TreeRole::Catalog) {
    d.set_none("table");
  } else {
    d.set("table", str_from_utf8(tree.table));
  }
  d.set("name", str_from_utf8(tree.name));
  d.set("role", PyUnicode_FromString(tree_role_name(tree.role)));
  if (tree.primary_index.empty()) {
    d.set_none("primary_index");
  } else {
    d.set("primary_index", str_from_utf8(tree.primary_index));
  }
  d.set_uint("root", tree.root);
  d.set_uint("owner", tree.owner);
  d.set_uint("pages", s.branch_pages + s.leaf_pages);
  d.set_uint("branch_pages", s.branch_pages);
  d.set_uint("leaf_pages", s.leaf_pages);
  d.set_uint("leaf_entries", s.leaf_entries);
  d.set_uint("live", s.live);
  d.set_uint("deleted", s.deleted);
  d.set_uint("rejected", s.rejected);
  d.set_uint("stale", s.stale);
  d.set("foreign_pages", object_list(s.foreign, [](const PageOwner& f) {
    DictFill e;
    e.set_uint("page", f.page);
    e.set_uint("owner", f.owner);
    return e.finish();
  }));
  d.set("link_mismatches", object_list(s.link_mismatch, [](const PageLink& l) {
    DictFill e;
    e.set_uint("page", l.page);
    e.set_uint("next", l.next);
    return e.finish();
  }));
  d.set("unlisted_pages", page_number_list(s.unlisted));
  d.set("orphan_pages", page_number_list(tree.orphans));
  d.set("freed_pages", page_number_list(tree.freed));
  d.set("bad_pages", page_number_list(tree.bad_pages));
  d.set("unreadable_pages", page_number_list(s.unreadable));
  d.set("bad_branch_entries", object_list(s.branch_faults, [](const BranchFault& f) {
    DictFill e;
    e.set_uint("page", f.page);
    e.set_uint("tag", f.tag);
    e.set("error", str_from_utf8(f.message));
    return e.finish();
  }));
  if (tree.error.empty()) {
    d.set_none("error");
  } else {
    d.set("error", str_from_utf8(tree.error));
  }
  d.set_bool("anomalous", tree.anomalous());
  return d.finish();
}

}  // namespace

PyObject* header_to_python(const HeaderFacts& h, uint32_t total_pages, TimeForm form) {
  PyRef datetime_class;
  if (form == TimeForm::Objects) {
    PyRef module(PyImport_ImportModule("datetime"));
    if (!module) return nullptr;
    datetime_class.reset(PyObject_GetAttrString(module.get(), "datetime"));
    if (!datetime_class) return nullptr;
  }
  struct NamedTime {
    const char* key;
    const LogTime* time;
  };
  const NamedTime times[] = {{"creation_time", &h.creation_time},
                             {"consistent_time", &h.consistent_time},
                             {"attach_time", &h.attach_time},
                             {"detach_time", &h.detach_time},
                             {"repair_time", &h.repair_time}};
  auto time_of = [&](const LogTime& t) { return time_object(t, form, datetime_class.get()); };

  DictFill d;
  d.set("file_type", named_number(file_type_name(h.file_type), h.file_type));
  d.set("state", named_number(state_name(h.state), h.state));
  d.set_uint("format_version", h.format_version);
  d.set_uint("format_revision", h.format_revision);
  d.set_uint("creation_format_version", h.creation_format_version);
  d.set_uint("creation_format_revision", h.creation_format_revision);
  d.set_uint("page_size", h.page_size);
  d.set_uint("total_pages", total_pages);
  d.set_uint("database_time", h.database_time);
  d.set_uint("last_object_id", h.last_object_id);
  d.set("windows_version", windows_version(h));
  d.set_uint("windows_service_pack", h.windows_service_pack);
  d.set("creation_time", time_of(h.creation_time));
  d.set("consistent_time", time_of(h.consistent_time));
  d.set("consistent_position", position_object(h.consistent_position));
  d.set("attach_time", time_of(h.attach_time));
  d.set("attach_position", position_object(h.attach_position));
  d.set("detach_time", time_of(h.detach_time));
  d.set("detach_position", position_object(h.detach_position));
  d.set_uint("required_log_low", h.required_log_low);
  d.set_uint("required_log_high", h.required_log_high);
  d.set_uint("committed_log", h.committed_log);
  d.set_uint("repair_count", h.repair_count);
  d.set("repair_time", time_of(h.repair_time));
  d.set_uint("header_checksum", h.checksum_stored);
  d.set_uint("header_checksum_computed", h.checksum_computed);
  d.set_bool("header_checksum_ok", h.checksum_ok());
  if (h.shadow_present) {
    d.set_bool("shadow_checksum_ok", h.shadow_checksum_ok);
    d.set_bool("shadow_matches", h.shadow_matches);
  } else {
    d.set_none("shadow_checksum_ok");
    d.set_none("shadow_matches");
  }
  // Times that are set but no real date keep their stored bytes here.
  DictFill invalid;
  for (const NamedTime& t : times) {
    if (!t.time->is_set() || t.time->is_valid()) continue;
    const uint8_t* raw = t.time->raw.data();
    invalid.set(t.key, form == TimeForm::Objects
                           ? PyBytes_FromStringAndSize(reinterpret_cast<const char*>(raw), 8)
                           : hex_text(raw, 8));
  }
  d.set("invalid_times", invalid.finish());
  return d.finish();
}

PyObject* report_to_python(const IntegrityReport& report, uint32_t total_pages) {
  const PageChecks& p = report.pages;
  DictFill pages;
  pages.set_uint("checked", p.checked);
  pages.set_uint("sound", p.sound);
  pages.set_uint("unused", p.unused);
  pages.set_uint("bad", p.bad);
  pages.set_uint("no_checksum", p.no_checksum);
  pages.set_uint("unowned", p.unowned);
  pages.set("bad_pages", object_list(p.bad_pages, bad_page_object));
  pages.set("no_checksum_pages", page_number_list(p.no_checksum_pages));

  DictFill d;
  d.set("header", header_to_python(report.header, total_pages, TimeForm::Text));
  d.set("pages", pages.finish());
  d.set("trees", object_list(report.trees, tree_object));
  return d.finish();
}

}  // namespace quarlet::py
