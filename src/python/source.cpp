// Database sources beside paths: buffers read in place, and file objects
// read through their readinto/read and seek methods with the interpreter
// lock, from any thread.
#include "python/source.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <utility>

#include "python/args.hpp"
#include "source/mapped_file.hpp"
#include "source/spill_file.hpp"

// The buffer protocol is in the limited API from 3.11 on; the interpreters
// before it export the same functions with the same structure.
#if !defined(Py_LIMITED_API) || Py_LIMITED_API + 0 >= 0x030B0000
using BufferView = Py_buffer;
#else
extern "C" {
struct BufferView {
  void* buf;
  PyObject* obj;
  Py_ssize_t len;
  Py_ssize_t itemsize;
  int readonly;
  int ndim;
  char* format;
  Py_ssize_t* shape;
  Py_ssize_t* strides;
  Py_ssize_t* suboffsets;
  void* internal;
};
int PyObject_GetBuffer(PyObject* exporter, BufferView* view, int flags);
void PyBuffer_Release(BufferView* view);
}
#endif

#ifndef PyBUF_WRITE
#define PyBUF_WRITE 0x200
#endif

namespace quarlet::py {

namespace {

// A thread that takes the interpreter lock back while the interpreter is
// being finalised is ended abruptly, its frames unwound and their objects'
// references let go of without the lock. So from the interpreter's exit on
// (close, run by atexit, before the finalisation) no thread uses a file
// object: a use is refused, and those under way are waited for. A use may
// let go of the lock (to wait, to write, in the object's own calls), and
// the threads of the module's own (those of arrow(), the reads ahead) take
// it for every use. A source's objects are let go of (which takes the lock)
// until those uses have ended, and left as they are after that.
class ExitGate {
 public:
  // A use of a file object.
  bool enter() { return enter_unless(closing_); }
  // Letting go of a source's objects, which takes the lock: refused only
  // once nothing else can be inside (the references are then left).
  bool enter_late() { return enter_unless(closed_); }
  void leave() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      --inside_;
    }
    left_.notify_all();
  }
  // Called without the interpreter lock. A use that does not end within
  // kPatience (an object whose read hangs) is given up on, so that the
  // exit goes on.
  void close() {
    constexpr std::chrono::seconds kPatience{5};
    std::unique_lock<std::mutex> lock(mutex_);
    closing_ = true;
    (void)left_.wait_for(lock, kPatience, [&] { return inside_ == 0; });
    closed_ = true;
  }

 private:
  bool enter_unless(bool refused) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (refused) return false;
    ++inside_;
    return true;
  }

  std::mutex mutex_;
  std::condition_variable left_;
  bool closing_ = false;
  bool closed_ = false;
  int inside_ = 0;
};

ExitGate& exit_gate() {
  static ExitGate* gate = new ExitGate();  // never freed: threads may use it late
  return *gate;
}

Status exiting() { return EseError::io_text("the interpreter is exiting"); }

// Runs `work` with the interpreter lock, as letting go of a source's
// objects does; false, without running it, once the interpreter has exited.
bool with_lock_late(const std::function<void()>& work) {
  if (!Py_IsInitialized() || !exit_gate().enter_late()) return false;
  PyGILState_STATE gil = PyGILState_Ensure();
  work();
  PyGILState_Release(gil);
  exit_gate().leave();
  return true;
}

// Runs `work`; an exception it throws for want of memory becomes an error.
// A thread the interpreter ends as it exits is unwound through here: that
// unwinding is let through, not taken for an error.
Status guarded(const std::function<Status()>& work) {
  try {
    return work();
#if defined(__GLIBCXX__)
  } catch (abi::__forced_unwind&) {
    throw;
#endif
  } catch (...) {
    return EseError::io_os(ENOMEM);
  }
}

constexpr int kBufferSimple = 0;  // PyBUF_SIMPLE: contiguous bytes, read-only is fine

// The bytes of an object with the buffer protocol, in place. The exported
// buffer keeps the object alive and unresizable while the database lives.
class BufferBytes final : public FileBytes {
 public:
  explicit BufferBytes(const BufferView& view) : view_(view) {}
  ~BufferBytes() override {
    // Once the interpreter has exited, the buffer is left exported.
    (void)with_lock_late([&] { PyBuffer_Release(&view_); });
  }
  uint64_t size() const override { return static_cast<uint64_t>(view_.len); }
  ByteView bytes() const override {
    return {static_cast<const uint8_t*>(view_.buf), static_cast<size_t>(view_.len)};
  }

 private:
  BufferView view_;
};

