// A view's row program: output rows made straight from decoded records
// (see view_rows.hpp).
#include "python/view_rows.hpp"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <string>

#include "python/iter_table.hpp"

namespace quarlet::py {

namespace {

// An int's value when it is one from 1 to 2**63 - 1, else 0 or below (a
// bool, a value out of range, anything else).
int64_t positive(PyObject* value) {
  if (!PyLong_Check(value) || PyBool_Check(value)) return 0;
  int overflow = 0;
  const long long number = PyLong_AsLongLongAndOverflow(value, &overflow);
  if (overflow != 0 || (number == -1 && PyErr_Occurred())) {
    PyErr_Clear();
    return 0;
  }
  return number;
}

// The index of the column named `name` (a str) among `columns`, or -1.
// False with an exception set when `name` is not a str.
bool column_index(PyObject* name, const std::vector<const ColumnDef*>& columns, int* index) {
  *index = -1;
  if (name == Py_None) return true;
  PyRef bytes(PyUnicode_AsUTF8String(name));
  if (!bytes) return false;
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(bytes.get(), &data, &size) != 0) return false;
  const std::string_view wanted(data, static_cast<size_t>(size));
  for (size_t i = 0; i < columns.size(); ++i) {
    if (std::string_view(columns[i]->name) == wanted) {
      *index = static_cast<int>(i);
      return true;
    }
  }
  set_error(PyExc_ValueError, "Column not read by the view: " + std::string(wanted));
  return false;
}

}  // namespace

bool ViewProgram::take_output(PyObject* item, Output* out) {
  if (!PyTuple_Check(item) || PyTuple_Size(item) != 4 ||
      !PyUnicode_Check(PyTuple_GetItem(item, 0))) {
    PyErr_SetString(PyExc_TypeError, "each output must be (name, source, op, is_lookup)");
    return false;
  }
  if (!column_index(PyTuple_GetItem(item, 1), columns_, &out->source)) return false;
  PyObject* op = PyTuple_GetItem(item, 2);
  PyObject* how = PyTuple_GetItem(item, 3);
  if (op == Py_None) return true;
  Py_INCREF(op);
  out->op.reset(op);
  if (PyUnicode_Check(how)) {
    auto is = [how](const char* name) { return PyUnicode_CompareWithASCIIString(how, name) == 0; };
    out->native = is("filetime")      ? Native::kFiletime
                  : is("filetime_le") ? Native::kFiletimeLe
                  : is("filetime_be") ? Native::kFiletimeBe
                  : is("text")        ? Native::kText
                  : is("texts")       ? Native::kTexts
                  : is("uint_le8")    ? Native::kUintLe8
                  : is("seconds")     ? Native::kSeconds
                  : is("sid_last_be") ? Native::kSid
                  : is("rid_last_be") ? Native::kRid
                  : is("guid_le")     ? Native::kGuid
                  : is("dn")          ? Native::kDn
                  : is("links")       ? Native::kLinks
                                      : Native::kNone;
    if (out->native == Native::kNone) {
      PyErr_SetString(PyExc_ValueError, "unknown conversion in a view's outputs");
      return false;
    }
    if (out->native == Native::kDn && !take_names(op, out)) return false;
    if (out->native == Native::kLinks && !take_links(op, out)) return false;
    return true;
  }
  const int lookup = PyObject_IsTrue(how);
  if (lookup < 0) return false;
  out->lookup = lookup != 0;
  return true;
}

