// The events submodule: AgentEvent and its factories.
#pragma once

#include "core/ledger/event.h"
#include "module/py.h"

namespace tallyvox::py {

// The AgentEvent class, created once per process (nullptr on failure).
PyTypeObject* event_type();
// The event held by an AgentEvent object.
const AgentEvent& event_of(PyObject* obj);
// Adds AgentEvent and the eight functions to the events submodule.
int add_event_api(PyObject* events);

}  // namespace tallyvox::py
