// recover_ledger and verify_kept_lines: taking a torn final line aside, and
// judging the events before it, from Python.
#include <functional>
#include <string>
#include <utility>

#include "core/ledger/chain.h"
#include "core/ledger/recover.h"
#include "module/args.h"
#include "module/errors.h"
#include "module/gil.h"
#include "module/ledger/reading.h"
#include "module/ledger/verify.h"
#include "module/module.h"
#include "module/native.h"

namespace tallyvox::py {

namespace {

bool bind_path(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
               std::string* path) {
  PyObject* a[1];
  return bind(sig, args, nargs, kwnames, a) && arg_path(a[0], "path", path);
}

PyObject* fs_text(const std::string& path) {
  return PyUnicode_DecodeFSDefaultAndSize(path.data(), static_cast<Py_ssize_t>(path.size()));
}

PyObject* recover_ledger_py(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    static const char* const positional[] = {"path"};
    static const Signature sig{"recover_ledger()", positional, 1, 1, nullptr, 0};
    std::string path;
    if (!bind_path(sig, args, nargs, kwnames, &path)) return nullptr;
    auto done = without_gil([&] { return recover_ledger(path); });
    if (!done) return raise_ledger_error(display(done.error()));
    PyObject* torn = done->torn_path.empty() ? Py_NewRef(Py_None) : fs_text(done->torn_path);
    if (torn == nullptr) return nullptr;
    return Py_BuildValue("(KKKN)", static_cast<unsigned long long>(done->kept_records),
                         static_cast<unsigned long long>(done->kept_bytes),
                         static_cast<unsigned long long>(done->removed_bytes), torn);
  });
}

PyObject* verify_kept_lines_py(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    static const char* const positional[] = {"path"};
    static const Signature sig{"verify_kept_lines()", positional, 1, 1, nullptr, 0};
    std::string path;
    if (!bind_path(sig, args, nargs, kwnames, &path)) return nullptr;
    ChainWalk walk;
    std::function<void(SignedEvent&&)> add = [&](SignedEvent&& r) { walk.add(r); };
    ReadOptions options = read_options();
    auto scan = without_gil([&] { return scan_ledger(path, add, options); });
    if (!scan) return handler_raised() ? nullptr : raise_ledger_error(display(scan.error()));
    PyObject* report = new_chain_report_object(std::move(walk).finish());
    if (report == nullptr) return nullptr;
    return Py_BuildValue("(NK)", report, static_cast<unsigned long long>(scan->torn.size()));
  });
}

PyMethodDef recover_defs[] = {
    {"recover_ledger", fastcall<recover_ledger_py>(), METH_FASTCALL | METH_KEYWORDS,
     "recover_ledger(path)\n--\n\nTake a torn final line of a ledger aside into "
     "<path>.torn-<UTC time> and cut the\nledger after its last LF. Gives (kept_events, "
     "kept_bytes, removed_bytes,\ntorn_path); torn_path is None when the ledger was intact."},
    {"verify_kept_lines", fastcall<verify_kept_lines_py>(), METH_FASTCALL | METH_KEYWORDS,
     "verify_kept_lines(path)\n--\n\nWalk the chain of a ledger's complete lines, leaving out "
     "a torn final line.\nGives (ChainReport, size of the torn line in bytes, 0 when none)."},
};

}  // namespace

int add_recover_native(PyObject* native) { return add_native_functions(native, recover_defs); }

}  // namespace tallyvox::py
