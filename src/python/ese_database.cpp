// EseDatabase: a limited-API heap type owning one open Database, with the
// query, export and carving methods that turn core results into Python
// objects.
#include "python/ese_database.hpp"

#include <sys/stat.h>

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "database/carve.hpp"
#include "database/database.hpp"
#include "database/integrity.hpp"
#include "export/jsonl.hpp"
#include "python/args.hpp"
#include "python/arrow_capsule.hpp"
#include "python/convert.hpp"
#include "python/iter_table.hpp"
#include "python/recover.hpp"
#include "python/report.hpp"
#include "python/source.hpp"
#include "record/parser.hpp"

namespace quarlet::py {

namespace {

struct EseDatabaseObject {
  PyObject_HEAD
  Database* db;                      // the open database; null once closed
  std::shared_ptr<const Database>* held;  // owns `db`, shared with running streams; null once closed
  PyObject* path;                    // the path given (as str), the source's name, or None
  PyObject* source;                  // a short text naming the source when `path` is None
  Py_ssize_t borrows;                // shared borrows currently held by running methods
};

EseDatabaseObject* as_ese(PyObject* self) { return reinterpret_cast<EseDatabaseObject*>(self); }

// The instance when its database is open; null with ValueError once closed.
EseDatabaseObject* open_ese(PyObject* self) {
  EseDatabaseObject* obj = as_ese(self);
  if (obj->db == nullptr) PyErr_SetString(PyExc_ValueError, "I/O operation on closed database");
  return obj->db != nullptr ? obj : nullptr;
}

PyObject* new_ref(PyObject* o) {
  Py_INCREF(o);
  return o;
}

// The bytes of a bytes object as a std::string.
std::string bytes_string(PyObject* bytes) {
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(bytes, &data, &size) != 0) {
    PyErr_Clear();
    return std::string();
  }
  return std::string(data, static_cast<size_t>(size));
}

// The file-system bytes of a path given as str (file-system encoding with
// surrogateescape, as os functions take it). False with the interpreter's
// exception set when it cannot be encoded, or ValueError for an embedded NUL.
bool fs_path(PyObject* path, std::string* out) {
  PyRef bytes(PyUnicode_EncodeFSDefault(path));
  if (!bytes) return false;
  *out = bytes_string(bytes.get());
  if (out->find('\0') != std::string::npos) {
    PyErr_SetString(PyExc_ValueError, "embedded null byte");
    return false;
  }
  return true;
}

// ---- constructor, destructor, attributes, repr ---------------------------

const char* const kNewParams[] = {"path"};
const Signature kNewSig = {"EseDatabase.__new__()", kNewParams, 1, 1};

PyObject* ese_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  PyObject* argv[1];
  if (!bind_arguments(kNewSig, args, kwargs, argv)) return nullptr;
  Source source;
  if (!open_source(argv[0], &source)) return nullptr;

  std::optional<Result<std::unique_ptr<Database>>> opened;
  if (source.is_path) {
    // A path that cannot even be encoded names no file-system entry.
    bool exists = false;
    if (source.fs_usable) {
      const std::string& fs = source.fs;
      Py_BEGIN_ALLOW_THREADS
      struct stat st;
      exists = ::stat(fs.c_str(), &st) == 0;
      if (exists) opened.emplace(Database::open(fs));
      Py_END_ALLOW_THREADS
    }
    if (!exists) {
      PyErr_Format(PyExc_FileNotFoundError, "Database file not found: %U", source.path.get());
      return nullptr;
    }
  } else {
    // A file object's header and catalog pages are read here, through the
    // object (with the interpreter lock taken for its calls only).
    std::unique_ptr<FileBytes> file = std::move(source.file);
    Py_BEGIN_ALLOW_THREADS
    opened.emplace(Database::open_file(std::move(file), std::string()));
    Py_END_ALLOW_THREADS
  }
  if (!opened->ok()) {
    return set_error(PyExc_OSError, "Failed to open database: " + message(opened->error()));
  }

  // The repr names the source by its path or name, else by its type.
  PyRef described(source.path.get() != Py_None
                      ? new_ref(source.path.get())
                      : PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(argv[0])),
                                               "__name__"));
  if (!described) return nullptr;
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* self = alloc(type, 0);
  if (self == nullptr) return nullptr;
  EseDatabaseObject* obj = as_ese(self);
  obj->held = new std::shared_ptr<const Database>(opened->value().release());
  obj->db = const_cast<Database*>(obj->held->get());
  obj->path = source.path.release();
  obj->source = described.release();
  obj->borrows = 0;
  return self;
}