// Reads a Python binary file object: seek, then readinto (or read). Python
// runs with the interpreter lock; the object is used by one fill at a time
// (its position is shared state), so a fill holds `busy_`. A thread never
// waits for `busy_` while it holds the interpreter lock: a fill that is
// under way may need the lock back (the object's I/O releases it), so
// waiting with it would deadlock.
class PyFileReader final : public ChunkReader {
 public:
  // `file` is a strong reference taken over; `position` where the stream
  // stands (-1: unknown, seek first).
  PyFileReader(PyObject* file, bool readinto, int64_t position)
      : file_(file), readinto_(readinto), position_(position) {}
  ~PyFileReader() override {
    // Once the interpreter has exited, the reference is left.
    if (!with_lock_late([&] { file_ = PyRef(); })) (void)file_.release();
  }

  Status exclusive(const std::function<Status()>& fill) override { return hold(fill, false); }

  // Called inside exclusive, with the interpreter lock held: `work` runs
  // without it, and the reader stays held.
  Status aside(const std::function<Status()>& work) override {
    PyThreadState* saved = PyEval_SaveThread();
    Status status = guarded(work);
    PyEval_RestoreThread(saved);
    return status;
  }

  // A fetch ahead takes the interpreter lock, which a caller that holds it
  // (a pass building Python objects) lets go of only when it waits.
  bool lets_ahead() override { return !caller_held_lock_; }

  Status ahead(const std::function<Status()>& fill) override { return hold(fill, true); }

  void outside(const std::function<void()>& wait) override {
    // Once the interpreter has exited, no thread takes the lock any more.
    const bool waited = with_lock_late([&] {
      PyThreadState* saved = PyEval_SaveThread();
      wait();
      PyEval_RestoreThread(saved);
    });
    if (!waited) wait();
  }

  Result<size_t> read_at(uint64_t offset, uint8_t* out, size_t length) override {
    if (position_ < 0 || static_cast<uint64_t>(position_) != offset) {
      position_ = -1;
      PyRef moved(PyObject_CallMethod(file_.get(), "seek", "K",
                                      static_cast<unsigned long long>(offset)));
      if (!moved) return EseError::io_text(take_exception_text());
      position_ = static_cast<int64_t>(offset);
    }
    size_t got = 0;
    if (readinto_) {
      PyRef view(PyMemoryView_FromMemory(reinterpret_cast<char*>(out),
                                         static_cast<Py_ssize_t>(length), PyBUF_WRITE));
      if (!view) return EseError::io_text(take_exception_text());
      PyRef n(PyObject_CallMethod(file_.get(), "readinto", "O", view.get()));
      const std::string failure = n ? std::string() : take_exception_text();
      // The view is let go so that nothing writes through it later.
      PyRef released(PyObject_CallMethod(view.get(), "release", nullptr));
      if (!released) PyErr_Clear();
      if (!n) {
        position_ = -1;
        return EseError::io_text(failure);
      }
      const long long count = n.get() == Py_None ? -1 : PyLong_AsLongLong(n.get());
      if (count < 0 || static_cast<unsigned long long>(count) > length) {
        PyErr_Clear();
        position_ = -1;
        return EseError::io_text("readinto returned " + std::to_string(count) + " for " +
                                 std::to_string(length) + " bytes");
      }
      got = static_cast<size_t>(count);
    } else {
      PyRef data(PyObject_CallMethod(file_.get(), "read", "n", static_cast<Py_ssize_t>(length)));
      if (!data) {
        position_ = -1;
        return EseError::io_text(take_exception_text());
      }
      char* bytes = nullptr;
      Py_ssize_t size = 0;
      if (!PyBytes_Check(data.get()) || PyBytes_AsStringAndSize(data.get(), &bytes, &size) != 0 ||
          static_cast<size_t>(size) > length) {
        PyErr_Clear();
        position_ = -1;
        return EseError::io_text("read did not return bytes of at most " +
                                 std::to_string(length));
      }
      std::memcpy(out, bytes, static_cast<size_t>(size));
      got = static_cast<size_t>(size);
    }
    position_ += static_cast<int64_t>(got);
    return got;
  }

 private:
  // Runs `fill` with the interpreter lock and the object held, unless the
  // interpreter is exiting.
  Status hold(const std::function<Status()>& fill, bool ahead) {
    if (!exit_gate().enter()) return exiting();
    Status status = hold_object(fill, ahead);
    exit_gate().leave();
    return status;
  }

