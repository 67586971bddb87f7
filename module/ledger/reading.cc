#include "module/ledger/reading.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>

#include "core/ledger/parallel_read.h"
#include "module/args.h"
#include "module/errors.h"
#include "module/gil.h"
#include "module/module.h"
#include "module/native.h"

namespace tallyvox::py {

namespace {

std::atomic<std::size_t> max_line_bytes{kDefaultMaxLineBytes};

// Often enough that Ctrl-C feels immediate; rare enough that taking the GIL
// back costs nothing measurable, even when other threads hold it.
constexpr auto kSignalInterval = std::chrono::milliseconds(50);

bool on_main_thread() { return ::syscall(SYS_gettid) == ::getpid(); }

PyObject* set_max_line_bytes(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    static const char* const positional[] = {"limit"};
    static const Signature sig{"set_max_line_bytes()", positional, 1, 1, nullptr, 0};
    PyObject* a[1];
    std::size_t limit = 0;
    if (!bind(sig, args, nargs, kwnames, a)) return nullptr;
    if (a[0] == Py_None) {
      limit = kDefaultMaxLineBytes;
    } else if (!arg_max_line_bytes(a[0], &limit)) {
      return nullptr;
    }
    max_line_bytes.store(limit, std::memory_order_relaxed);
    Py_RETURN_NONE;
  });
}

PyObject* read_regular_file_py(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    static const char* const positional[] = {"path", "limit"};
    static const Signature sig{"read_regular_file()", positional, 2, 2, nullptr, 0};
    PyObject* a[2];
    std::string path;
    std::uint64_t limit = 0;
    if (!bind(sig, args, nargs, kwnames, a) || !arg_path(a[0], "path", &path) ||
        !arg_u64(a[1], "limit", &limit)) {
      return nullptr;
    }
    auto bytes = without_gil([&] { return read_regular_file(path, limit); });
    if (!bytes) return raise_os_error(bytes.error(), path);
    return PyBytes_FromStringAndSize(bytes->data(), static_cast<Py_ssize_t>(bytes->size()));
  });
}

PyMethodDef functions[] = {
    {"set_max_line_bytes", fastcall<set_max_line_bytes>(), METH_FASTCALL | METH_KEYWORDS,
     "set_max_line_bytes(limit)\n--\n\nThe longest ledger line that reads given no limit take "
     "(None: 64 MiB)."},
    {"read_regular_file", fastcall<read_regular_file_py>(), METH_FASTCALL | METH_KEYWORDS,
     "read_regular_file(path, limit)\n--\n\nUp to `limit` bytes of a regular file; a FIFO, "
     "device, socket or directory\nis refused (OSError) before it is read."},
};

}  // namespace

std::size_t default_max_line_bytes() { return max_line_bytes.load(std::memory_order_relaxed); }

bool arg_max_line_bytes(PyObject* obj, std::size_t* out) {
  if (obj == nullptr || obj == Py_None) {
    *out = default_max_line_bytes();
    return true;
  }
  std::uint64_t limit = 0;
  if (!arg_u64(obj, "max_line_bytes", &limit)) return false;
  if (limit == 0) {
    PyErr_SetString(PyExc_ValueError, "max_line_bytes must be at least 1");
    note_argument("max_line_bytes");
    return false;
  }
  *out = static_cast<std::size_t>(limit);
  return true;
}

KeepReading signal_check() {
  if (!on_main_thread()) return {};
  return [last = std::chrono::steady_clock::now()](bool signalled) mutable {
    auto now = std::chrono::steady_clock::now();
    if (!signalled && now - last < kSignalInterval) return true;
    last = now;
    PyThreadState* state = released_state();
    if (state == nullptr) return true;  // not inside without_gil: nothing to take back
    take_gil(state);
    int raised = PyErr_CheckSignals();
    set_released_state(PyEval_SaveThread());
    return raised == 0;
  };
}

PyObject* raise_os_error(const IoError& error, const std::string& path) {
  if (error.fixed != nullptr) {
    PyErr_SetString(PyExc_OSError, error.fixed);
    return nullptr;
  }
  PyObject* name = PyUnicode_DecodeFSDefaultAndSize(path.data(), static_cast<Py_ssize_t>(path.size()));
  if (name == nullptr) return nullptr;
  errno = error.code;
  PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, name);
  Py_DECREF(name);
  return nullptr;
}

ReadOptions read_options(std::size_t max_line_bytes) {
  return ReadOptions{max_line_bytes, signal_check()};
}

ReadOptions walk_options() {
  ReadOptions options = read_options();
  options.jobs = usable_cores();
  return options;
}

int add_reading_native(PyObject* native) { return add_native_functions(native, functions); }

}  // namespace tallyvox::py