// Lets go of the database: the instance's share of it, which frees the
// mapping or the source unless a stream still runs over it.
void release_database(EseDatabaseObject* obj) {
  obj->db = nullptr;
  delete obj->held;
  obj->held = nullptr;
}

void ese_dealloc(PyObject* self) {
  EseDatabaseObject* obj = as_ese(self);
  release_database(obj);  // unmaps the file and closes its handle, or lets go of the source
  Py_CLEAR(obj->path);
  Py_CLEAR(obj->source);
  free_heap_object(self);
}

PyObject* ese_repr(PyObject* self) {
  EseDatabaseObject* obj = as_ese(self);
  const bool named = obj->path != Py_None;
  const char* form = named ? "EseDatabase(path='%U'" : "EseDatabase(source=<%U>";
  PyRef head(PyUnicode_FromFormat(form, obj->source));
  if (!head) return nullptr;
  if (obj->db == nullptr) return PyUnicode_FromFormat("%U, closed)", head.get());
  return PyUnicode_FromFormat("%U, tables=%zu, page_size=%lu)", head.get(),
                              obj->db->tables().size(),
                              static_cast<unsigned long>(obj->db->page_size()));
}

PyObject* get_path(PyObject* self, void*) { return new_ref(as_ese(self)->path); }

PyObject* get_closed(PyObject* self, void*) {
  return new_ref(as_ese(self)->db == nullptr ? Py_True : Py_False);
}

PyObject* get_page_size(PyObject* self, void*) {
  EseDatabaseObject* obj = open_ese(self);
  if (obj == nullptr) return nullptr;
  return PyLong_FromUnsignedLong(obj->db->page_size());
}

PyObject* get_total_pages(PyObject* self, void*) {
  EseDatabaseObject* obj = open_ese(self);
  if (obj == nullptr) return nullptr;
  return PyLong_FromUnsignedLong(obj->db->total_pages());
}

// ---- queries ---------------------------------------------------------------

PyObject* get_tables(PyObject* self, PyObject*) {
  EseDatabaseObject* obj = open_ese(self);
  if (obj == nullptr) return nullptr;
  SharedBorrow borrow(&obj->borrows);
  const Tables& tables = obj->db->tables();
  PyRef list(PyList_New(static_cast<Py_ssize_t>(tables.size())));
  if (!list) return nullptr;
  Py_ssize_t i = 0;
  for (const auto& entry : tables) {
    PyObject* name = str_from_utf8(entry.first);
    if (name == nullptr) return nullptr;
    PyList_SetItem(list.get(), i++, name);  // steals `name`
  }
  return list.release();
}

const char* const kTableNameParams[] = {"table_name"};
const Signature kReadTableSig = {"EseDatabase.read_table()", kTableNameParams, 1, 1};
const Signature kSchemaSig = {"EseDatabase.get_table_schema()", kTableNameParams, 1, 1};

PyObject* read_table(PyObject* self, PyObject* args, PyObject* kwargs) {
  PyObject* argv[1];
  if (!bind_arguments(kReadTableSig, args, kwargs, argv)) return nullptr;
  if (!check_str(argv[0], "table_name")) return nullptr;
  std::string name;
  if (!table_name_utf8(argv[0], &name)) return nullptr;

  EseDatabaseObject* obj = open_ese(self);
  if (obj == nullptr) return nullptr;
  SharedBorrow borrow(&obj->borrows);
  auto opened = TableRecords::open(*obj->db, name);
  if (!opened.ok()) return to_python_error(opened.error());
  TableRecords& records = **opened;

  // Column names become str objects once per call, shared by every record.
  RecordDicts dicts;
  if (!dicts.init(records.plan())) return nullptr;

  PyRef list(PyList_New(0));
  if (!list) return nullptr;
  Record record;  // storage reused by every record
  for (;;) {
    auto more = records.next_into(record);
    if (!more.ok()) {
      return record_read_error(more.error());
    }
    if (!*more) break;
    PyRef dict(dicts.make(record));
    if (!dict || PyList_Append(list.get(), dict.get()) != 0) return nullptr;
  }
  return list.release();
}