bool ViewProgram::init(PyObject* outputs, PyObject* table, PyObject* key_prefix,
                       PyObject* key_column, PyObject* batch_size, PyObject* where,
                       const ColumnPlan& plan) {
  columns_.clear();
  for (const ColumnPlan::Item& item : plan.items) columns_.push_back(item.column);
  provenance_ = key_prefix != Py_None;
  if (!PyUnicode_Check(table) || (provenance_ && !PyUnicode_Check(key_prefix))) {
    PyErr_SetString(PyExc_TypeError, "table must be str and key_prefix str or None");
    return false;
  }
  table_.reset(table);
  Py_INCREF(table);
  if (batch_size != nullptr) {
    const size_t size = PyLong_AsSize_t(batch_size);
    if (size == static_cast<size_t>(-1) && PyErr_Occurred()) return false;
    batch_size_ = size;
  }
  key_prefix_.reset(key_prefix);
  Py_INCREF(key_prefix);
  if (key_column != Py_None) {
    if (!PyUnicode_Check(key_column)) {
      PyErr_SetString(PyExc_TypeError, "key_column must be str or None");
      return false;
    }
    if (!column_index(key_column, columns_, &key_source_)) return false;
  }
  PyRef items(PySequence_Fast(outputs, "outputs must be a sequence"));
  if (!items) return false;
  template_.reset(PyDict_New());
  if (!template_) return false;
  PyRef datetime_module(PyImport_ImportModule("datetime"));
  if (!datetime_module) return false;
  PyRef timezone(PyObject_GetAttrString(datetime_module.get(), "timezone"));
  if (!timezone) return false;
  utc_.reset(PyObject_GetAttrString(timezone.get(), "utc"));
  if (!utc_) return false;
  datetime_api_ = static_cast<const DateTimeApi*>(PyCapsule_Import("datetime.datetime_CAPI", 0));
  if (datetime_api_ == nullptr) PyErr_Clear();  // datetimes made through calls instead
  filtered_ = where != nullptr && where != Py_None;
  if (filtered_ && !take_output(where, &where_)) return false;
  const Py_ssize_t n = PySequence_Size(items.get());
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyRef item(PySequence_GetItem(items.get(), i));
    if (!item) return false;
    Output out;
    if (!take_output(item.get(), &out)) return false;
    outputs_.push_back(std::move(out));
    PyObject* name = PyTuple_GetItem(item.get(), 0);
    Py_INCREF(name);
    keys_.emplace_back(name);
  }
  if (provenance_) {
    keys_.emplace_back(PyUnicode_FromString("source_table"));
    keys_.emplace_back(PyUnicode_FromString("source_key"));
  }
  for (const PyRef& key : keys_) {
    if (!key || PyDict_SetItem(template_.get(), key.get(), Py_None) != 0) return false;
  }
  return true;
}

PyObject* ViewProgram::filetime(Native kind, PyObject* value,
                                 PyObject* datetime_class) const {
  uint64_t ticks = 0;
  constexpr uint64_t kMax = 2650467743999999999ULL;  // 9999-12-31 23:59:59.9999999
  if (kind == Native::kSeconds) {
    const int64_t seconds = positive(value);
    if (seconds <= 0 || static_cast<uint64_t>(seconds) > kMax / 10000000ULL) Py_RETURN_NONE;
    ticks = static_cast<uint64_t>(seconds) * 10000000ULL;
  } else if (kind == Native::kFiletime) {
    const int64_t number = positive(value);
    if (number <= 0) Py_RETURN_NONE;
    ticks = static_cast<uint64_t>(number);
  } else {
    if (!PyBytes_Check(value) || PyBytes_Size(value) != 8) Py_RETURN_NONE;
    const auto* b = reinterpret_cast<const unsigned char*>(PyBytes_AsString(value));
    if (b == nullptr) return nullptr;
    for (int i = 0; i < 8; ++i) {
      const int at = kind == Native::kFiletimeLe ? 7 - i : i;
      ticks = ticks << 8 | b[at];
    }
    if (ticks <= 1) Py_RETURN_NONE;
  }
  if (ticks > kMax) Py_RETURN_NONE;
  const uint64_t micros = ticks / 10;
  const int64_t days = static_cast<int64_t>(micros / 86400000000ULL);
  const uint64_t in_day = micros % 86400000000ULL;
  // Civil date from days since 1601-01-01 (the proleptic Gregorian calendar,
  // counted in 400-year eras from 0000-03-01).
  const int64_t z = days + 584694;  // days since 0000-03-01 (1601-01-01 is day 584694)
  const int64_t era = z / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  const int day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  const int month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  const int year = static_cast<int>(yoe + era * 400 + (month <= 2 ? 1 : 0));
  const int second_of_day = static_cast<int>(in_day / 1000000);
  const int micro = static_cast<int>(in_day % 1000000);
  if (datetime_api_ != nullptr &&
      datetime_class == reinterpret_cast<PyObject*>(datetime_api_->datetime_type)) {
    return datetime_api_->datetime_from_fields(year, month, day, second_of_day / 3600,
                                               second_of_day / 60 % 60, second_of_day % 60,
                                               micro, utc_.get(), datetime_api_->datetime_type);
  }
  // datetime takes its pickled state (10 bytes: year big-endian, month,
  // day, hour, minute, second, microseconds big-endian in 3 bytes) without
  // parsing seven integers: a third of the cost of a view with four dates.
  const char state[10] = {static_cast<char>(year >> 8), static_cast<char>(year & 0xFF),
                          static_cast<char>(month), static_cast<char>(day),
                          static_cast<char>(second_of_day / 3600),
                          static_cast<char>(second_of_day / 60 % 60),
                          static_cast<char>(second_of_day % 60), static_cast<char>(micro >> 16),
                          static_cast<char>(micro >> 8 & 0xFF), static_cast<char>(micro & 0xFF)};
  PyRef bytes(PyBytes_FromStringAndSize(state, sizeof state));
  if (!bytes) return nullptr;
  PyObject* made = PyObject_CallFunctionObjArgs(datetime_class, bytes.get(), utc_.get(), nullptr);
  if (made != nullptr || !PyErr_ExceptionMatches(PyExc_TypeError)) return made;
  PyErr_Clear();  // an interpreter whose datetime takes no state: the fields
  return PyObject_CallFunction(datetime_class, "iiiiiiiO", year, month, day,
                               second_of_day / 3600, second_of_day / 60 % 60, second_of_day % 60,
                               micro, utc_.get());
}

