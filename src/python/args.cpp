// Argument binding and single-argument conversions for the EseDatabase
// methods, producing the interpreter's wording for every TypeError.
#include "python/args.hpp"

#include <string>

#include "python/convert.hpp"

namespace quarlet::py {

namespace {

// Index of the parameter named by `key`, or sig.count when there is none.
size_t find_parameter(const Signature& sig, PyObject* key) {
  if (!PyUnicode_Check(key)) return sig.count;
  for (size_t i = 0; i < sig.count; ++i) {
    if (PyUnicode_CompareWithASCIIString(key, sig.names[i]) == 0) return i;
  }
  return sig.count;
}

void too_many_positional(const Signature& sig, Py_ssize_t given) {
  const char* verb = given == 1 ? "was" : "were";
  if (sig.required == sig.count) {
    PyErr_Format(PyExc_TypeError, "%s takes %zu positional arguments but %zd %s given",
                 sig.display_name, sig.count, given, verb);
  } else {
    PyErr_Format(PyExc_TypeError, "%s takes from %zu to %zu positional arguments but %zd %s given",
                 sig.display_name, sig.required, sig.count, given, verb);
  }
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'": the interpreter's joining.
std::string join_names(const char* const* names, size_t n) {
  std::string out;
  for (size_t i = 0; i < n; ++i) {
    if (i > 0) out += n == 2 ? " and " : (i + 1 == n ? ", and " : ", ");
    out += '\'';
    out += names[i];
    out += '\'';
  }
  return out;
}

// Sets TypeError "argument 'NAME': 'TYPE' object cannot be converted to 'PyString'".
void not_a_str(PyObject* obj, const char* name) {
  PyRef type_name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)),
                                         "__qualname__"));
  if (!type_name || !PyUnicode_Check(type_name.get())) {
    PyErr_Clear();
    type_name.reset(PyUnicode_FromString("?"));
    if (!type_name) return;
  }
  PyErr_Format(PyExc_TypeError, "argument '%s': '%U' object cannot be converted to 'PyString'",
               name, type_name.get());
}

void out_of_range() {
  PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
}

}  // namespace

bool bind_arguments(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out) {
  for (size_t i = 0; i < sig.count; ++i) out[i] = nullptr;
  const Py_ssize_t nargs = args == nullptr ? 0 : PyTuple_Size(args);
  if (nargs < 0) return false;
  if (static_cast<size_t>(nargs) > sig.count) {
    too_many_positional(sig, nargs);
    return false;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = PyTuple_GetItem(args, i);

  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      const size_t index = find_parameter(sig, key);
      if (index == sig.count) {
        if (PyUnicode_Check(key)) {
          PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'",
                       sig.display_name, key);
        } else {
          PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'",
                       sig.display_name, key);
        }
        return false;
      }
      if (out[index] != nullptr) {
        PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'",
                     sig.display_name, sig.names[index]);
        return false;
      }
      out[index] = value;
    }
  }

  const char* missing[16];
  size_t n_missing = 0;
  for (size_t i = 0; i < sig.required && n_missing < 16; ++i) {
    if (out[i] == nullptr) missing[n_missing++] = sig.names[i];
  }
  if (n_missing > 0) {
    const std::string names = join_names(missing, n_missing);
    PyErr_Format(PyExc_TypeError, "%s missing %zu required positional %s: %s", sig.display_name,
                 n_missing, n_missing == 1 ? "argument" : "arguments", names.c_str());
    return false;
  }
  return true;
}

bool check_str(PyObject* obj, const char* name) {
  if (PyUnicode_Check(obj)) return true;
  not_a_str(obj, name);
  return false;
}

bool check_optional_str(PyObject* obj, const char* name) {
  if (obj == Py_None || PyUnicode_Check(obj)) return true;
  not_a_str(obj, name);
  return false;
}

bool to_u32(PyObject* obj, const char* name, uint32_t* out) {
  PyRef index(PyNumber_Index(obj));
  if (!index) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
    // Re-raise the interpreter's own message, naming the argument.
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    PyRef text(value != nullptr ? PyObject_Str(value) : nullptr);
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(traceback);
    if (!text) return false;
    PyErr_Format(PyExc_TypeError, "argument '%s': %U", name, text.get());
    return false;
  }
  const unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    // Negative, or beyond 64 bits.
    if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return false;
    PyErr_Clear();
    out_of_range();
    return false;
  }
  if (v > 0xFFFFFFFFull) {
    out_of_range();
    return false;
  }
  *out = static_cast<uint32_t>(v);
  return true;
}

PyObject* table_not_found(PyObject* name) {
  PyErr_Format(PyExc_ValueError, "Table not found: %U", name);
  return nullptr;
}

bool table_name_utf8(PyObject* name, std::string* out) {
  PyRef bytes(PyUnicode_AsUTF8String(name));
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (!bytes || PyBytes_AsStringAndSize(bytes.get(), &data, &size) != 0) {
    PyErr_Clear();
    table_not_found(name);
    return false;
  }
  out->assign(data, static_cast<size_t>(size));
  return true;
}

bool column_names(PyObject* obj, std::vector<std::string>* out) {
  out->clear();
  if (PyUnicode_Check(obj) || PyBytes_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "argument 'columns': expected a sequence of str, not %s",
                 PyUnicode_Check(obj) ? "str" : "bytes");
    return false;
  }
  PyRef iterator(PyObject_GetIter(obj));
  if (!iterator) {
    if (PyErr_ExceptionMatches(PyExc_TypeError)) {
      PyErr_Clear();
      PyErr_SetString(PyExc_TypeError, "argument 'columns': expected a sequence of str");
    }
    return false;
  }
  for (;;) {
    PyRef item(PyIter_Next(iterator.get()));
    if (!item) return PyErr_Occurred() == nullptr;
    if (!check_str(item.get(), "columns")) return false;
    PyRef bytes(PyUnicode_AsUTF8String(item.get()));
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (!bytes || PyBytes_AsStringAndSize(bytes.get(), &data, &size) != 0) {
      // A lone surrogate names no stored column.
      PyErr_Clear();
      PyErr_Format(PyExc_ValueError, "Column not found: %U", item.get());
      return false;
    }
    out->emplace_back(data, static_cast<size_t>(size));
  }
}

}  // namespace quarlet::py