PyObject* get_table_schema(PyObject* self, PyObject* args, PyObject* kwargs) {
  PyObject* argv[1];
  if (!bind_arguments(kSchemaSig, args, kwargs, argv)) return nullptr;
  if (!check_str(argv[0], "table_name")) return nullptr;
  std::string name;
  if (!table_name_utf8(argv[0], &name)) return nullptr;

  EseDatabaseObject* obj = open_ese(self);
  if (obj == nullptr) return nullptr;
  SharedBorrow borrow(&obj->borrows);
  auto found = obj->db->table(name);
  if (!found.ok()) return table_not_found(argv[0]);
  const TableDef* table = *found;

  PyRef k_name(PyUnicode_FromString("name"));
  PyRef k_type(PyUnicode_FromString("type"));
  PyRef k_id(PyUnicode_FromString("id"));
  PyRef k_nullable(PyUnicode_FromString("nullable"));
  if (!k_name || !k_type || !k_id || !k_nullable) return nullptr;

  PyRef list(PyList_New(0));
  if (!list) return nullptr;
  for (const auto& entry : table->columns) {
    const ColumnDef& column = entry.second;
    PyRef dict(PyDict_New());
    PyRef name_value(str_from_utf8(column.name));
    PyRef type_value(str_from_utf8(column_type_name(column.column_type)));
    PyRef id_value(PyLong_FromUnsignedLong(column.id));
    PyRef nullable_value(new_ref((column.flags & 0x1) != 0 ? Py_False : Py_True));
    if (!dict || !name_value || !type_value || !id_value) return nullptr;
    if (PyDict_SetItem(dict.get(), k_name.get(), name_value.get()) != 0 ||
        PyDict_SetItem(dict.get(), k_type.get(), type_value.get()) != 0 ||
        PyDict_SetItem(dict.get(), k_id.get(), id_value.get()) != 0 ||
        PyDict_SetItem(dict.get(), k_nullable.get(), nullable_value.get()) != 0 ||
        PyList_Append(list.get(), dict.get()) != 0) {
      return nullptr;
    }
  }
  return list.release();
}

PyObject* iter_table(PyObject* self, PyObject* args, PyObject* kwargs) {
  EseDatabaseObject* obj = open_ese(self);
  if (obj == nullptr) return nullptr;
  return new_table_iterator(self, obj->db, &obj->borrows, args, kwargs);
}

PyObject* view_rows(PyObject* self, PyObject* args, PyObject* kwargs) {
  EseDatabaseObject* obj = open_ese(self);
  if (obj == nullptr) return nullptr;
  return new_view_iterator(self, obj->db, &obj->borrows, args, kwargs);
}

PyObject* recover(PyObject* self, PyObject* args, PyObject* kwargs) {
  EseDatabaseObject* obj = open_ese(self);
  if (obj == nullptr) return nullptr;
  return new_recover_iterator(self, obj->db, &obj->borrows, args, kwargs);
}

PyObject* arrow(PyObject* self, PyObject* args, PyObject* kwargs) {
  EseDatabaseObject* obj = open_ese(self);
  if (obj == nullptr) return nullptr;
  return new_arrow_table(self, obj->db, &obj->borrows, args, kwargs);
}

// ---- export -----------------------------------------------------------------

const char* const kExportTableParams[] = {"table_name", "output_path"};
const Signature kExportTableSig = {"EseDatabase.export_table()", kExportTableParams, 2, 2};
const char* const kExportAllParams[] = {"output_dir"};
const Signature kExportAllSig = {"EseDatabase.export_all()", kExportAllParams, 1, 1};

PyObject* raise_export_error(const ExportError& error) {
  PyObject* type =
      error.type == ExportError::Type::ValueError ? PyExc_ValueError : PyExc_OSError;
  return set_error(type, error.message);
}

using TableExport = std::optional<ExportError> (*)(const quarlet::Database&, const quarlet::Name&,
                                                   const std::string&);
using DirectoryExport = std::optional<ExportError> (*)(const quarlet::Database&,
                                                       const std::string&);

// Runs `run(db, table name, output path)` on the (already type-checked)
// table name and path, without the interpreter lock: the export touches no
// Python object, so other threads run meanwhile.
template <class Run>
PyObject* run_table_export(PyObject* self, PyObject* table_name, PyObject* output_path, Run run) {
  std::string name;
  if (!table_name_utf8(table_name, &name)) return nullptr;
  std::string path;
  if (!fs_path(output_path, &path)) return nullptr;

  EseDatabaseObject* obj = open_ese(self);
  if (obj == nullptr) return nullptr;
  SharedBorrow borrow(&obj->borrows);
  std::optional<ExportError> error;
  Py_BEGIN_ALLOW_THREADS
  error = run(*obj->db, name, path);
  Py_END_ALLOW_THREADS
  if (error) return raise_export_error(*error);
  Py_RETURN_NONE;
}

