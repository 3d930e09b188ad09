// What EseDatabase opens: a path (str, bytes, os.PathLike), an object with
// the buffer protocol (read in place, kept alive), or a binary file object
// (mapped when it is a regular file on disk, otherwise read on demand).
#pragma once

#include <memory>
#include <string>

#include "python/capi.hpp"
#include "python/convert.hpp"
#include "source/file_bytes.hpp"

namespace quarlet::py {

// A source the constructor was given.
struct Source {
  bool is_path = false;               // a file-system path: `fs`, else `file`
  bool fs_usable = false;             // the path could be encoded (else it names nothing)
  std::string fs;                     // the path's file-system bytes
  PyRef path;                         // the `path` attribute (str or None): the path, the object's name
  std::unique_ptr<FileBytes> file;    // the bytes of a buffer or file object
};

// Classifies `source` and, for a buffer or file object, takes its bytes.
// False with an exception set: TypeError naming argument 'path' for an
// object of no accepted kind, OSError "Failed to open database: ..." when
// a file object cannot be read.
bool open_source(PyObject* source, Source* out);

// _close_file_objects(): refuses every use of a file object from now on and
// waits for those under way; run when the interpreter starts to exit
// (registered with atexit), before it ends the threads still running.
PyObject* close_file_objects(PyObject* module, PyObject* unused);

}  // namespace quarlet::py
