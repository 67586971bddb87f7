#include "module/native.h"

#include "module/errors.h"

namespace tallyvox::py {

int add_native_function(PyObject* native, PyMethodDef* def) {
  PyObject* module_name = PyObject_GetAttrString(native, "__name__");
  if (module_name == nullptr) return -1;
  PyObject* func = PyCMethod_New(def, native, module_name, nullptr);
  Py_DECREF(module_name);
  if (func == nullptr) return -1;
  int rc = PyObject_SetAttrString(native, def->ml_name, func);
  Py_DECREF(func);
  return rc;
}

int add_native(PyObject* module) {
  PyObject* native = PyModule_New("tallyvox._native");
  if (native == nullptr) return -1;
  int rc = -1;
  if (add_ledger_native(native) == 0 && add_recover_native(native) == 0 &&
      add_checkpoint_native(native) == 0 && add_fleet_native(native) == 0) {
    rc = PyObject_SetAttrString(module, "_native", native);
  }
  Py_DECREF(native);
  return rc;
}

}  // namespace tallyvox::py