// Binds (table_name, output_path) and runs `run` (see run_table_export).
PyObject* export_one_table(PyObject* self, PyObject* args, PyObject* kwargs, const Signature& sig,
                           TableExport run) {
  PyObject* argv[2];
  if (!bind_arguments(sig, args, kwargs, argv)) return nullptr;
  if (!check_str(argv[0], "table_name") || !check_str(argv[1], "output_path")) return nullptr;
  return run_table_export(self, argv[0], argv[1], run);
}

// Binds (output_dir) and runs `run` without the interpreter lock.
PyObject* export_directory(PyObject* self, PyObject* args, PyObject* kwargs, const Signature& sig,
                           DirectoryExport run) {
  PyObject* argv[1];
  if (!bind_arguments(sig, args, kwargs, argv)) return nullptr;
  if (!check_str(argv[0], "output_dir")) return nullptr;
  std::string dir;
  if (!fs_path(argv[0], &dir)) return nullptr;

  EseDatabaseObject* obj = open_ese(self);
  if (obj == nullptr) return nullptr;
  SharedBorrow borrow(&obj->borrows);
  std::optional<ExportError> error;
  Py_BEGIN_ALLOW_THREADS
  error = run(*obj->db, dir);
  Py_END_ALLOW_THREADS
  if (error) return raise_export_error(*error);
  Py_RETURN_NONE;
}

PyObject* export_table(PyObject* self, PyObject* args, PyObject* kwargs) {
  return export_one_table(self, args, kwargs, kExportTableSig, quarlet::export_table_to_path);
}

PyObject* export_all(PyObject* self, PyObject* args, PyObject* kwargs) {
  return export_directory(self, args, kwargs, kExportAllSig, quarlet::export_all);
}

const Signature kExportTableDecodedSig = {"EseDatabase.export_table_decoded()",
                                         kExportTableParams, 2, 2};
const Signature kExportAllDecodedSig = {"EseDatabase.export_all_decoded()", kExportAllParams, 1,
                                        1};

PyObject* export_table_decoded(PyObject* self, PyObject* args, PyObject* kwargs) {
  return export_one_table(self, args, kwargs, kExportTableDecodedSig,
                          quarlet::export_table_decoded_to_path);
}

PyObject* export_all_decoded(PyObject* self, PyObject* args, PyObject* kwargs) {
  return export_directory(self, args, kwargs, kExportAllDecodedSig, quarlet::export_all_decoded);
}

const char* const kExportCsvParams[] = {"table_name", "output_path", "decode", "excel_safe"};
const Signature kExportCsvSig = {"EseDatabase.export_table_csv()", kExportCsvParams, 4, 2};

// Binds (table_name, output_path, decode=False, excel_safe=False) and writes
// the CSV file without the interpreter lock.
PyObject* export_table_csv(PyObject* self, PyObject* args, PyObject* kwargs) {
  PyObject* argv[4];
  if (!bind_arguments(kExportCsvSig, args, kwargs, argv)) return nullptr;
  if (!check_str(argv[0], "table_name") || !check_str(argv[1], "output_path")) return nullptr;
  bool flags[2] = {false, false};  // decode, excel_safe: taken by their truth value
  for (int i = 0; i < 2; ++i) {
    if (argv[2 + i] == nullptr) continue;
    const int truth = PyObject_IsTrue(argv[2 + i]);
    if (truth < 0) return nullptr;
    flags[i] = truth != 0;
  }
  const bool decode = flags[0], excel_safe = flags[1];
  return run_table_export(self, argv[0], argv[1],
                          [decode, excel_safe](const quarlet::Database& db,
                                               const quarlet::Name& name,
                                               const std::string& path) {
                            return quarlet::export_table_csv_to_path(db, name, path, decode,
                                                                     excel_safe);
                          });
}

// ---- carving ----------------------------------------------------------------

const char* const kCarveParams[] = {"needle", "min_chars", "max_hits"};
const Signature kCarveSig = {"EseDatabase.carve_utf16le_strings()", kCarveParams, 3, 0};
const char* const kCarveScopedParams[] = {"scope", "needle", "min_chars", "max_hits"};
const Signature kCarveScopedSig = {"EseDatabase.carve_utf16le_strings_scoped()",
                                   kCarveScopedParams, 4, 1};

// Converted carving arguments.
struct CarveArgs {
  std::string needle;  // UTF-8; empty = no filter
  uint32_t min_chars = 6;
  uint32_t max_hits = 1000;
};

