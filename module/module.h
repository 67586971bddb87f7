// Registration helpers shared by the units that add names to a module.
#pragma once

#include "module/py.h"

namespace tallyvox::py {

// Appends `name` to the module's __all__ (created when absent) and sets the
// attribute. Returns -1 with an exception set on failure.
int add_name(PyObject* module, const char* name, PyObject* value);

// Adds a built-in function whose __self__ is the module.
int add_function(PyObject* module, PyMethodDef* def);

// Creates a class from its spec once per process (nullptr on failure).
PyObject* create_class_once(PyObject** slot, PyType_Spec* spec);

}  // namespace tallyvox::py
