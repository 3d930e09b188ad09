// The Arrow C data interface and C stream interface: the three structs
// through which columnar data is handed between libraries in one process
// without copying, laid out exactly as Arrow's published ABI has them.
// The include guards are Arrow's own, so a program that also includes
// another copy of these declarations sees each struct once.
#pragma once

#include <cstdint>

extern "C" {

#ifndef ARROW_C_DATA_INTERFACE
#define ARROW_C_DATA_INTERFACE

#define ARROW_FLAG_DICTIONARY_ORDERED 1
#define ARROW_FLAG_NULLABLE 2
#define ARROW_FLAG_MAP_KEYS_SORTED 4

struct ArrowSchema {
  const char* format;    // type, as a format string ("i", "u", "+s", ...)
  const char* name;      // field name (UTF-8) or null
  const char* metadata;  // binary key/value metadata or null
  int64_t flags;         // ARROW_FLAG_*
  int64_t n_children;
  struct ArrowSchema** children;
  struct ArrowSchema* dictionary;
  void (*release)(struct ArrowSchema*);  // null once released
  void* private_data;
};

struct ArrowArray {
  int64_t length;
  int64_t null_count;
  int64_t offset;
  int64_t n_buffers;
  int64_t n_children;
  const void** buffers;
  struct ArrowArray** children;
  struct ArrowArray* dictionary;
  void (*release)(struct ArrowArray*);  // null once released
  void* private_data;
};

#endif  // ARROW_C_DATA_INTERFACE

#ifndef ARROW_C_STREAM_INTERFACE
#define ARROW_C_STREAM_INTERFACE

struct ArrowArrayStream {
  // 0 with the stream's schema in *out, or an errno value.
  int (*get_schema)(struct ArrowArrayStream*, struct ArrowSchema* out);
  // 0 with the next batch in *out (out->release null at the end), or an
  // errno value; get_last_error then describes it.
  int (*get_next)(struct ArrowArrayStream*, struct ArrowArray* out);
  const char* (*get_last_error)(struct ArrowArrayStream*);
  void (*release)(struct ArrowArrayStream*);  // null once released
  void* private_data;
};

#endif  // ARROW_C_STREAM_INTERFACE

}  // extern "C"