namespace {

// Item i of an array held in bytes (read unaligned).
template <class T>
T item(PyObject* bytes, Py_ssize_t i) {
  T value;
  std::memcpy(&value, PyBytes_AsString(bytes) + i * static_cast<Py_ssize_t>(sizeof(T)),
              sizeof(T));
  return value;
}

}  // namespace

bool ViewProgram::take_names(PyObject* op, Output* out) {
  PyRef tables(PyObject_GetAttrString(op, "tables"));
  if (!tables) return false;
  bool fits = PyTuple_Check(tables.get()) && PyTuple_Size(tables.get()) == 7 &&
              PyDict_Check(PyTuple_GetItem(tables.get(), 5)) &&
              PyDict_Check(PyTuple_GetItem(tables.get(), 6));
  for (int i = 0; fits && i < 5; ++i) fits = PyBytes_Check(PyTuple_GetItem(tables.get(), i));
  if (!fits) {
    PyErr_SetString(PyExc_TypeError, "a dn conversion needs its name map's tables");
    return false;
  }
  auto names = std::make_shared<Names>();
  PyRef* slots[] = {&names->dnts, &names->parents, &names->types, &names->ends, &names->text,
                    &names->cache, &names->prefixes};
  for (int i = 0; i < 7; ++i) {
    PyObject* table = PyTuple_GetItem(tables.get(), i);
    Py_INCREF(table);
    slots[i]->reset(table);
  }
  names->count = PyBytes_Size(names->dnts.get()) / 4;
  if (PyBytes_Size(names->dnts.get()) != 4 * names->count ||
      PyBytes_Size(names->parents.get()) != 4 * names->count ||
      PyBytes_Size(names->types.get()) != 4 * names->count ||
      PyBytes_Size(names->ends.get()) != 8 * names->count) {
    PyErr_SetString(PyExc_ValueError, "a name map's arrays differ in length");
    return false;
  }
  out->names = std::move(names);
  return true;
}