// Converts needle, min_chars and max_hits (each may be null: not given).
bool convert_carve_args(PyObject* needle, PyObject* min_chars, PyObject* max_hits,
                        CarveArgs* out) {
  if (needle != nullptr && !check_optional_str(needle, "needle")) return false;
  if (min_chars != nullptr && !to_u32(min_chars, "min_chars", &out->min_chars)) return false;
  if (max_hits != nullptr && !to_u32(max_hits, "max_hits", &out->max_hits)) return false;
  if (needle != nullptr && needle != Py_None) {
    // A lone surrogate keeps its (non-ASCII) bytes, so such a needle never
    // matches, as no carved text holds anything but printable ASCII.
    PyRef bytes(PyUnicode_AsEncodedString(needle, "utf-8", "surrogatepass"));
    if (!bytes) return false;
    out->needle = bytes_string(bytes.get());
  }
  return true;
}

// Python objects for the text fields of hits, made once per call.
class HitTexts {
 public:
  // str for a static text (region kind, page type), cached by address.
  PyObject* label(const char* text) {
    for (auto& entry : labels_) {
      if (entry.first == text) return entry.second.get();
    }
    labels_.emplace_back(text, PyRef(PyUnicode_FromString(text)));
    return labels_.back().second.get();
  }
  // str for a table name in the catalog, cached by address.
  PyObject* table(const Name* name) {
    for (auto& entry : tables_) {
      if (entry.first == name) return entry.second.get();
    }
    tables_.emplace_back(name, PyRef(str_from_utf8(*name)));
    return tables_.back().second.get();
  }

 private:
  std::vector<std::pair<const char*, PyRef>> labels_;
  std::vector<std::pair<const Name*, PyRef>> tables_;
};

PyObject* hits_to_list(const std::vector<CarveHit>& hits) {
  static const char* const kKeys[9] = {"page",      "offset",     "slack_start",
                                       "slack_end", "region_kind", "page_flags",
                                       "page_type", "table",      "text"};
  PyRef keys[9];
  for (int i = 0; i < 9; ++i) {
    keys[i].reset(PyUnicode_FromString(kKeys[i]));
    if (!keys[i]) return nullptr;
  }
  HitTexts texts;
  PyRef list(PyList_New(0));
  if (!list) return nullptr;
  for (const CarveHit& hit : hits) {
    PyObject* region_kind = texts.label(hit.region_kind);
    PyObject* page_type = texts.label(hit.page_type);
    PyObject* table = hit.table != nullptr ? texts.table(hit.table) : Py_None;
    if (region_kind == nullptr || page_type == nullptr || table == nullptr) return nullptr;
    PyRef values[9] = {
        PyRef(PyLong_FromUnsignedLong(hit.page)),
        PyRef(PyLong_FromUnsignedLong(hit.offset)),
        PyRef(PyLong_FromUnsignedLong(hit.slack_start)),
        PyRef(PyLong_FromUnsignedLong(hit.slack_end)),
        PyRef(new_ref(region_kind)),
        PyRef(PyLong_FromUnsignedLong(hit.page_flags)),
        PyRef(new_ref(page_type)),
        PyRef(new_ref(table)),
        PyRef(str_from_utf8(hit.text)),
    };
    PyRef dict(PyDict_New());
    if (!dict) return nullptr;
    for (int i = 0; i < 9; ++i) {
      if (!values[i] || PyDict_SetItem(dict.get(), keys[i].get(), values[i].get()) != 0) {
        return nullptr;
      }
    }
    if (PyList_Append(list.get(), dict.get()) != 0) return nullptr;
  }
  return list.release();
}

PyObject* carve(EseDatabaseObject* obj, CarveScope scope, const CarveArgs& args) {
  SharedBorrow borrow(&obj->borrows);
  std::vector<CarveHit> hits;
  // Carving reads only the mapping: other threads run meanwhile.
  Py_BEGIN_ALLOW_THREADS
  hits = carve_pages(*obj->db, scope, args.needle, args.min_chars, args.max_hits);
  Py_END_ALLOW_THREADS
  return hits_to_list(hits);
}

PyObject* carve_utf16le_strings(PyObject* self, PyObject* args, PyObject* kwargs) {
  PyObject* argv[3];
  if (!bind_arguments(kCarveSig, args, kwargs, argv)) return nullptr;
  CarveArgs converted;
  if (!convert_carve_args(argv[0], argv[1], argv[2], &converted)) return nullptr;
  EseDatabaseObject* obj = open_ese(self);
  if (obj == nullptr) return nullptr;
  return carve(obj, CarveScope::Slack, converted);
}

