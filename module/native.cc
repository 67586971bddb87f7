#include "module/native.h"

#include "module/errors.h"
#include "module/ledger/reading.h"
#include "module/module.h"

namespace tallyvox::py {

int add_native_functions(PyObject* native, std::span<PyMethodDef> defs) {
  for (PyMethodDef& def : defs) {
    PyObject* func = new_function(native, &def);
    if (func == nullptr) return -1;
    int rc = PyObject_SetAttrString(native, def.ml_name, func);
    Py_DECREF(func);
    if (rc < 0) return -1;
  }
  return 0;
}

int add_native(PyObject* module) {
  PyObject* native = PyModule_New("tallyvox._native");
  if (native == nullptr) return -1;
  int rc = -1;
  if (add_ledger_native(native) == 0 && add_recover_native(native) == 0 &&
      add_checkpoint_native(native) == 0 && add_fleet_native(native) == 0 &&
      add_keys_native(native) == 0 && add_witness_native(native) == 0 &&
      add_build_info_native(native) == 0 && add_reading_native(native) == 0 &&
      add_session_native(native) == 0) {
    rc = PyObject_SetAttrString(module, "_native", native);
  }
  Py_DECREF(native);
  return rc;
}

}  // namespace tallyvox::py
