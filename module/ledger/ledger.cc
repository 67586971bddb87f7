// The core's ledger reader for the package: read_ledger, with the rules and
// errors of the reading that Session.open does, and read_verified, which
// walks the chain as it reads.
#include <string>
#include <utility>
#include <vector>

#include "core/ledger/chain.h"
#include "core/ledger/ledger.h"
#include "module/args.h"
#include "module/errors.h"
#include "module/gil.h"
#include "module/ledger/reading.h"
#include "module/ledger/signed.h"
#include "module/ledger/verify.h"
#include "module/module.h"
#include "module/native.h"

namespace tallyvox::py {

namespace {

PyObject* records_to_list(std::vector<SignedEvent>&& records) {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(records.size()));
  if (list == nullptr) return nullptr;
  for (std::size_t i = 0; i < records.size(); ++i) {
    PyObject* item = new_signed_event_object(std::move(records[i]));
    if (item == nullptr) {
      Py_DECREF(list);
      return nullptr;
    }
    PyList_SetItem(list, static_cast<Py_ssize_t>(i), item);
  }
  return list;
}

PyObject* read_ledger_py(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    static const char* const positional[] = {"path", "max_line_bytes"};
    static const Signature sig{"read_ledger()", positional, 2, 1, nullptr, 0};
    PyObject* a[2];
    std::string path;
    std::size_t limit = 0;
    if (!bind(sig, args, nargs, kwnames, a) || !arg_path(a[0], "path", &path) ||
        !arg_max_line_bytes(a[1], &limit)) {
      return nullptr;
    }
    ReadOptions options = read_options(limit);
    auto records = without_gil([&] { return read_ledger(path, options); });
    if (!records) return handler_raised() ? nullptr : raise_ledger_error(display(records.error()));
    return records_to_list(std::move(*records));
  });
}

// (records, report) in one read, failing as verify_file does.
PyObject* read_verified_py(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    static const char* const positional[] = {"path", "jobs", "max_line_bytes"};
    static const Signature sig{"read_verified()", positional, 3, 1, nullptr, 0};
    std::vector<SignedEvent> records;
    PyObject* report_obj = walk_file_jobs(sig, args, nargs, kwnames, &records);
    if (report_obj == nullptr) return nullptr;
    PyObject* list = records_to_list(std::move(records));
    if (list == nullptr) {
      Py_DECREF(report_obj);
      return nullptr;
    }
    PyObject* pair = PyTuple_Pack(2, list, report_obj);
    Py_DECREF(list);
    Py_DECREF(report_obj);
    return pair;
  });
}

PyMethodDef functions[] = {
    {"read_ledger", fastcall<read_ledger_py>(), METH_FASTCALL | METH_KEYWORDS,
     "read_ledger(path, max_line_bytes=None)\n--\n\nRead every record of an NDJSON ledger "
     "file, in file order. A missing file\nreads as an empty list; a line longer than "
     "max_line_bytes is an error."},
    {"read_verified", fastcall<read_verified_py>(), METH_FASTCALL | METH_KEYWORDS,
     "read_verified(path, jobs=1, max_line_bytes=None)\n--\n\nRead a ledger file and walk its "
     "chain in the same pass: (records, report),\nthe seals checked on `jobs` threads. A line "
     "that is not a record raises ChainError,\nas verify_file does."},
};

}  // namespace

int add_ledger_native(PyObject* native) { return add_native_functions(native, functions); }

}  // namespace tallyvox::py