PyObject* carve_utf16le_strings_scoped(PyObject* self, PyObject* args, PyObject* kwargs) {
  PyObject* argv[4];
  if (!bind_arguments(kCarveScopedSig, args, kwargs, argv)) return nullptr;
  if (!check_str(argv[0], "scope")) return nullptr;
  CarveArgs converted;
  if (!convert_carve_args(argv[1], argv[2], argv[3], &converted)) return nullptr;
  std::optional<CarveScope> scope;
  PyRef scope_bytes(PyUnicode_AsUTF8String(argv[0]));
  if (scope_bytes) {
    scope = parse_carve_scope(bytes_string(scope_bytes.get()));
  } else {
    PyErr_Clear();  // a lone surrogate: not one of the names
  }
  if (!scope) {
    PyErr_Format(PyExc_ValueError,
                 "Invalid scope: %U (expected: slack, all, tag_data, lv_all, lv_slack)", argv[0]);
    return nullptr;
  }
  EseDatabaseObject* obj = open_ese(self);
  if (obj == nullptr) return nullptr;
  return carve(obj, *scope, converted);
}

// ---- header and integrity ------------------------------------------------------

PyObject* get_header(PyObject* self, PyObject*) {
  EseDatabaseObject* obj = open_ese(self);
  if (obj == nullptr) return nullptr;
  SharedBorrow borrow(&obj->borrows);
  return header_to_python(header_facts(*obj->db), obj->db->total_pages(), TimeForm::Objects);
}

const char* const kCheckParams[] = {"table_name"};
const Signature kCheckSig = {"EseDatabase.check()", kCheckParams, 1, 0};

PyObject* check(PyObject* self, PyObject* args, PyObject* kwargs) {
  PyObject* argv[1];
  if (!bind_arguments(kCheckSig, args, kwargs, argv)) return nullptr;
  EseDatabaseObject* obj = open_ese(self);
  if (obj == nullptr) return nullptr;
  PyObject* table_name = argv[0];
  if (table_name != nullptr && !check_optional_str(table_name, "table_name")) return nullptr;
  const TableDef* only = nullptr;  // null: every tree
  if (table_name != nullptr && table_name != Py_None) {
    std::string name;
    if (!table_name_utf8(table_name, &name)) return nullptr;
    auto found = obj->db->table(name);
    if (!found.ok()) return table_not_found(table_name);
    only = *found;
  }
  SharedBorrow borrow(&obj->borrows);
  IntegrityReport report;
  // The pass reads only the mapping: other threads run meanwhile.
  Py_BEGIN_ALLOW_THREADS
  report = check_integrity(*obj->db, only);
  Py_END_ALLOW_THREADS
  return report_to_python(report, obj->db->total_pages());
}

// ---- context manager ----------------------------------------------------------

const char* const kExitParams[] = {"_exc_type", "_exc_value", "_traceback"};
const Signature kExitSig = {"EseDatabase.__exit__()", kExitParams, 3, 3};

PyObject* ese_enter(PyObject* self, PyObject*) {
  if (open_ese(self) == nullptr) return nullptr;
  return new_ref(self);
}

// Closes the instance: refused while any call holds it (an export or carve
// running on another thread, a stream building a batch), fine when closed.
PyObject* ese_close(PyObject* self, PyObject*) {
  if (as_ese(self)->borrows != 0) return set_error(PyExc_RuntimeError, "Already borrowed");
  release_database(as_ese(self));
  Py_RETURN_NONE;
}

PyObject* ese_exit(PyObject* self, PyObject* args, PyObject* kwargs) {
  PyObject* argv[3];
  if (!bind_arguments(kExitSig, args, kwargs, argv)) return nullptr;
  PyRef closed(ese_close(self, nullptr));
  if (!closed) return nullptr;
  Py_RETURN_FALSE;
}

// ---- type definition -----------------------------------------------------------

constexpr int kKw = METH_VARARGS | METH_KEYWORDS;