  // A fetch ahead holds the object only while it holds the interpreter
  // lock too: it never waits for that lock with the object held, so a
  // thread that forks (holding the lock) never leaves the object held in
  // the child.
  Status hold_object(const std::function<Status()>& fill, bool ahead) {
    PyGILState_STATE gil = PyGILState_Ensure();
    while (!busy_.try_lock()) {
      PyThreadState* saved = PyEval_SaveThread();
      if (!ahead) {
        busy_.lock();
        PyEval_RestoreThread(saved);
        break;
      }
      { std::lock_guard<std::mutex> passing(busy_); }  // the fill under way ends
      PyEval_RestoreThread(saved);
    }
    std::unique_lock<std::mutex> held(busy_, std::adopt_lock);
    caller_held_lock_ = gil == PyGILState_LOCKED;
    // An exception the caller has pending is kept aside.
    PyObject *type = nullptr, *value = nullptr, *trace = nullptr;
    PyErr_Fetch(&type, &value, &trace);
    Status status = guarded(fill);
    if (PyErr_Occurred() != nullptr) PyErr_Clear();
    PyErr_Restore(type, value, trace);
    held.unlock();
    PyGILState_Release(gil);
    return status;
  }

  PyRef file_;
  bool readinto_;
  int64_t position_;  // the stream's position as last left, -1 unknown
  std::mutex busy_;   // held by the fill under way
  bool caller_held_lock_ = false;  // whether that fill's caller held the interpreter lock
};

// Whether `obj` is an instance of io.<name>.
bool is_io(PyObject* obj, PyObject* io, const char* name) {
  PyRef type(PyObject_GetAttrString(io, name));
  if (!type) {
    PyErr_Clear();
    return false;
  }
  const int is = PyObject_IsInstance(obj, type.get());
  if (is < 0) PyErr_Clear();
  return is > 0;
}

