// read_ledger: the core's ledger reader, with the rules and errors of the
// reading that Session.open does.
#include <string>
#include <utility>
#include <vector>

#include "core/ledger.h"
#include "module/args.h"
#include "module/errors.h"
#include "module/gil.h"
#include "module/module.h"
#include "module/native.h"
#include "module/signed.h"

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
    static const char* const positional[] = {"path"};
    static const Signature sig{"read_ledger()", positional, 1, 1, nullptr, 0};
    PyObject* a[1];
    std::string path;
    if (!bind(sig, args, nargs, kwnames, a) || !arg_path(a[0], "path", &path)) return nullptr;
    auto records = without_gil([&] { return read_ledger(path); });
    if (!records) return raise_ledger_error(display(records.error()));
    return records_to_list(std::move(*records));
  });
}

PyMethodDef read_ledger_def = {
    "read_ledger", fastcall<read_ledger_py>(), METH_FASTCALL | METH_KEYWORDS,
    "read_ledger(path)\n--\n\nRead every record of an NDJSON ledger file, in file order. A missing "
    "file\nreads as an empty list."};

}  // namespace

int add_ledger_native(PyObject* native) { return add_native_function(native, &read_ledger_def); }

}  // namespace tallyvox::py