PyMethodDef kMethods[] = {
    {"get_tables", as_cfunction(get_tables), METH_NOARGS,
     "get_tables($self)\n--\n\n"
     "Get a list of all table names in the database.\n\n"
     "Returns:\n    list[str]: List of table names"},
    {"read_table", as_cfunction(read_table), kKw,
     "read_table($self, table_name)\n--\n\n"
     "Read all records from a table.\n\n"
     "Args:\n    table_name: Name of the table to read\n\n"
     "Returns:\n    list[dict]: List of records as dictionaries\n\n"
     "Raises:\n    ValueError: If the table doesn't exist\n"
     "    IOError: If there's an error reading the table"},
    {"get_table_schema", as_cfunction(get_table_schema), kKw,
     "get_table_schema($self, table_name)\n--\n\n"
     "Get the schema (columns) for a table.\n\n"
     "Args:\n    table_name: Name of the table\n\n"
     "Returns:\n    list[dict]: List of column information with 'name', 'type', 'id'\n\n"
     "Raises:\n    ValueError: If the table doesn't exist"},
    {"export_table", as_cfunction(export_table), kKw,
     "export_table($self, table_name, output_path)\n--\n\n"
     "Export a table to JSONL format.\n\n"
     "Args:\n    table_name: Name of the table to export\n"
     "    output_path: Path to the output JSONL file\n\n"
     "Raises:\n    ValueError: If the table doesn't exist\n"
     "    IOError: If there's an error writing the file"},
    {"carve_utf16le_strings", as_cfunction(carve_utf16le_strings), kKw,
     "carve_utf16le_strings($self, needle=None, min_chars=6, max_hits=1000)\n--\n\n"},
    {"carve_utf16le_strings_scoped", as_cfunction(carve_utf16le_strings_scoped), kKw,
     "carve_utf16le_strings_scoped($self, scope, needle=None, min_chars=6, max_hits=1000)\n--\n\n"},
    {"export_all", as_cfunction(export_all), kKw,
     "export_all($self, output_dir)\n--\n\n"
     "Export all tables to JSONL files in a directory.\n\n"
     "Args:\n    output_dir: Directory to write JSONL files to\n\n"
     "Raises:\n    IOError: If there's an error creating the directory or writing files"},
    {"__enter__", as_cfunction(ese_enter), METH_NOARGS,
     "__enter__($self)\n--\n\nContext manager support: enter"},
    {"__exit__", as_cfunction(ese_exit), kKw,
     "__exit__($self, _exc_type, _exc_value, _traceback)\n--\n\nContext manager support: exit"},
    {"close", as_cfunction(ese_close), METH_NOARGS,
     "close($self)\n--\n\n"
     "Close the database: release the mapping, the buffer or the file object.\n\n"
     "Any later use, and the next step of an open iterator or stream,\n"
     "raises ValueError; closing again does nothing.\n\n"
     "Raises:\n    RuntimeError: If a call is using the database on another thread"},
    // Streaming and decoded views, after the raw methods.
    {"iter_table", as_cfunction(iter_table), kKw, kIterTableDoc},
    {"_view_rows", as_cfunction(view_rows), kKw,
     "_view_rows($self, table_name, columns, outputs, key_prefix, key_column, batch_size=0,\n"
     "           where=None)\n"
     "--\n\n"
     "The rows of an artefact view, made from the decoded records of the\n"
     "table's `columns` (internal: see quarlet.artifacts)."},
    {"export_table_decoded", as_cfunction(export_table_decoded), kKw,
     "export_table_decoded($self, table_name, output_path)\n--\n\n"
     "Export a table to JSONL format with decoded values.\n\n"
     "Like export_table, with the values iter_table(..., decode=True) gives:\n"
     "decompressed and decoded text, multi-valued columns as JSON arrays,\n"
     "DateTime values as ISO 8601 text in UTC (\"2024-01-31T12:00:00+00:00\"),\n"
     "text without trailing U+0000, catalog defaults for columns a record\n"
     "does not hold.\n\n"
     "Args:\n    table_name: Name of the table to export\n"
     "    output_path: Path to the output JSONL file\n\n"
     "Raises:\n    ValueError: If the table doesn't exist\n"
     "    IOError: If there's an error writing the file"},
    {"export_table_csv", as_cfunction(export_table_csv), kKw,
     "export_table_csv($self, table_name, output_path, decode=False, excel_safe=False)\n--\n\n"
     "Export a table to CSV (RFC 4180).\n\n"
     "A header row of the column names, then one row per record, CRLF line\n"
     "ends; cells quoted when they hold a comma, a quote or a line break.\n"
     "Cells: empty for None, true/false, numbers as Python writes them,\n"
     "bytes as lowercase hex, text as it is (without trailing U+0000, and\n"
     "any other U+0000 as U+FFFD: a cell never holds a NUL byte); with\n"
     "decode, the values of iter_table(..., decode=True), dates as ISO 8601\n"
     "in UTC (\"2024-01-31T12:00:00+00:00\") and multi-valued columns as\n"
     "JSON arrays.\n\n"
     "Args:\n    table_name: Name of the table to export\n"
     "    output_path: Path to the output CSV file\n"
     "    decode: Taken by its truth value: the decoded view\n"
     "    excel_safe: Taken by its truth value: a text cell starting with =,\n"
     "        +, -, @, tab or carriage return gets a leading '\n\n"
     "Raises:\n    ValueError: If the table doesn't exist\n"
     "    IOError: If there's an error reading the table or writing the file"},
    {"export_all_decoded", as_cfunction(export_all_decoded), kKw,
     "export_all_decoded($self, output_dir)\n--\n\n"
     "Export all tables to JSONL files in a directory, with decoded values.\n\n"
     "Like export_all (same file names), with the values of\n"
     "export_table_decoded.\n\n"
     "Args:\n    output_dir: Directory to write JSONL files to\n\n"
     "Raises:\n    IOError: If there's an error creating the directory or writing files"},
    // The examiner's view of the file: header facts and integrity.
    {"get_header", as_cfunction(get_header), METH_NOARGS,
     "get_header($self)\n--\n\n"
     "Get the facts of the database header.\n\n"
     "Reads the header and its shadow copy only. Times are naive UTC\n"
     "datetime.datetime objects, None when not set; a time that is set but\n"
     "no real date is None and its 8 stored bytes are in 'invalid_times'.\n"
     "'state' is the text of the state ('clean shutdown', 'dirty shutdown',\n"
     "...) or the number when it has none.\n\n"
     "Returns:\n    dict: Header facts (see the README for every key)"},
    {"check", as_cfunction(check), kKw,
     "check($self, table_name=None)\n--\n\n"
     "Check the integrity of the database file.\n\n"
     "Walks every tree (the catalog, each table's data, long-value and\n"
     "index trees; only those of table_name when given), counting pages,\n"
     "entries and anomalies (foreign pages, stale links, orphan leaves,\n"
     "unreadable pages, impossible records on torn pages), and judges every\n"
     "page's checksum, reading each page about once. Damage is reported,\n"
     "never raised. The result holds only dicts, lists, str, int, bool and\n"
     "None, so json.dumps takes it; header times are ISO 8601 text.\n\n"
     "Args:\n    table_name: Check only the trees of this table (default: all)\n\n"
     "Returns:\n    dict: The report, keys 'header', 'pages' and 'trees'\n\n"
     "Raises:\n    ValueError: If the table doesn't exist"},
    // Recovery of deleted records.
    {"recover", as_cfunction(recover), kKw, kRecoverDoc},
    // Columnar output.
    {"arrow", as_cfunction(arrow), kKw, kArrowDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kGetSet[] = {
    {"closed", get_closed, nullptr,
     "Whether the database has been closed.\n\nReturns:\n    bool: True after close()",
     nullptr},
    {"path", get_path, nullptr,
     "Get the path to the database file.\n\nReturns:\n    str: Path to the database file",
     nullptr},
    {"page_size", get_page_size, nullptr,
     "Get the database page size.\n\nReturns:\n    int: Page size in bytes", nullptr},
    {"total_pages", get_total_pages, nullptr,
     "Get the total number of pages in the database.\n\nReturns:\n    int: Total number of pages",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const char kClassDoc[] =
    "EseDatabase(path)\n--\n\n"
    "Python wrapper for ESE database.\n\n"
    "This class provides access to Microsoft ESE databases from Python.\n\n"
    "Example:\n"
    "    >>> from quarlet import EseDatabase\n"
    "    >>> db = EseDatabase(\"Current.mdb\")\n"
    "    >>> tables = db.get_tables()\n"
    "    >>> records = db.read_table(\"MSysObjects\")";

PyType_Slot kSlots[] = {
    {Py_tp_new, as_slot(ese_new)},
    {Py_tp_dealloc, as_slot(ese_dealloc)},
    {Py_tp_repr, as_slot(ese_repr)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetSet},
    {Py_tp_doc, const_cast<char*>(kClassDoc)},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "quarlet.EseDatabase",
    static_cast<int>(sizeof(EseDatabaseObject)),
    0,
    Py_TPFLAGS_DEFAULT,
    kSlots,
};

}  // namespace

PyObject* create_ese_database_type() { return PyType_FromSpec(&kSpec); }

bool database_open(PyObject* owner) { return open_ese(owner) != nullptr; }

std::shared_ptr<const Database> shared_database(PyObject* owner) {
  EseDatabaseObject* obj = open_ese(owner);
  if (obj == nullptr) return nullptr;
  return *obj->held;
}

}  // namespace quarlet::py