PyObject* ViewProgram::dn(Names& names, PyObject* value) {
  // The DN of an object whose parent's DN is known: its RDN, a comma and
  // that DN (the root's children: the RDN alone). Anything else (a parent
  // not cached yet, a damaged chain, an unknown DNT) is the callable's.
  if (!PyLong_CheckExact(value)) return nullptr;
  int overflow = 0;
  const long long wanted = PyLong_AsLongLongAndOverflow(value, &overflow);
  if (overflow != 0 || wanted < INT32_MIN || wanted > INT32_MAX) return nullptr;
  const auto dnt = static_cast<int32_t>(wanted);
  PyObject* dnts = names.dnts.get();
  const Py_ssize_t n = names.count;
  // The first entry of the DNT: the one after the last found, or a search.
  Py_ssize_t i = names.hint + 1;
  if (i < 0 || i >= n || item<int32_t>(dnts, i) != dnt ||
      (i > 0 && item<int32_t>(dnts, i - 1) == dnt)) {
    Py_ssize_t low = 0, high = n;
    while (low < high) {
      const Py_ssize_t mid = low + (high - low) / 2;
      if (item<int32_t>(dnts, mid) < dnt) {
        low = mid + 1;
      } else {
        high = mid;
      }
    }
    i = low;
    if (i >= n || item<int32_t>(dnts, i) != dnt) return nullptr;
  }
  names.hint = i;
  const int32_t parent = item<int32_t>(names.parents.get(), i);
  if (parent == dnt) return nullptr;
  // The parent's DN as UTF-8, once it is cached (a miss is asked again:
  // the callable caches it when it makes this row's DN).
  auto above = names.parent_text.find(parent);
  if (above == names.parent_text.end()) {
    PyRef parent_key(PyLong_FromLong(parent));
    if (!parent_key) return nullptr;
    PyObject* dn = PyDict_GetItemWithError(names.cache.get(), parent_key.get());  // borrowed
    if (dn == nullptr || !PyUnicode_CheckExact(dn)) return nullptr;
    PyRef utf8(PyUnicode_AsUTF8String(dn));  // fails on a lone surrogate: the callable's
    if (!utf8) return nullptr;
    above = names.parent_text.emplace(parent, PyBytes_AsString(utf8.get())).first;
  }
  const int32_t type = item<int32_t>(names.types.get(), i);
  auto prefix = names.prefix_text.find(type);
  if (prefix == names.prefix_text.end()) {
    PyRef kind(PyLong_FromLong(type));
    if (!kind) return nullptr;
    PyObject* text = PyDict_GetItemWithError(names.prefixes.get(), kind.get());  // borrowed
    if (text == nullptr || !PyUnicode_CheckExact(text)) return nullptr;
    PyRef utf8(PyUnicode_AsUTF8String(text));
    if (!utf8) return nullptr;
    prefix = names.prefix_text.emplace(type, PyBytes_AsString(utf8.get())).first;
  }
  const int64_t start = i > 0 ? item<int64_t>(names.ends.get(), i - 1) : 0;
  const int64_t end = item<int64_t>(names.ends.get(), i);
  if (start < 0 || end < start || end > static_cast<int64_t>(PyBytes_Size(names.text.get()))) {
    return nullptr;
  }
  // Prefix, RDN, and for a child of anything but the root ',' and the
  // parent's DN, decoded in one piece.
  std::string& dn = names.scratch;
  dn.assign(prefix->second);
  dn.append(PyBytes_AsString(names.text.get()) + start, static_cast<size_t>(end - start));
  if (!above->second.empty()) {
    dn.push_back(',');
    dn.append(above->second);
  }
  return PyUnicode_DecodeUTF8(dn.data(), static_cast<Py_ssize_t>(dn.size()), "surrogatepass");
}

PyObject* sort_pairs(PyObject*, PyObject* args) {
  PyObject* keys = nullptr;
  PyObject* targets = nullptr;
  if (!PyArg_ParseTuple(args, "SS:_sort_pairs", &keys, &targets)) return nullptr;
  const Py_ssize_t size = PyBytes_Size(keys);
  if (size != PyBytes_Size(targets) || size % 4 != 0) {
    PyErr_SetString(PyExc_ValueError, "keys and targets must be int32 arrays of one length");
    return nullptr;
  }
  const Py_ssize_t n = size / 4;
  Py_ssize_t run = 1;
  while (run < n && item<int32_t>(keys, run - 1) <= item<int32_t>(keys, run)) ++run;
  if (run >= n) return PyTuple_Pack(2, keys, targets);  // in order already
  // Key (biased to sort as unsigned) above position: unique, so any sort
  // keeps the pairs of one key in order.
  std::vector<uint64_t> order(static_cast<size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    const auto key = static_cast<uint32_t>(item<int32_t>(keys, i)) ^ 0x80000000u;
    order[static_cast<size_t>(i)] = uint64_t{key} << 32 | static_cast<uint64_t>(i);
  }
  std::sort(order.begin(), order.end());
  PyRef sorted_keys(PyBytes_FromStringAndSize(nullptr, size));
  PyRef sorted_targets(PyBytes_FromStringAndSize(nullptr, size));
  if (!sorted_keys || !sorted_targets) return nullptr;
  char* key_out = PyBytes_AsString(sorted_keys.get());
  char* target_out = PyBytes_AsString(sorted_targets.get());
  for (Py_ssize_t i = 0; i < n; ++i) {
    const uint64_t at = order[static_cast<size_t>(i)];
    const auto key = static_cast<int32_t>(static_cast<uint32_t>(at >> 32) ^ 0x80000000u);
    const int32_t target = item<int32_t>(targets, static_cast<Py_ssize_t>(at & 0xFFFFFFFFu));
    std::memcpy(key_out + 4 * i, &key, 4);
    std::memcpy(target_out + 4 * i, &target, 4);
  }
  return PyTuple_Pack(2, sorted_keys.get(), sorted_targets.get());
}

