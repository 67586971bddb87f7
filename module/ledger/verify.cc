#include "module/ledger/verify.h"

#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "core/ledger/parallel_walk.h"
#include "module/args.h"
#include "module/errors.h"
#include "module/gil.h"
#include "module/ledger/reading.h"
#include "module/ledger/signed.h"
#include "module/module.h"
#include "module/native.h"

namespace tallyvox::py {

namespace {

const ChainReport& report_of(PyObject* self) { return held<ChainReport>(self); }

PyObject* report_repr(PyObject* self) {
  return guard([&]() -> PyObject* {
    const ChainReport& r = report_of(self);
    std::string out = "ChainReport(ok=";
    out += r.ok() ? "true" : "false";
    out += ", event_count=" + std::to_string(r.event_count) + ", broken_at=";
    out += r.broken_at ? "Some(" + std::to_string(*r.broken_at) + ")" : "None";
    out += ")";
    return new_text(out);
  });
}

PyObject* get_ok(PyObject* self, void*) { return PyBool_FromLong(report_of(self).ok()); }

PyObject* get_status(PyObject* self, void*) {
  return PyUnicode_FromString(report_of(self).ok() ? "valid" : "broken");
}

PyObject* get_event_count(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(report_of(self).event_count);
}

PyObject* get_broken_at(PyObject* self, void*) {
  const ChainReport& r = report_of(self);
  if (!r.broken_at) Py_RETURN_NONE;
  return PyLong_FromUnsignedLongLong(*r.broken_at);
}

PyObject* get_reason(PyObject* self, void*) {
  const ChainReport& r = report_of(self);
  if (!r.reason) Py_RETURN_NONE;
  return new_text(*r.reason);
}

PyObject* get_root_hash(PyObject* self, void*) { return new_text(report_of(self).root_hash); }

PyGetSetDef report_getset[] = {
    {"ok", get_ok, nullptr,
     "True if every event passed hash, signature, parent-link, and seq checks.", nullptr},
    {"status", get_status, nullptr, "\"valid\" or \"broken\".", nullptr},
    {"event_count", get_event_count, nullptr, nullptr, nullptr},
    {"broken_at", get_broken_at, nullptr,
     "Seq of the first failing event, or None if the chain is valid.", nullptr},
    {"reason", get_reason, nullptr, nullptr, nullptr},
    {"root_hash", get_root_hash, nullptr,
     "self_hash of the last valid event walked (genesis sentinel if empty).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot report_slots[] = {
    {Py_tp_doc,
     const_cast<char*>("Result of walking a chain: hashes, signatures, parent links, seq density.")},
    {Py_tp_repr, reinterpret_cast<void*>(report_repr)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_holder<ChainReport>)},
    {Py_tp_getset, report_getset},
    {0, nullptr},
};

PyType_Spec report_spec = {
    "builtins.ChainReport", sizeof(Holder<ChainReport>), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, report_slots,
};

PyObject* report_class = nullptr;

bool fail_events() {
  note_argument("events");
  return false;
}

// Copies the records out of a sequence of SignedEvent objects, iterating it
// rather than indexing it.
bool convert_events(PyObject* obj, std::vector<SignedEvent>* out) {
  if (PyType_GetFlags(Py_TYPE(obj)) & Py_TPFLAGS_UNICODE_SUBCLASS) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return fail_events();
  }
  if (!PySequence_Check(obj)) {
    raise_not_instance(obj, "Sequence");
    return fail_events();
  }
  PyTypeObject* type = signed_type();
  if (type == nullptr) return false;
  Py_ssize_t hint = PyObject_Size(obj);
  if (hint < 0) {
    PyErr_Clear();  // only a capacity hint
  } else {
    out->reserve(static_cast<std::size_t>(hint));
  }
  PyObject* iter = PyObject_GetIter(obj);
  if (iter == nullptr) return fail_events();
  while (PyObject* item = PyIter_Next(iter)) {
    if (!Py_IS_TYPE(item, type)) {
      raise_not_instance(item, "SignedEvent");
      Py_DECREF(item);
      Py_DECREF(iter);
      return fail_events();
    }
    try {
      out->push_back(signed_of(item));
    } catch (...) {
      Py_DECREF(item);
      Py_DECREF(iter);
      throw;
    }
    Py_DECREF(item);
  }
  Py_DECREF(iter);
  if (PyErr_Occurred()) return fail_events();
  return true;
}

PyObject* verify_chain(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    static const char* const positional[] = {"events"};
    static const Signature sig{"verify_chain()", positional, 1, 1, nullptr, 0};
    PyObject* a[1];
    if (!bind(sig, args, nargs, kwnames, a)) return nullptr;
    std::vector<SignedEvent> records;
    if (!convert_events(a[0], &records)) return nullptr;
    // The records are copies: other threads run while they are checked.
    ChainReport report = without_gil([&] { return verify_events(records); });
    return new_chain_report_object(std::move(report));
  });
}

PyObject* verify_file(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    static const char* const positional[] = {"path"};
    static const Signature sig{"verify_file()", positional, 1, 1, nullptr, 0};
    PyObject* a[1];
    std::string path;
    if (!bind(sig, args, nargs, kwnames, a) || !arg_path(a[0], "path", &path)) return nullptr;
    ReadOptions options = read_options();
    auto report = without_gil([&] { return verify_ledger_file(path, options); });
    if (!report) return raise_walk_error(report.error());
    return new_chain_report_object(std::move(*report));
  });
}

PyMethodDef functions[] = {
    {"verify_chain", fastcall<verify_chain>(), METH_FASTCALL | METH_KEYWORDS,
     "verify_chain(events)\n--\n\nVerify an in-memory list of SignedEvent objects."},
    {"verify_file", fastcall<verify_file>(), METH_FASTCALL | METH_KEYWORDS,
     "verify_file(path)\n--\n\nRead an NDJSON ledger file and verify it. A missing file "
     "verifies as an\nempty, valid chain (event_count = 0)."},
};

}  // namespace

PyObject* raise_walk_error(const LedgerError& error) {
  if (handler_raised()) return nullptr;
  if (const auto* json = std::get_if<JsonError>(&error.kind)) {
    return raise_chain_error("malformed ledger input: " + display(*json));
  }
  if (std::holds_alternative<LineTooLong>(error.kind)) {
    return raise_chain_error("malformed ledger input: " + display(error));
  }
  return raise_ledger_error(display(error));
}

PyObject* walk_file_jobs(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames, std::vector<SignedEvent>* records) {
  PyObject* a[3];
  std::string path;
  unsigned jobs = 1;
  std::size_t limit = 0;
  if (!bind(sig, args, nargs, kwnames, a) || !arg_path(a[0], "path", &path) ||
      (a[1] != nullptr && !arg_jobs(a[1], &jobs)) || !arg_max_line_bytes(a[2], &limit)) {
    return nullptr;
  }
  ReadOptions options = read_options(limit);
  auto report =
      without_gil([&] { return verify_ledger_file_parallel(path, jobs, records, options); });
  if (!report) return raise_walk_error(report.error());
  return new_chain_report_object(std::move(*report));
}

PyTypeObject* chain_report_type() {
  return reinterpret_cast<PyTypeObject*>(create_class_once(&report_class, &report_spec));
}

PyObject* new_chain_report_object(ChainReport&& report) {
  return new_holder(chain_report_type(), std::move(report));
}

int add_verify(PyObject* module) {
  return add_class_and_functions(module, "ChainReport", chain_report_type(), functions);
}

}  // namespace tallyvox::py
