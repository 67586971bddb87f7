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
  // The first creator wins; each class is made once, under the GIL.
  if (ex.tallyvox_error == nullptr &&
      !(ex.tallyvox_error = new_exception("tallyvox.TallyvoxError",
                                          "Base class for all Tallyvox errors.", PyExc_Exception)))
    return nullptr;
  if (ex.key_load_error == nullptr &&
      !(ex.key_load_error = new_exception("tallyvox.KeyLoadError", "Keypair load or save failure.",
                                          ex.tallyvox_error)))
    return nullptr;
  if (ex.signing_error == nullptr &&
      !(ex.signing_error =
            new_exception("tallyvox.SigningError", "Event seal or hash failure.", ex.tallyvox_error)))
    return nullptr;
  if (ex.ledger_error == nullptr &&
      !(ex.ledger_error = new_exception("tallyvox.LedgerError", "Ledger read or write failure.",
                                        ex.tallyvox_error)))
    return nullptr;
  if (ex.chain_error == nullptr &&
      !(ex.chain_error = new_exception("tallyvox.ChainError", "Malformed verification input.",
                                       ex.tallyvox_error)))
    return nullptr;
  if (ex.internal_fault == nullptr &&
      !(ex.internal_fault = new_exception(
            "tallyvox.InternalFault",
            "A broken internal invariant of tallyvox (for example a lock poisoned by an earlier "
            "fault). Derived from BaseException so that ordinary handlers do not swallow it.",
            PyExc_BaseException)))
    return nullptr;
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