bool ViewProgram::take_links(PyObject* op, Output* out) {
  PyRef tables(PyObject_GetAttrString(op, "tables"));
  if (!tables) return false;
  if (PyCallable_Check(tables.get())) {
    tables.reset(PyObject_CallObject(tables.get(), nullptr));
    if (!tables) return false;
  }
  if (!PyTuple_Check(tables.get()) || PyTuple_Size(tables.get()) != 3 ||
      !PyBytes_Check(PyTuple_GetItem(tables.get(), 0)) ||
      !PyBytes_Check(PyTuple_GetItem(tables.get(), 1)) ||
      !PyDict_Check(PyTuple_GetItem(tables.get(), 2))) {
    PyErr_SetString(PyExc_TypeError, "a links conversion needs its link map's tables");
    return false;
  }
  auto links = std::make_shared<Links>();
  PyRef* slots[] = {&links->keys, &links->targets, &links->names};
  for (int i = 0; i < 3; ++i) {
    PyObject* table = PyTuple_GetItem(tables.get(), i);
    Py_INCREF(table);
    slots[i]->reset(table);
  }
  links->count = PyBytes_Size(links->keys.get()) / 4;
  if (PyBytes_Size(links->keys.get()) != 4 * links->count ||
      PyBytes_Size(links->targets.get()) != 4 * links->count) {
    PyErr_SetString(PyExc_ValueError, "a link map's arrays differ in length");
    return false;
  }
  out->links = std::move(links);
  return true;
}

PyObject* ViewProgram::targets(Links& links, PyObject* value) {
  if (!PyLong_CheckExact(value)) return nullptr;
  int overflow = 0;
  const long long wanted = PyLong_AsLongLongAndOverflow(value, &overflow);
  if (overflow != 0 || wanted < INT32_MIN || wanted > INT32_MAX) return nullptr;
  const auto key = static_cast<int32_t>(wanted);
  PyObject* keys = links.keys.get();
  const Py_ssize_t n = links.count;
  // The first link of the key: rows come in key order, so a search starts
  // where the last one began when the key is not below it.
  Py_ssize_t low = links.at <= n && (links.at == 0 || item<int32_t>(keys, links.at - 1) < key)
                       ? links.at
                       : 0;
  Py_ssize_t high = n;
  while (low < high) {
    const Py_ssize_t mid = low + (high - low) / 2;
    if (item<int32_t>(keys, mid) < key) {
      low = mid + 1;
    } else {
      high = mid;
    }
  }
  links.at = low;
  PyRef found(PyList_New(0));
  if (!found) return nullptr;
  for (Py_ssize_t i = low; i < n && item<int32_t>(keys, i) == key; ++i) {
    const int32_t number = item<int32_t>(links.targets.get(), i);
    auto known = links.found.find(number);
    if (known != links.found.end()) {
      if (PyList_Append(found.get(), known->second.get()) != 0) return nullptr;
      continue;
    }
    PyRef target(PyLong_FromLong(number));
    if (!target) return nullptr;
    PyObject* name = PyDict_GetItemWithError(links.names.get(), target.get());  // borrowed
    PyRef made;
    if (name != nullptr) {
      Py_INCREF(name);
      made.reset(name);
    } else if (!PyErr_Occurred()) {
      made.reset(PyObject_GetItem(links.names.get(), target.get()));
    }
    if (!made || PyList_Append(found.get(), made.get()) != 0) return nullptr;
    // Names are str (immutable): shared by every row that names the target.
    if (PyUnicode_CheckExact(made.get()) && links.found.size() < (size_t{1} << 16)) {
      links.found.emplace(number, std::move(made));
    }
  }
  return found.release();
}

