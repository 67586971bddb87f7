#include "module/errors.h"

namespace tallyvox::py {

namespace {

PyObject* new_exception(const char* name, const char* doc, PyObject* base) {
  return PyErr_NewExceptionWithDoc(name, doc, base, nullptr);
}

PyObject* raise(PyObject* cls, std::string_view text) {
  PyObject* msg = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  if (msg == nullptr) return nullptr;
  PyErr_SetObject(cls, msg);
  Py_DECREF(msg);
  return nullptr;
}

PyObject* raise_with(PyObject* Exceptions::*which, std::string_view text) {
  const Exceptions* ex = exceptions();
  if (ex == nullptr) return nullptr;
  return raise(ex->*which, text);
}

}  // namespace

const Exceptions* exceptions() {
  static Exceptions ex;
  static bool ready = false;
  if (ready) return &ex;
  // A null base stands for TallyvoxError, made first.
  const struct {
    PyObject** slot;
    const char* name;
    const char* doc;
    PyObject* base;
  } classes[] = {
      {&ex.tallyvox_error, "tallyvox.TallyvoxError", "Base class for all Tallyvox errors.",
       PyExc_Exception},
      {&ex.key_load_error, "tallyvox.KeyLoadError", "Keypair load or save failure.", nullptr},
      {&ex.signing_error, "tallyvox.SigningError", "Event seal or hash failure.", nullptr},
      {&ex.ledger_error, "tallyvox.LedgerError", "Ledger read or write failure.", nullptr},
      {&ex.chain_error, "tallyvox.ChainError", "Malformed verification input.", nullptr},
      {&ex.internal_fault, "tallyvox.InternalFault",
       "A broken internal invariant of tallyvox (for example a lock poisoned by an earlier "
       "fault). Derived from BaseException so that ordinary handlers do not swallow it.",
       PyExc_BaseException},
  };
  // The first creator wins; each class is made once, under the GIL.
  for (const auto& c : classes) {
    if (*c.slot != nullptr) continue;
    *c.slot = new_exception(c.name, c.doc, c.base != nullptr ? c.base : ex.tallyvox_error);
    if (*c.slot == nullptr) return nullptr;
  }
  ready = true;
  return &ex;
}

PyObject* raise_key_load_error(std::string_view text) {
  return raise_with(&Exceptions::key_load_error, text);
}
PyObject* raise_signing_error(std::string_view text) {
  return raise_with(&Exceptions::signing_error, text);
}
PyObject* raise_ledger_error(std::string_view text) {
  return raise_with(&Exceptions::ledger_error, text);
}
PyObject* raise_session_error(bool is_ledger, std::string_view text) {
  return is_ledger ? raise_ledger_error(text) : raise_signing_error(text);
}
PyObject* raise_chain_error(std::string_view text) {
  return raise_with(&Exceptions::chain_error, text);
}
PyObject* raise_internal_fault(std::string_view text) {
  return raise_with(&Exceptions::internal_fault, text);
}

PyObject* take_exception() {
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  if (value != nullptr && tb != nullptr) PyException_SetTraceback(value, tb);
  Py_XDECREF(type);
  Py_XDECREF(tb);
  return value;
}

std::string take_exception_message() {
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  std::string out = "Exception";
  if (type != nullptr) {
    if (PyObject* qualname = PyType_GetQualName(reinterpret_cast<PyTypeObject*>(type))) {
      Py_ssize_t n;
      if (const char* s = PyUnicode_AsUTF8AndSize(qualname, &n)) out.assign(s, n);
      Py_DECREF(qualname);
    }
    PyErr_Clear();
  }
  out += ": ";
  PyObject* text = value != nullptr ? PyObject_Str(value) : nullptr;
  Py_ssize_t n;
  const char* s = text != nullptr ? PyUnicode_AsUTF8AndSize(text, &n) : nullptr;
  if (s != nullptr) {
    out.append(s, n);
  } else {
    PyErr_Clear();
    out += "<exception str() failed>";
  }
  Py_XDECREF(text);
  Py_XDECREF(type);
  Py_XDECREF(value);
  Py_XDECREF(tb);
  return out;
}

}  // namespace tallyvox::py