// A duplicate of the descriptor of a file object whose bytes are those of
// a regular file on disk (io.FileIO, or a buffered reader straight over
// one), else -1. Wrappers that only expose a descriptor (a gzip stream
// gives the compressed file's) do not qualify.
int regular_descriptor(PyObject* obj) {
  PyRef io(PyImport_ImportModule("io"));
  if (!io) {
    PyErr_Clear();
    return -1;
  }
  bool direct = is_io(obj, io.get(), "FileIO");
  if (!direct && (is_io(obj, io.get(), "BufferedReader") || is_io(obj, io.get(), "BufferedRandom"))) {
    PyRef raw(PyObject_GetAttrString(obj, "raw"));
    if (!raw) PyErr_Clear();
    direct = raw && is_io(raw.get(), io.get(), "FileIO");
  }
  if (!direct) return -1;
  PyRef fileno(PyObject_CallMethod(obj, "fileno", nullptr));
  if (!fileno) {
    PyErr_Clear();
    return -1;
  }
  const long fd = PyLong_AsLong(fileno.get());
  if (fd < 0) {
    PyErr_Clear();
    return -1;
  }
  struct stat st;
  if (::fstat(static_cast<int>(fd), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
  return ::fcntl(static_cast<int>(fd), F_DUPFD_CLOEXEC, 0);
}

// The length of a seekable stream (seek to its end), or -1 when it cannot
// tell (no seek, or no seek from the end, as in gzip streams).
int64_t stream_length(PyObject* obj) {
  PyRef end(PyObject_CallMethod(obj, "seek", "ii", 0, 2));
  if (!end) {
    PyErr_Clear();
    return -1;
  }
  PyRef at(PyObject_CallMethod(obj, "tell", nullptr));
  if (!at) {
    PyErr_Clear();
    return -1;
  }
  const long long n = PyLong_AsLongLong(at.get());
  if (n < 0) {
    PyErr_Clear();
    return -1;
  }
  return n;
}

// The directory for temporary files, as Python's tempfile module has it.
std::string temporary_directory() {
  PyRef tempfile(PyImport_ImportModule("tempfile"));
  PyRef dir(tempfile ? PyObject_CallMethod(tempfile.get(), "gettempdir", nullptr) : nullptr);
  PyRef bytes(dir ? PyUnicode_EncodeFSDefault(dir.get()) : nullptr);
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (!bytes || PyBytes_AsStringAndSize(bytes.get(), &data, &size) != 0) {
    PyErr_Clear();
    return "/tmp";
  }
  return std::string(data, static_cast<size_t>(size));
}

bool has_attr(PyObject* obj, const char* name) {
  const int has = PyObject_HasAttrString(obj, name);
  return has > 0;
}

// A path or name as str: bytes decoded as os.fsdecode does. New reference.
PyObject* as_text(PyObject* name) {
  if (!PyBytes_Check(name)) {
    Py_INCREF(name);
    return name;
  }
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(name, &data, &size) != 0) return nullptr;
  return PyUnicode_DecodeFSDefaultAndSize(data, size);
}

// The file object's `name` as str when it is non-empty text or bytes,
// else None.
PyObject* object_name(PyObject* obj) {
  PyRef name(PyObject_GetAttrString(obj, "name"));
  if (!name) PyErr_Clear();
  if (name && (PyUnicode_Check(name.get()) || PyBytes_Check(name.get()))) {
    PyRef text(as_text(name.get()));
    if (!text) PyErr_Clear();
    if (text && PyUnicode_GetLength(text.get()) > 0) return text.release();
  }
  Py_RETURN_NONE;
}

bool open_failed(const EseError& error) {
  set_error(PyExc_OSError, "Failed to open database: " + message(error));
  return false;
}

// Opens a binary file object: mapped when it is a regular file, else read
// on demand into a temporary file (read through at once when its length
// cannot be found).
bool open_file_object(PyObject* obj, Source* out) {
  out->path.reset(object_name(obj));
  const int fd = regular_descriptor(obj);
  if (fd >= 0) {
    auto mapped = MappedFile::map_descriptor(fd);
    if (!mapped) return open_failed(mapped.error());
    out->file = std::move(*mapped);
    return true;
  }
  const bool readinto = has_attr(obj, "readinto");
  const std::string directory = temporary_directory();
  const int64_t length = has_attr(obj, "seek") ? stream_length(obj) : -1;
  Py_INCREF(obj);
  if (length >= 0) {
    auto reader = std::make_unique<PyFileReader>(obj, readinto, -1);
    auto spill = SpillFile::open(std::move(reader), static_cast<uint64_t>(length), directory);
    if (!spill) return open_failed(spill.error());
    out->file = std::move(*spill);
    return true;
  }
  // No length: from the start when the stream can go there, else from
  // where it stands. The read holds the interpreter lock only for the
  // object's own calls.
  PyRef start(PyObject_CallMethod(obj, "seek", "i", 0));
  if (!start) PyErr_Clear();
  auto reader = std::make_unique<PyFileReader>(obj, readinto, 0);
  Result<std::unique_ptr<SpillFile>> spill = EseError::io_os(EINVAL);
  Py_BEGIN_ALLOW_THREADS
  spill = SpillFile::read_through(std::move(reader), directory);
  Py_END_ALLOW_THREADS
  if (!spill) return open_failed(spill.error());
  out->file = std::move(*spill);
  return true;
}

// The file-system bytes of a path given as str or bytes; false when it
// cannot name a file (not encodable, or an embedded NUL).
bool path_bytes(PyObject* path, std::string* out) {
  PyRef bytes;
  if (PyUnicode_Check(path)) {
    bytes.reset(PyUnicode_EncodeFSDefault(path));
  } else {
    Py_INCREF(path);
    bytes.reset(path);
  }
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (!bytes || PyBytes_AsStringAndSize(bytes.get(), &data, &size) != 0) {
    PyErr_Clear();
    return false;
  }
  out->assign(data, static_cast<size_t>(size));
  return out->find('\0') == std::string::npos;
}

// A bytes object is the database itself when no path could be that long or
// hold a NUL byte; a shorter one without NUL is a path.
bool bytes_is_content(PyObject* bytes) {
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(bytes, &data, &size) != 0) {
    PyErr_Clear();
    return false;
  }
  return size >= 4096 || std::memchr(data, 0, static_cast<size_t>(size)) != nullptr;
}

bool take_path(PyObject* path, Source* out) {
  out->is_path = true;
  out->path.reset(as_text(path));
  if (!out->path) return false;
  out->fs_usable = path_bytes(path, &out->fs);
  return true;
}

}  // namespace

PyObject* close_file_objects(PyObject*, PyObject*) {
  Py_BEGIN_ALLOW_THREADS
  exit_gate().close();
  Py_END_ALLOW_THREADS
  Py_RETURN_NONE;
}

bool open_source(PyObject* source, Source* out) {
  if (PyUnicode_Check(source)) return take_path(source, out);
  if (PyBytes_Check(source) && !bytes_is_content(source)) return take_path(source, out);
  if (!PyBytes_Check(source) && has_attr(source, "__fspath__")) {
    PyRef path(PyOS_FSPath(source));
    if (!path) return false;
    return take_path(path.get(), out);
  }
  BufferView view;
  if (PyObject_GetBuffer(source, &view, kBufferSimple) == 0) {
    out->file = std::make_unique<BufferBytes>(view);
    Py_INCREF(Py_None);
    out->path.reset(Py_None);
    return true;
  }
  PyErr_Clear();
  if (has_attr(source, "readinto") || has_attr(source, "read")) {
    return open_file_object(source, out);
  }
  return check_str(source, "path");  // the TypeError of a path of the wrong type
}

}  // namespace quarlet::py