PyObject* ViewProgram::native(const Output& out, PyObject* value,
                               PyObject* datetime_class) const {
  if (value == Py_None && out.native != Native::kLinks) Py_RETURN_NONE;
  switch (out.native) {
    case Native::kLinks: {
      PyObject* made = targets(*out.links, value);
      if (made != nullptr) return made;
      if (PyErr_Occurred()) {
        if (PyErr_ExceptionMatches(PyExc_MemoryError)) return nullptr;
        PyErr_Clear();
      }
      break;
    }
    case Native::kDn: {
      PyObject* made = dn(*out.names, value);
      if (made != nullptr) return made;
      if (PyErr_Occurred()) {
        if (PyErr_ExceptionMatches(PyExc_MemoryError)) return nullptr;
        PyErr_Clear();  // the callable meets the same value and says what it makes
      }
      break;
    }
    case Native::kSeconds:
      if (!PyLong_Check(value)) break;  // a multi-value goes to the callable
      return filetime(out.native, value, datetime_class);
    case Native::kFiletime:
    case Native::kFiletimeLe:
    case Native::kFiletimeBe:
      return filetime(out.native, value, datetime_class);
    case Native::kSid:
    case Native::kRid: {
      PyObject* made = sid(out.native, value);
      if (made != nullptr || PyErr_Occurred()) return made;
      break;
    }
    case Native::kGuid: {
      PyObject* made = guid(value);
      if (made != nullptr || PyErr_Occurred()) return made;
      break;
    }
    case Native::kText:
      if (PyUnicode_Check(value)) {
        const Py_ssize_t n = PyUnicode_GetLength(value);
        if (n < 0) return nullptr;
        if (n == 0 || PyUnicode_ReadChar(value, n - 1) != 0) {
          Py_INCREF(value);
          return value;
        }
      }
      break;
    case Native::kTexts: {
      auto plain = [](PyObject* text) {
        if (!PyUnicode_Check(text)) return false;
        const Py_ssize_t n = PyUnicode_GetLength(text);
        return n == 0 || (n > 0 && PyUnicode_ReadChar(text, n - 1) != 0);
      };
      if (PyList_CheckExact(value)) {
        const Py_ssize_t n = PyList_Size(value);
        bool all = true;
        for (Py_ssize_t i = 0; all && i < n; ++i) all = plain(PyList_GetItem(value, i));
        if (all) return PyList_GetSlice(value, 0, n);  // a new list: rows never share one
      } else if (plain(value)) {
        PyObject* list = PyList_New(1);
        if (list == nullptr) return nullptr;
        Py_INCREF(value);
        PyList_SetItem(list, 0, value);  // steals `value`
        return list;
      }
      if (PyErr_Occurred()) return nullptr;
      break;
    }
    case Native::kUintLe8:
      if (PyBytes_Check(value) && PyBytes_Size(value) == 8) {
        const auto* b = reinterpret_cast<const unsigned char*>(PyBytes_AsString(value));
        if (b == nullptr) return nullptr;
        uint64_t number = 0;
        for (int i = 7; i >= 0; --i) number = number << 8 | b[i];
        return PyLong_FromUnsignedLongLong(number);
      }
      break;
    case Native::kNone:
      break;
  }
  Py_INCREF(value);
  return apply(out, value);
}

PyObject* ViewProgram::sid(Native kind, PyObject* value) {
  if (!PyBytes_Check(value)) return nullptr;
  const Py_ssize_t size = PyBytes_Size(value);
  const auto* b = reinterpret_cast<const unsigned char*>(PyBytes_AsString(value));
  if (b == nullptr || size < 12) return nullptr;
  const size_t count = b[1];
  const size_t end = 8 + 4 * count;
  if (count == 0 || static_cast<size_t>(size) < end) return nullptr;
  uint64_t authority = 0;
  for (int i = 2; i < 8; ++i) authority = authority << 8 | b[i];
  if (authority >= (uint64_t{1} << 32)) return nullptr;  // written in hex: the callable's
  auto sub = [b](size_t at, bool big) {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) {
      v = v << 8 | b[at + static_cast<size_t>(big ? i : 3 - i)];
    }
    return v;
  };
  if (kind == Native::kRid) return PyLong_FromUnsignedLong(sub(end - 4, true));
  // "S-" and up to 257 numbers of at most 20 digits, each after a '-'.
  char text[2 + 257 * 21];
  char* at = text;
  char* const end_of_text = text + sizeof text;
  *at++ = 'S';
  auto put = [&](uint64_t number) {
    *at++ = '-';
    at = std::to_chars(at, end_of_text, number).ptr;
  };
  put(b[0]);
  put(authority);
  for (size_t i = 0; i < count; ++i) put(sub(8 + 4 * i, i == count - 1));
  return PyUnicode_FromStringAndSize(text, at - text);
}

