// The module _tallyvox: multi-phase initialisation and the execution step
// that fills it, in a fixed order that is also the order of __all__.
#include "module/convert.h"
#include "module/errors.h"
#include "module/ledger/events.h"
#include "module/ledger/signed.h"
#include "module/crypto/keys.h"
#include "module/native.h"
#include "module/ledger/session.h"
#include "module/ledger/verify.h"
#include "module/module.h"
#include "module/py.h"

namespace tallyvox::py {

namespace {

constexpr const char* kVersion = "0.1.1";

int add_new(PyObject* module, const char* name, PyObject* value) {
  if (value == nullptr) return -1;
  int rc = add_name(module, name, value);
  Py_DECREF(value);
  return rc;
}

int add_exceptions(PyObject* module) {
  const Exceptions* ex = exceptions();
  if (ex == nullptr) return -1;
  if (add_name(module, "TallyvoxError", ex->tallyvox_error) < 0) return -1;
  if (add_name(module, "KeyLoadError", ex->key_load_error) < 0) return -1;
  if (add_name(module, "SigningError", ex->signing_error) < 0) return -1;
  if (add_name(module, "LedgerError", ex->ledger_error) < 0) return -1;
  return add_name(module, "ChainError", ex->chain_error);
}

// The events submodule: a plain module object, added to _tallyvox and to
// sys.modules as "tallyvox.events".
int add_events(PyObject* module) {
  PyObject* name = PyUnicode_FromString("events");
  if (name == nullptr) return -1;
  PyObject* events = PyModule_NewObject(name);
  Py_DECREF(name);
  if (events == nullptr) return -1;
  if (add_event_api(events) < 0) {
    Py_DECREF(events);
    return -1;
  }

  int rc = -1;
  PyObject *full_name = nullptr, *short_name = nullptr, *sys = nullptr, *modules = nullptr;
  do {
    full_name = PyModule_GetNameObject(events);
    if (full_name == nullptr) break;
    Py_ssize_t n = PyUnicode_GetLength(full_name);
    Py_ssize_t dot = PyUnicode_FindChar(full_name, '.', 0, n, -1);
    if (dot == -2) break;
    short_name = PyUnicode_Substring(full_name, dot + 1, n);
    if (short_name == nullptr) break;
    Py_ssize_t size;
    const char* text = PyUnicode_AsUTF8AndSize(short_name, &size);
    if (text == nullptr || add_name(module, text, events) < 0) break;

    PyObject* sys_name = PyUnicode_FromString("sys");
    if (sys_name == nullptr) break;
    sys = PyImport_Import(sys_name);
    Py_DECREF(sys_name);
    if (sys == nullptr) break;
    modules = PyObject_GetAttrString(sys, "modules");
    if (modules == nullptr) break;
    PyObject* key = PyUnicode_FromString("tallyvox.events");
    if (key == nullptr) break;
    rc = PyObject_SetItem(modules, key, events);
    Py_DECREF(key);
  } while (false);
  Py_XDECREF(modules);
  Py_XDECREF(sys);
  Py_XDECREF(short_name);
  Py_XDECREF(full_name);
  Py_DECREF(events);
  return rc;
}

int exec_module(PyObject* module) {
  return guard([&]() -> int {
    if (!PyModule_Check(module)) {
      PyErr_SetString(PyExc_TypeError, "module execution expects a module object");
      return -1;
    }
    if (add_new(module, "__version__", PyUnicode_FromString(kVersion)) < 0) return -1;
    if (add_exceptions(module) < 0) return -1;
    if (add_keypair(module) < 0) return -1;
    if (add_events(module) < 0) return -1;
    if (add_signed_api(module) < 0) return -1;
    if (add_new(module, "GENESIS_PARENT_HASH",
                PyUnicode_FromStringAndSize(kGenesisParentHash.data(),
                                            static_cast<Py_ssize_t>(kGenesisParentHash.size()))) < 0)
      return -1;
    if (add_session(module) < 0) return -1;
    if (add_verify(module) < 0) return -1;
    if (add_function(module, &canonical_json_def) < 0) return -1;
    return add_native(module);
  });
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT, "_tallyvox", "", 0, nullptr, slots, nullptr, nullptr, nullptr,
};

}  // namespace

int add_name(PyObject* module, const char* name, PyObject* value) {
  PyObject* all = PyObject_GetAttrString(module, "__all__");
  if (all == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    all = PyList_New(0);
    if (all == nullptr) return -1;
    if (PyObject_SetAttrString(module, "__all__", all) < 0) {
      Py_DECREF(all);
      return -1;
    }
  } else if (!PyList_Check(all)) {
    Py_DECREF(all);
    PyErr_SetString(PyExc_TypeError, "__all__ must be a list");
    return -1;
  }
  PyObject* text = PyUnicode_FromString(name);
  int rc = text != nullptr ? PyList_Append(all, text) : -1;
  Py_XDECREF(text);
  Py_DECREF(all);
  if (rc < 0) return -1;
  return PyObject_SetAttrString(module, name, value);
}

PyObject* new_function(PyObject* module, PyMethodDef* def) {
  PyObject* module_name = PyObject_GetAttrString(module, "__name__");
  if (module_name == nullptr) return nullptr;
  PyObject* func = PyCMethod_New(def, module, module_name, nullptr);
  Py_DECREF(module_name);
  return func;
}

int add_function(PyObject* module, PyMethodDef* def) {
  PyObject* func = new_function(module, def);
  if (func == nullptr) return -1;
  PyObject* name = PyObject_GetAttrString(func, "__name__");
  int rc = -1;
  if (name != nullptr && !PyUnicode_Check(name)) {
    PyErr_SetString(PyExc_TypeError, "function __name__ must be a str");
  } else if (name != nullptr) {
    Py_ssize_t size;
    if (const char* text = PyUnicode_AsUTF8AndSize(name, &size)) rc = add_name(module, text, func);
  }
  Py_XDECREF(name);
  Py_DECREF(func);
  return rc;
}

int add_class_and_functions(PyObject* module, const char* class_name, PyTypeObject* type,
                            std::span<PyMethodDef> functions) {
  if (type == nullptr) return -1;
  if (add_name(module, class_name, reinterpret_cast<PyObject*>(type)) < 0) return -1;
  for (PyMethodDef& def : functions) {
    if (add_function(module, &def) < 0) return -1;
  }
  return 0;
}

PyObject* create_class_once(PyObject** slot, PyType_Spec* spec) {
  if (*slot == nullptr) *slot = PyType_FromSpec(spec);
  return *slot;
}

}  // namespace tallyvox::py

PyMODINIT_FUNC PyInit__tallyvox(void) {
  return PyModuleDef_Init(&tallyvox::py::definition);
}
