#include "module/session.h"

#include <exception>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <variant>

#include "core/session.h"
#include "module/args.h"
#include "module/errors.h"
#include "module/events.h"
#include "module/gil.h"
#include "module/keys.h"
#include "module/module.h"
#include "module/signed.h"

namespace tallyvox::py {

namespace {

// Destroying the session closes the ledger (every line is already flushed)
// and wipes its key copy.
using SessionPtr = std::unique_ptr<Session>;

Session& session_of(PyObject* self) { return *held<SessionPtr>(self); }

PyObject* raise_session(const SessionError& error) {
  return raise_session_error(!std::holds_alternative<SealError>(error.kind), display(error));
}

PyObject* session_open(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    static const char* const keywords[] = {"keypair", "ledger_path", "session_id"};
    static const Signature sig{"Session.open()", nullptr, 0, 0, keywords, 3};
    PyObject* a[3];
    if (!bind(sig, args, nargs, kwnames, a)) return nullptr;
    PyTypeObject* kp_type = keypair_type();
    if (kp_type == nullptr) return nullptr;
    std::string path;
    std::string_view session_id;
    if (!arg_instance(a[0], "keypair", kp_type, "SigningKeypair") ||
        !arg_path(a[1], "ledger_path", &path) || !arg_text(a[2], "session_id", &session_id)) {
      return nullptr;
    }
    auto opened = Session::open(*keypair_of(a[0]), path, std::string(session_id));
    if (!opened) return raise_session(opened.error());
    return new_holder(session_type(), std::move(*opened));
  });
}

PyObject* session_record(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    static const char* const positional[] = {"event"};
    static const Signature sig{"Session.record()", positional, 1, 1, nullptr, 0};
    PyObject* a[1];
    if (!bind(sig, args, nargs, kwnames, a)) return nullptr;
    PyTypeObject* ev_type = event_type();
    if (ev_type == nullptr) return nullptr;
    if (!arg_instance(a[0], "event", ev_type, "AgentEvent")) return nullptr;

    // The AgentEvent object stays alive as an argument of this call and is
    // immutable, so its value may be read without the GIL.
    Session& session = session_of(self);
    const AgentEvent& event = event_of(a[0]);
    auto result = without_gil([&] { return session.record(event); });
    if (!result) return raise_session(result.error());
    return new_signed_event_object(std::move(*result));
  });
}

PyObject* session_close(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    static const Signature sig{"Session.close()", nullptr, 0, 0, nullptr, 0};
    PyObject* unused[1];
    if (!bind(sig, args, nargs, kwnames, unused)) return nullptr;
    // A record on another thread may hold the session for an fsync: wait
    // for it without the GIL, which that record needs to return.
    Session& session = session_of(self);
    without_gil([&] { session.close(); });
    Py_RETURN_NONE;
  });
}

PyObject* session_enter(PyObject* self, PyObject*) { return Py_NewRef(self); }

PyObject* session_exit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    static const char* const positional[] = {"exc_type", "exc_value", "traceback"};
    static const Signature sig{"Session.__exit__()", positional, 3, 3, nullptr, 0};
    PyObject* unused[3];
    if (!bind(sig, args, nargs, kwnames, unused)) return nullptr;
    Session& session = session_of(self);
    without_gil([&] { session.close(); });
    Py_RETURN_NONE;  // an exception leaving the block goes on
  });
}

PyObject* get_closed(PyObject* self, void*) {
  return guard([&]() -> PyObject* { return PyBool_FromLong(session_of(self).closed()); });
}

PyObject* get_session_id(PyObject* self, void*) {
  return guard([&]() -> PyObject* { return new_text(session_of(self).session_id()); });
}

PyObject* session_repr(PyObject* self) {
  return guard([&]() -> PyObject* {
    return new_text("Session(session_id='" + session_of(self).session_id() + "')");
  });
}

PyMethodDef session_methods[] = {
    {"open", fastcall<session_open>(), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "open(*, keypair, ledger_path, session_id)\n--\n\nOpen (or resume) a session writing to "
     "`ledger_path`."},
    {"record", fastcall<session_record>(), METH_FASTCALL | METH_KEYWORDS,
     "record($self, event)\n--\n\nSeal `event`, append it to the ledger, and return the "
     "SignedEvent.\n\nThis call fsyncs the ledger before returning (durability), which costs a\n"
     "few milliseconds. On an async backend, wrap it in `asyncio.to_thread`."},
    {"close", fastcall<session_close>(), METH_FASTCALL | METH_KEYWORDS,
     "close($self)\n--\n\nClose the ledger file, releasing its writer lock. A record in progress on\n"
     "another thread finishes first; `record` afterwards raises LedgerError.\nClosing again does "
     "nothing."},
    {"__enter__", session_enter, METH_NOARGS, "__enter__($self)\n--\n\nReturn the session."},
    {"__exit__", fastcall<session_exit>(), METH_FASTCALL | METH_KEYWORDS,
     "__exit__($self, exc_type, exc_value, traceback)\n--\n\nClose the session."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef session_getset[] = {
    {"session_id", get_session_id, nullptr, nullptr, nullptr},
    {"closed", get_closed, nullptr, "True once the session is closed.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot session_slots[] = {
    {Py_tp_doc,
     const_cast<char*>(
         "One signing session bound to a single ledger file. `record` allocates the\n"
         "next seq, signs against the running parent hash, appends with fsync, and\n"
         "advances the chain. Resumes from any pre-existing events on open.")},
    {Py_tp_repr, reinterpret_cast<void*>(session_repr)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_holder<SessionPtr>)},
    {Py_tp_methods, session_methods},
    {Py_tp_getset, session_getset},
    {0, nullptr},
};

PyType_Spec session_spec = {
    "builtins.Session", sizeof(Holder<SessionPtr>), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, session_slots,
};

PyObject* session_class = nullptr;

}  // namespace

PyTypeObject* session_type() {
  return reinterpret_cast<PyTypeObject*>(create_class_once(&session_class, &session_spec));
}

int add_session(PyObject* module) {
  PyTypeObject* type = session_type();
  if (type == nullptr) return -1;
  return add_name(module, "Session", reinterpret_cast<PyObject*>(type));
}

}  // namespace tallyvox::py