PyObject* ViewProgram::guid(PyObject* value) {
  if (!PyBytes_Check(value) || PyBytes_Size(value) != 16) return nullptr;
  const auto* b = reinterpret_cast<const unsigned char*>(PyBytes_AsString(value));
  if (b == nullptr) return nullptr;
  static constexpr int kOrder[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
  static constexpr char kHex[] = "0123456789abcdef";
  char text[36];
  size_t at = 0;
  for (int i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) text[at++] = '-';
    text[at++] = kHex[b[kOrder[i]] >> 4];
    text[at++] = kHex[b[kOrder[i]] & 0xF];
  }
  return PyUnicode_FromStringAndSize(text, sizeof text);
}

PyObject* ViewProgram::apply(const Output& out, PyObject* value) const {
  PyRef owned(value);
  if (!out.op) return owned.release();
  PyObject* result;
  if (out.lookup) {
    // An exact hit costs one dict probe; a miss goes through __missing__. A
    // multi-value (a list) is looked up by its tuple, and a miss given to
    // the lookup's call (which keeps it by that tuple); so is a value that
    // cannot be a key. A list found is copied: rows never share one.
    PyObject* key = value;
    if (PyList_CheckExact(value)) {
      // The record's column value: its tuple is made once a row.
      PyRef* tuple = out.source >= 0 && values_[static_cast<size_t>(out.source)].get() == value
                         ? &tuples_[static_cast<size_t>(out.source)]
                         : nullptr;
      PyRef made;
      if (tuple == nullptr) tuple = &made;
      if (!*tuple) tuple->reset(PyList_AsTuple(value));
      if (!*tuple) return nullptr;
      key = tuple->get();
    }
    PyObject* last = out.last_key.get();
    if (last != nullptr && (last == key || (Py_TYPE(last) == Py_TYPE(key) &&
                                            PyObject_RichCompareBool(last, key, Py_EQ) == 1))) {
      result = out.last_found.get();
    } else {
      if (PyErr_Occurred()) PyErr_Clear();  // a comparison that failed: probed instead
      result = PyDict_Check(out.op.get()) ? PyDict_GetItemWithError(out.op.get(), key) : nullptr;
      if (result != nullptr) {
        Py_INCREF(key);
        out.last_key.reset(key);
        Py_INCREF(result);
        out.last_found.reset(result);
      }
    }
    if (result != nullptr) {
      if (PyList_CheckExact(result)) return PyList_GetSlice(result, 0, PyList_Size(result));
      Py_INCREF(result);
      return result;
    }
    if (!PyErr_Occurred() && key == value) {
      result = PyObject_GetItem(out.op.get(), value);
      if (result != nullptr && PyList_CheckExact(result)) {
        PyRef kept(result);
        result = PyList_GetSlice(kept.get(), 0, PyList_Size(kept.get()));
      }
    } else if (!PyErr_Occurred() || PyErr_ExceptionMatches(PyExc_TypeError)) {
      PyErr_Clear();
      result = PyObject_CallFunctionObjArgs(out.op.get(), value, nullptr);
    } else {
      result = nullptr;
    }
  } else {
    result = PyObject_CallFunctionObjArgs(out.op.get(), value, nullptr);
  }
  if (result == nullptr) {
    // A value the interpretation cannot take is None, as an undecodable
    // column is; running out of memory still fails the row.
    if (PyErr_ExceptionMatches(PyExc_MemoryError)) return nullptr;
    PyErr_Clear();
    Py_INCREF(Py_None);
    return Py_None;
  }
  return result;
}

