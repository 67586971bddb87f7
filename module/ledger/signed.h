// The SignedEvent class and the sealing functions.
#pragma once

#include "core/ledger/signed.h"
#include "module/py.h"

namespace tallyvox::py {

PyTypeObject* signed_type();
const SignedEvent& signed_of(PyObject* obj);
// A new SignedEvent object owning `record`.
PyObject* new_signed_event_object(SignedEvent&& record);
// Adds SignedEvent, sign_event and compute_self_hash.
int add_signed_api(PyObject* module);

}  // namespace tallyvox::py
