/* The least building a table's record dicts costs in CPython, under the
 * limited API the extension uses: a loop in C that builds the same dicts
 * (same keys, same values) into a list, as read_table does, four ways:
 *
 *   0  each dict from PyDict_New, keys set one by one (it grows as they go in)
 *   1  each dict a PyDict_Copy of a template of the same keys, values set over
 *   2  as 0, each value made anew from its C form (int, float, str, bytes)
 *   3  as 1, each value made anew
 *
 * floor(records, mode, runs) -> best seconds of `runs`; `records` is a list
 * of dicts with the same keys in the same order (read_table's result). The
 * list built is freed outside the timing, as read_table's caller would.
 */
#define Py_LIMITED_API 0x03090000
#include <Python.h>

#include <stdlib.h>
#include <string.h>
#include <time.h>

enum { K_NONE, K_INT, K_UINT, K_FLOAT, K_STR, K_BYTES, K_OBJ };

typedef struct {
  int kind;
  long long i;
  unsigned long long u;
  double f;
  const char *bytes;
  Py_ssize_t size;
  PyObject *obj; /* borrowed: the value itself */
} Value;

static double now(void) {
  struct timespec ts;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return ts.tv_sec + ts.tv_nsec * 1e-9;
}

static PyObject *make(const Value *v) {
  switch (v->kind) {
    case K_NONE: Py_INCREF(Py_None); return Py_None;
    case K_INT: return PyLong_FromLongLong(v->i);
    case K_UINT: return PyLong_FromUnsignedLongLong(v->u);
    case K_FLOAT: return PyFloat_FromDouble(v->f);
    case K_STR: return PyUnicode_FromStringAndSize(v->bytes, v->size);
    case K_BYTES: return PyBytes_FromStringAndSize(v->bytes, v->size);
    default: Py_INCREF(v->obj); return v->obj;
  }
}

/* `keep` holds the UTF-8 bytes of each str for as long as `v` is used. */
static int describe(PyObject *o, Value *v, PyObject *keep) {
  memset(v, 0, sizeof *v);
  v->obj = o;
  v->kind = K_OBJ;
  if (o == Py_None) {
    v->kind = K_NONE;
  } else if (PyLong_Check(o) && !PyBool_Check(o)) {
    int overflow = 0;
    v->i = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (overflow == 0) {
      v->kind = K_INT;
    } else {
      v->u = PyLong_AsUnsignedLongLong(o);
      if (PyErr_Occurred()) return -1;
      v->kind = K_UINT;
    }
  } else if (PyFloat_Check(o)) {
    v->f = PyFloat_AsDouble(o);
    v->kind = K_FLOAT;
  } else if (PyUnicode_Check(o)) {
    PyObject *utf8 = PyUnicode_AsUTF8String(o);
    char *p;
    if (utf8 == NULL || PyList_Append(keep, utf8) != 0) {
      Py_XDECREF(utf8);
      return -1;
    }
    Py_DECREF(utf8);
    if (PyBytes_AsStringAndSize(utf8, &p, &v->size) != 0) return -1;
    v->bytes = p;
    v->kind = K_STR;
  } else if (PyBytes_Check(o)) {
    char *p;
    if (PyBytes_AsStringAndSize(o, &p, &v->size) != 0) return -1;
    v->bytes = p;
    v->kind = K_BYTES;
  }
  return 0;
}

static PyObject *floor_(PyObject *self, PyObject *args) {
  PyObject *records;
  int mode, runs;
  (void)self;
  if (!PyArg_ParseTuple(args, "Oii", &records, &mode, &runs)) return NULL;
  Py_ssize_t n = PyList_Size(records);
  if (n <= 0) return PyErr_Occurred() ? NULL : PyFloat_FromDouble(0.0);
  PyObject *first = PyList_GetItem(records, 0);
  PyObject *keys = PyDict_Keys(first);
  if (keys == NULL) return NULL;
  Py_ssize_t k = PyList_Size(keys);
  PyObject *template_ = PyDict_New();
  PyObject *keep = PyList_New(0);
  Value *values = calloc((size_t)(n * k), sizeof(Value));
  PyObject *result = NULL;
  if (template_ == NULL || keep == NULL || values == NULL) goto done;
  for (Py_ssize_t j = 0; j < k; ++j) {
    if (PyDict_SetItem(template_, PyList_GetItem(keys, j), Py_None) != 0) goto done;
  }
  for (Py_ssize_t r = 0; r < n; ++r) {
    PyObject *rec = PyList_GetItem(records, r);
    for (Py_ssize_t j = 0; j < k; ++j) {
      PyObject *v = PyDict_GetItem(rec, PyList_GetItem(keys, j));
      if (v == NULL) v = Py_None;
      if (describe(v, &values[r * k + j], keep) != 0) goto done;
    }
  }
  double best = 1e30;
  for (int run = 0; run < runs; ++run) {
    PyObject *out = PyList_New(0);
    if (out == NULL) goto done;
    double t0 = now();
    for (Py_ssize_t r = 0; r < n; ++r) {
      PyObject *d = (mode & 1) ? PyDict_Copy(template_) : PyDict_New();
      if (d == NULL) { Py_DECREF(out); goto done; }
      for (Py_ssize_t j = 0; j < k; ++j) {
        const Value *v = &values[r * k + j];
        PyObject *obj;
        if (mode & 2) {
          obj = make(v);
        } else {
          obj = v->obj;
          Py_INCREF(obj);
        }
        if (obj == NULL || PyDict_SetItem(d, PyList_GetItem(keys, j), obj) != 0) {
          Py_XDECREF(obj);
          Py_DECREF(d);
          Py_DECREF(out);
          goto done;
        }
        Py_DECREF(obj);
      }
      if (PyList_Append(out, d) != 0) { Py_DECREF(d); Py_DECREF(out); goto done; }
      Py_DECREF(d);
    }
    double t = now() - t0;
    if (t < best) best = t;
    Py_DECREF(out);
  }
  result = PyFloat_FromDouble(best);
done:
  free(values);
  Py_XDECREF(template_);
  Py_XDECREF(keep);
  Py_DECREF(keys);
  return result;
}

static PyMethodDef methods[] = {
    {"floor", floor_, METH_VARARGS, "floor(records, mode, runs) -> best seconds"},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef module = {PyModuleDef_HEAD_INIT, "dict_floor", NULL, -1, methods,
                                    NULL, NULL, NULL, NULL};

PyMODINIT_FUNC PyInit_dict_floor(void) { return PyModule_Create(&module); }