PyObject* ViewProgram::value_of(int source, PyObject* datetime_class) const {
  PyRef& slot = values_[static_cast<size_t>(source)];
  if (!slot) {
    const std::vector<DecodedField>& fields = *fields_;
    const DecodedField* field = nullptr;
    if (fits_) {
      field = &fields[static_cast<size_t>(source)];
    } else {
      for (const DecodedField& f : fields) {
        if (f.column == columns_[static_cast<size_t>(source)]) field = &f;
      }
    }
    if (field == nullptr) {
      Py_INCREF(Py_None);
      slot.reset(Py_None);
    } else {
      slot.reset(decoded_field(*field, datetime_class));
    }
  }
  return slot.get();
}

PyObject* ViewProgram::output(const Output& out, PyObject* datetime_class) const {
  if (out.source < 0) {
    Py_INCREF(Py_None);
    return Py_None;
  }
  PyObject* value = value_of(out.source, datetime_class);
  if (value == nullptr) return nullptr;
  if (out.native != Native::kNone) return native(out, value, datetime_class);
  Py_INCREF(value);
  return apply(out, value);
}

template <class Put>
int ViewProgram::row(const std::vector<DecodedField>& fields, PyObject* datetime_class,
                     Py_ssize_t position, Put put) const {
  // The plan's column i is field i unless the record's fields differ.
  fields_ = &fields;
  fits_ = fields.size() == columns_.size();
  for (size_t i = 0; fits_ && i < fields.size(); ++i) fits_ = fields[i].column == columns_[i];
  values_.clear();
  values_.resize(columns_.size());
  tuples_.clear();
  tuples_.resize(columns_.size());
  if (filtered_) {
    PyRef test(output(where_, datetime_class));
    if (!test) return -1;
    const int keep = PyObject_IsTrue(test.get());
    if (keep <= 0) return keep;
  }
  // The outputs, then source_table and source_key.
  const size_t n = outputs_.size();
  for (size_t i = 0; i < n; ++i) {
    if (!put(i, output(outputs_[i], datetime_class))) return -1;
  }
  if (!provenance_) return 1;
  Py_INCREF(table_.get());
  if (!put(n, table_.get())) return -1;
  if (key_source_ >= 0) {
    PyObject* value = value_of(key_source_, datetime_class);
    if (value == nullptr) return -1;
    PyRef text(PyObject_Str(value));
    return text && put(n + 1, PyUnicode_Concat(key_prefix_.get(), text.get())) ? 1 : -1;
  }
  PyRef number(PyLong_FromSsize_t(position));
  return number && put(n + 1, PyUnicode_Format(key_prefix_.get(), number.get())) ? 1 : -1;
}

PyObject* ViewProgram::make(const std::vector<DecodedField>& fields, PyObject* datetime_class,
                            Py_ssize_t position) const {
  // A dict copied from the template (every key, in order), filled in place.
  // A record `where` rejects costs no dict.
  PyRef dict;
  auto put = [&](size_t i, PyObject* value) {
    PyRef owned(value);
    if (!owned) return false;
    if (!dict) dict.reset(PyDict_Copy(template_.get()));
    // The template's value is None already.
    return dict && (value == Py_None || PyDict_SetItem(dict.get(), keys_[i].get(), value) == 0);
  };
  const int made = row(fields, datetime_class, position, put);
  if (made <= 0) return nullptr;
  if (!dict) dict.reset(PyDict_Copy(template_.get()));  // a view of no outputs
  return dict.release();
}

bool ViewProgram::begin_batch() {
  batch_.reset(PyList_New(static_cast<Py_ssize_t>(keys_.size())));
  if (!batch_) return false;
  for (size_t i = 0; i < keys_.size(); ++i) {
    PyObject* column = PyList_New(0);
    if (column == nullptr) return false;
    PyList_SetItem(batch_.get(), static_cast<Py_ssize_t>(i), column);  // steals `column`
  }
  return true;
}

int ViewProgram::append(const std::vector<DecodedField>& fields, PyObject* datetime_class,
                        Py_ssize_t position) {
  PyObject* batch = batch_.get();
  auto put = [batch](size_t i, PyObject* value) {
    PyRef owned(value);
    return owned && PyList_Append(PyList_GetItem(batch, static_cast<Py_ssize_t>(i)), value) == 0;
  };
  return row(fields, datetime_class, position, put);
}

PyObject* ViewProgram::take_batch() { return batch_.release(); }

}  // namespace quarlet::py
