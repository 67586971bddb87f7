// Auditing many or large ledgers: the chain walk with its seals checked on
// several threads, and the walk over a Python binary stream read in chunks.
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "core/ledger/chain.h"
#include "core/ledger/ledger.h"
#include "core/ledger/parallel_read.h"
#include "module/args.h"
#include "module/errors.h"
#include "module/gil.h"
#include "module/ledger/reading.h"
#include "module/ledger/verify.h"
#include "module/module.h"
#include "module/native.h"

namespace tallyvox::py {

namespace {

// More threads than this cannot help on any machine the walk runs on.
constexpr std::uint64_t kMaxJobs = 256;
constexpr Py_ssize_t kChunk = 65536;

// The references below are held across `without_gil`: on a thread that
// the interpreter ends there, they are left to leak (see module/gil.h).
struct Unref {
  void operator()(PyObject* obj) const {
    if (!thread_is_ending()) Py_XDECREF(obj);
  }
};
using Ref = std::unique_ptr<PyObject, Unref>;

struct BufferRelease {
  void operator()(Py_buffer* view) const {
    if (!thread_is_ending()) PyBuffer_Release(view);
  }
};

PyObject* verify_file_jobs(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    static const char* const positional[] = {"path", "jobs", "max_line_bytes"};
    static const Signature sig{"verify_file_jobs()", positional, 3, 2, nullptr, 0};
    return walk_file_jobs(sig, args, nargs, kwnames, nullptr);
  });
}

// Feeds one chunk that read() returned to the reader, without the GIL.
// Returns 1 when fed, 0 at the end of the stream, -1 with an exception set.
int feed_chunk(PyObject* chunk, LedgerReader& reader, std::optional<LedgerError>& failed) {
  if (PyUnicode_Check(chunk) || PyObject_CheckBuffer(chunk) == 0) {
    PyErr_Format(PyExc_TypeError, "fileobj.read() must return bytes, not %s",
                 type_name(chunk).c_str());
    return -1;
  }
  Py_buffer view;
  if (PyObject_GetBuffer(chunk, &view, PyBUF_SIMPLE) < 0) return -1;
  std::unique_ptr<Py_buffer, BufferRelease> held(&view);
  if (view.len == 0) return 0;
  std::string_view bytes(static_cast<const char*>(view.buf), static_cast<std::size_t>(view.len));
  auto fed = without_gil([&] { return reader.feed(bytes); });
  if (!fed) failed = std::move(fed.error());
  return 1;
}

PyObject* verify_stream(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    static const char* const positional[] = {"fileobj", "max_line_bytes"};
    static const Signature sig{"verify_stream()", positional, 2, 1, nullptr, 0};
    PyObject* a[2];
    std::size_t limit = 0;
    if (!bind(sig, args, nargs, kwnames, a) || !arg_max_line_bytes(a[1], &limit)) return nullptr;
    Ref read(PyObject_GetAttrString(a[0], "read"));
    Ref size(PyLong_FromSsize_t(kChunk));
    if (read == nullptr || size == nullptr) return nullptr;
    ChainWalk walk;
    // A named function: the reader may keep a reference to it.
    std::function<void(SignedEvent&&)> on_record = [&](SignedEvent&& record) { walk.add(record); };
    LedgerReader reader(on_record, limit);
    std::optional<LedgerError> failed;
    for (int fed = 1; fed == 1 && !failed;) {
      // The handlers run between chunks, so Ctrl-C stops an endless stream.
      if (PyErr_CheckSignals() < 0) return nullptr;
      Ref chunk(PyObject_CallFunctionObjArgs(read.get(), size.get(), nullptr));
      if (chunk == nullptr) return nullptr;
      fed = feed_chunk(chunk.get(), reader, failed);
      if (fed < 0) return nullptr;
    }
    if (!failed) {
      if (auto finished = reader.finish(); !finished) failed = std::move(finished.error());
    }
    if (failed) return raise_walk_error(*failed);
    return new_chain_report_object(std::move(walk).finish());
  });
}

PyObject* usable_cores_py(PyObject*, PyObject*) { return PyLong_FromUnsignedLong(usable_cores()); }

PyMethodDef functions[] = {
    {"usable_cores", usable_cores_py, METH_NOARGS,
     "usable_cores()\n--\n\nThe cores this process may run on (its CPU affinity): the threads "
     "that the\ncheckpoint functions walk with, and the default of --jobs."},
    {"verify_file_jobs", fastcall<verify_file_jobs>(), METH_FASTCALL | METH_KEYWORDS,
     "verify_file_jobs(path, jobs, max_line_bytes=None)\n--\n\nverify_file with the hashes and "
     "signatures checked on `jobs` threads; the\nsame report."},
    {"verify_stream", fastcall<verify_stream>(), METH_FASTCALL | METH_KEYWORDS,
     "verify_stream(fileobj, max_line_bytes=None)\n--\n\nVerify the ledger read from a binary "
     "file object, fileobj.read(65536) at a time."},
};

}  // namespace

bool arg_jobs(PyObject* obj, unsigned* out) {
  std::uint64_t jobs = 0;
  if (!arg_u64(obj, "jobs", &jobs)) return false;
  if (jobs == 0) {
    PyErr_SetString(PyExc_ValueError, "jobs must be at least 1");
    note_argument("jobs");
    return false;
  }
  *out = static_cast<unsigned>(jobs < kMaxJobs ? jobs : kMaxJobs);
  return true;
}

int add_fleet_native(PyObject* native) { return add_native_functions(native, functions); }

}  // namespace tallyvox::py
