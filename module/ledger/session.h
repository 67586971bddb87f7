// The Session class: one signer appending to one ledger file.
#pragma once

#include "module/py.h"

namespace tallyvox::py {

// The class, created once per process; nullptr with an exception set on
// failure. Borrowed.
PyTypeObject* session_type();

// Adds Session to the module; -1 with an exception set on failure.
int add_session(PyObject* module);

}  // namespace tallyvox::py
