// The Python class SigningKeypair, wrapping one core keypair.
#pragma once

#include "core/crypto/keys.h"
#include "module/py.h"

namespace tallyvox::py {

// The class, created once per process; nullptr with an exception set on
// failure. Borrowed.
PyTypeObject* keypair_type();

// The keypair wrapped by `obj`, or nullptr when obj is not exactly a
// SigningKeypair instance (no exception is set).
const SigningKeypair* keypair_of(PyObject* obj);

// Adds SigningKeypair to the module; -1 with an exception set on failure.
int add_keypair(PyObject* module);

}  // namespace tallyvox::py
