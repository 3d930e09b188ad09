// A view's conversions of directory values (see view_rows.hpp): an
// object's distinguished name from a name map, the names of a key's link
// targets, SIDs and GUIDs as text, and the sort of a link map's pairs.
#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <string>
#include <unordered_map>
#include <vector>

#include "python/view_rows.hpp"
#include "record/value.hpp"

namespace quarlet::py {

namespace {

// Item i of an array held in bytes (read unaligned).
template <class T>
T item(PyObject* bytes, Py_ssize_t i) {
  T value;
  std::memcpy(&value, PyBytes_AsString(bytes) + i * static_cast<Py_ssize_t>(sizeof(T)),
              sizeof(T));
  return value;
}

// Holds the items of the tuple `tables`, in order, in `slots`, when it has
// one item a slot: `arrays` bytes, then dicts. TypeError `error` otherwise.
bool hold_tables(PyObject* tables, Py_ssize_t arrays, std::initializer_list<PyRef*> slots,
                 const char* error) {
  bool fits =
      PyTuple_Check(tables) && PyTuple_Size(tables) == static_cast<Py_ssize_t>(slots.size());
  for (Py_ssize_t i = 0; fits && i < PyTuple_Size(tables); ++i) {
    PyObject* table = PyTuple_GetItem(tables, i);
    fits = i < arrays ? PyBytes_Check(table) : PyDict_Check(table);
  }
  if (!fits) {
    PyErr_SetString(PyExc_TypeError, error);
    return false;
  }
  Py_ssize_t i = 0;
  for (PyRef* slot : slots) {
    PyObject* table = PyTuple_GetItem(tables, i++);
    Py_INCREF(table);
    slot->reset(table);
  }
  return true;
}

// The first index in [low, high) of the sorted int32 array `keys` whose
// key is not below `key` (high when there is none).
Py_ssize_t first_not_below(PyObject* keys, Py_ssize_t low, Py_ssize_t high, int32_t key) {
  while (low < high) {
    const Py_ssize_t mid = low + (high - low) / 2;
    if (item<int32_t>(keys, mid) < key) {
      low = mid + 1;
    } else {
      high = mid;
    }
  }
  return low;
}

// The UTF-8 of the str that `dict` holds for `key`, kept in `known` on the
// first call; nullptr (maybe with an exception) when it holds none, or one
// that does not encode (a lone surrogate).
const std::string* utf8_for(std::unordered_map<int32_t, std::string>& known, PyObject* dict,
                            int32_t key) {
  auto at = known.find(key);
  if (at != known.end()) return &at->second;
  PyRef number(PyLong_FromLong(key));
  if (!number) return nullptr;
  PyObject* text = PyDict_GetItemWithError(dict, number.get());  // borrowed
  if (text == nullptr || !PyUnicode_CheckExact(text)) return nullptr;
  PyRef utf8(PyUnicode_AsUTF8String(text));
  if (!utf8) return nullptr;
  return &known.emplace(key, PyBytes_AsString(utf8.get())).first->second;
}

// `value` as an int32 key (a DNT), when it is an int in range.
bool int32_of(PyObject* value, int32_t* out) {
  if (!PyLong_CheckExact(value)) return false;
  int overflow = 0;
  const long long number = PyLong_AsLongLongAndOverflow(value, &overflow);
  if (overflow != 0 || number < INT32_MIN || number > INT32_MAX) return false;
  *out = static_cast<int32_t>(number);
  return true;
}

}  // namespace

bool ViewProgram::take_names(PyObject* op, Output* out) {
  PyRef tables(PyObject_GetAttrString(op, "tables"));
  if (!tables) return false;
  auto names = std::make_shared<Names>();
  if (!hold_tables(tables.get(), 5,
                   {&names->dnts, &names->parents, &names->types, &names->ends, &names->text,
                    &names->cache, &names->prefixes},
                   "a dn conversion needs its name map's tables")) {
    return false;
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
  int32_t dnt = 0;
  if (!int32_of(value, &dnt)) return nullptr;
  PyObject* dnts = names.dnts.get();
  const Py_ssize_t n = names.count;
  // The first entry of the DNT: the one after the last found, or a search.
  Py_ssize_t i = names.hint + 1;
  if (i < 0 || i >= n || item<int32_t>(dnts, i) != dnt ||
      (i > 0 && item<int32_t>(dnts, i - 1) == dnt)) {
    i = first_not_below(dnts, 0, n, dnt);
    if (i >= n || item<int32_t>(dnts, i) != dnt) return nullptr;
  }
  names.hint = i;
  const int32_t parent = item<int32_t>(names.parents.get(), i);
  if (parent == dnt) return nullptr;
  // The parent's DN as UTF-8, once it is cached (a miss is asked again:
  // the callable caches it when it makes this row's DN), and the prefix.
  const std::string* above = utf8_for(names.parent_text, names.cache.get(), parent);
  if (above == nullptr) return nullptr;
  const std::string* prefix =
      utf8_for(names.prefix_text, names.prefixes.get(), item<int32_t>(names.types.get(), i));
  if (prefix == nullptr) return nullptr;
  const int64_t start = i > 0 ? item<int64_t>(names.ends.get(), i - 1) : 0;
  const int64_t end = item<int64_t>(names.ends.get(), i);
  if (start < 0 || end < start || end > static_cast<int64_t>(PyBytes_Size(names.text.get()))) {
    return nullptr;
  }
  // Prefix, RDN, and for a child of anything but the root ',' and the
  // parent's DN, decoded in one piece.
  std::string& dn = names.scratch;
  dn.assign(*prefix);
  dn.append(PyBytes_AsString(names.text.get()) + start, static_cast<size_t>(end - start));
  if (!above->empty()) {
    dn.push_back(',');
    dn.append(*above);
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
  auto links = std::make_shared<Links>();
  if (!hold_tables(tables.get(), 2, {&links->keys, &links->targets, &links->names},
                   "a links conversion needs its link map's tables")) {
    return false;
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
  int32_t key = 0;
  if (!int32_of(value, &key)) return nullptr;
  PyObject* keys = links.keys.get();
  const Py_ssize_t n = links.count;
  // The first link of the key: rows come in key order, so a search starts
  // where the last one began when the key is not below it, and looks at
  // the next few links before it halves the rest.
  Py_ssize_t low = links.at <= n && (links.at == 0 || item<int32_t>(keys, links.at - 1) < key)
                       ? links.at
                       : 0;
  Py_ssize_t high = n;
  for (const Py_ssize_t stop = std::min(n, low + 4); low < stop; ++low) {
    if (item<int32_t>(keys, low) >= key) {
      high = low;
      break;
    }
  }
  low = first_not_below(keys, low, high, key);
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

PyObject* ViewProgram::sid(Native kind, PyObject* value) {
  if (!PyBytes_Check(value)) return nullptr;
  const auto* b = reinterpret_cast<const unsigned char*>(PyBytes_AsString(value));
  if (b == nullptr) return nullptr;
  return sid(kind, b, PyBytes_Size(value));
}

PyObject* ViewProgram::sid(Native kind, const unsigned char* b, Py_ssize_t size) {
  if (size < 12) return nullptr;
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
  if (!PyBytes_Check(value)) return nullptr;
  const auto* b = reinterpret_cast<const unsigned char*>(PyBytes_AsString(value));
  if (b == nullptr) return nullptr;
  return guid(b, PyBytes_Size(value));
}

PyObject* ViewProgram::guid(const unsigned char* b, Py_ssize_t size) {
  if (size != 16) return nullptr;
  char text[kGuidTextSize];
  format_guid_into(b, text);
  return PyUnicode_FromStringAndSize(text, sizeof text);
}

}  // namespace quarlet::py
