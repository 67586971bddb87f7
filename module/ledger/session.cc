#include "module/ledger/session.h"

#include <exception>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "core/ledger/session.h"
#include "module/args.h"
#include "module/crypto/keys.h"
#include "module/errors.h"
#include "module/gil.h"
#include "module/ledger/events.h"
#include "module/ledger/reading.h"
#include "module/ledger/signed.h"
#include "module/module.h"
#include "module/native.h"
#include "module/tlog/checkpoint.h"

namespace tallyvox::py {

namespace {

// A session and the runner of its checkpoint policy (a tallyvox.policy
// object, or nullptr without a policy). Destroying the session closes the
// ledger (every line is already flushed) and wipes its key copy.
struct SessionBox {
  std::unique_ptr<Session> session;
  PyObject* runner = nullptr;  // owned

  SessionBox(std::unique_ptr<Session> s, PyObject* r) : session(std::move(s)), runner(r) {}
  SessionBox(SessionBox&& other) noexcept
      : session(std::move(other.session)), runner(std::exchange(other.runner, nullptr)) {}
  SessionBox(const SessionBox&) = delete;
  SessionBox& operator=(const SessionBox&) = delete;
  ~SessionBox() { Py_XDECREF(runner); }
};

SessionBox& box_of(PyObject* self) { return held<SessionBox>(self); }
Session& session_of(PyObject* self) { return *box_of(self).session; }

PyObject* raise_session(const SessionError& error) {
  return raise_session_error(!std::holds_alternative<SealError>(error.kind), display(error));
}

// A function of the package, called with the GIL; nullptr with an exception
// set on failure.
PyObject* call_package(const char* module_name, const char* function, PyObject* args) {
  PyObject* module = PyImport_ImportModule(module_name);
  if (module == nullptr) return nullptr;
  PyObject* fn = PyObject_GetAttrString(module, function);
  Py_DECREF(module);
  if (fn == nullptr) return nullptr;
  PyObject* out = PyObject_CallObject(fn, args);
  Py_DECREF(fn);
  return out;
}

// Tells the policy runner, if any, that `count` events were recorded; false
// with its exception set when it raised (a strict policy's failure).
bool after_recorded(PyObject* self, std::size_t count) {
  PyObject* runner = box_of(self).runner;
  if (runner == nullptr || count == 0) return true;
  PyObject* done = PyObject_CallMethod(runner, "recorded", "On", self, static_cast<Py_ssize_t>(count));
  Py_XDECREF(done);
  return done != nullptr;
}

// The events of an iterable, each an AgentEvent; the references are owned
// (and left to leak on a thread the interpreter ends while it waits for the
// GIL after recording: it no longer holds the lock).
class EventList {
 public:
  ~EventList() {
    if (thread_is_ending()) return;
    for (PyObject* obj : objects_) Py_DECREF(obj);
  }
  bool take(PyObject* iterable, const char* name) {
    PyTypeObject* ev_type = event_type();
    PyObject* it = ev_type != nullptr ? PyObject_GetIter(iterable) : nullptr;
    if (it == nullptr) {
      if (ev_type != nullptr) note_argument(name);
      return false;
    }
    while (PyObject* item = PyIter_Next(it)) {
      objects_.push_back(item);
      if (!arg_instance(item, name, ev_type, "AgentEvent")) break;
      events_.push_back(&event_of(item));
    }
    Py_DECREF(it);
    return !PyErr_Occurred();
  }
  // Read without the GIL: the objects are alive and immutable.
  std::span<const AgentEvent* const> events() const { return events_; }

 private:
  std::vector<PyObject*> objects_;
  std::vector<const AgentEvent*> events_;
};

PyObject* signed_list(std::vector<SignedEvent>&& records) {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(records.size()));
  for (std::size_t i = 0; list != nullptr && i < records.size(); ++i) {
    PyObject* item = new_signed_event_object(std::move(records[i]));
    if (item == nullptr) {
      Py_CLEAR(list);
      break;
    }
    PyList_SetItem(list, static_cast<Py_ssize_t>(i), item);
  }
  return list;
}

PyObject* session_open(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    static const char* const keywords[] = {"keypair", "ledger_path", "session_id", "checkpoints"};
    static const Signature sig{"Session.open()", nullptr, 0, 0, keywords, 4, 1};
    PyObject* a[4];
    if (!bind(sig, args, nargs, kwnames, a)) return nullptr;
    PyTypeObject* kp_type = keypair_type();
    if (kp_type == nullptr) return nullptr;
    std::string path;
    std::string_view session_id;
    if (!arg_instance(a[0], "keypair", kp_type, "SigningKeypair") ||
        !arg_path(a[1], "ledger_path", &path) || !arg_text(a[2], "session_id", &session_id)) {
      return nullptr;
    }
    // The policy is checked before the ledger is touched.
    PyObject* runner = nullptr;
    if (a[3] != nullptr && a[3] != Py_None) {
      PyObject* call = PyTuple_Pack(2, a[3], a[1]);
      runner = call != nullptr ? call_package("tallyvox.policy", "_runner", call) : nullptr;
      Py_XDECREF(call);
      if (runner == nullptr) {
        note_argument("checkpoints");
        return nullptr;
      }
    }
    const SigningKeypair& keypair = *keypair_of(a[0]);
    std::string id(session_id);
    ReadOptions read = read_options();
    auto opened = without_gil([&] { return Session::open(keypair, path, std::move(id), read); });
    if (!opened) {
      Py_XDECREF(runner);
      return handler_raised() ? nullptr : raise_session(opened.error());
    }
    return new_holder(session_type(), SessionBox(std::move(*opened), runner));
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
    PyObject* out = new_signed_event_object(std::move(*result));
    if (out != nullptr && !after_recorded(self, 1)) Py_CLEAR(out);
    return out;
  });
}

PyObject* session_record_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    static const char* const positional[] = {"events"};
    static const Signature sig{"Session.record_many()", positional, 1, 1, nullptr, 0};
    PyObject* a[1];
    EventList events;
    if (!bind(sig, args, nargs, kwnames, a) || !events.take(a[0], "events")) return nullptr;
    Session& session = session_of(self);
    auto result = without_gil([&] { return session.record_many(events.events()); });
    if (!result) return raise_session(result.error());
    std::size_t count = result->size();
    PyObject* out = signed_list(std::move(*result));
    if (out != nullptr && !after_recorded(self, count)) Py_CLEAR(out);
    return out;
  });
}

// Runs the at-close duty of the policy, once, then closes; the policy's
// error (strict) is raised after the session is closed.
PyObject* close_session(PyObject* self) {
  SessionBox& box = box_of(self);
  PyObject* error = nullptr;
  if (PyObject* runner = std::exchange(box.runner, nullptr)) {
    PyObject* done = box.session->closed() ? Py_NewRef(Py_None)
                                           : PyObject_CallMethod(runner, "closing", "O", self);
    if (done == nullptr) error = take_exception();
    Py_XDECREF(done);
    Py_DECREF(runner);
  }
  // A record on another thread may hold the session for an fsync: wait
  // for it without the GIL, which that record needs to return.
  Session& session = *box.session;
  without_gil([&] { session.close(); });
  if (error != nullptr) {
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error)), error);
    Py_DECREF(error);
    return nullptr;
  }
  Py_RETURN_NONE;
}

PyObject* session_close(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    static const Signature sig{"Session.close()", nullptr, 0, 0, nullptr, 0};
    PyObject* unused[1];
    if (!bind(sig, args, nargs, kwnames, unused)) return nullptr;
    return close_session(self);
  });
}

PyObject* session_enter(PyObject* self, PyObject*) { return Py_NewRef(self); }

PyObject* session_exit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    static const char* const positional[] = {"exc_type", "exc_value", "traceback"};
    static const Signature sig{"Session.__exit__()", positional, 3, 3, nullptr, 0};
    PyObject* unused[3];
    if (!bind(sig, args, nargs, kwnames, unused)) return nullptr;
    return close_session(self);  // an exception leaving the block goes on
  });
}

PyObject* session_checkpoint(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    static const char* const positional[] = {"origin"};
    static const Signature sig{"Session.checkpoint()", positional, 1, 0, nullptr, 0};
    PyObject* a[1];
    std::string_view origin_text;
    if (!bind(sig, args, nargs, kwnames, a)) return nullptr;
    bool named = a[0] != nullptr && a[0] != Py_None;
    if (named && !arg_text(a[0], "origin", &origin_text)) return nullptr;
    std::optional<std::string> origin;
    if (named) origin.emplace(origin_text);
    Session& session = session_of(self);
    auto made = without_gil([&] { return session.checkpoint(origin); });
    if (!made) return raise_session(made.error());
    PyObject* result = outcome(std::move(*made), [](const SignedCheckpoint& c) {
      return checkpoint_tuple(c.checkpoint, c.note);
    });
    if (result == nullptr) return nullptr;
    PyObject* call = PyTuple_Pack(1, result);
    Py_DECREF(result);
    PyObject* out = call != nullptr ? call_package("tallyvox.checkpoint", "_made", call) : nullptr;
    Py_XDECREF(call);
    return out;
  });
}

PyObject* get_closed(PyObject* self, void*) {
  return guard([&]() -> PyObject* { return PyBool_FromLong(session_of(self).closed()); });
}

PyObject* get_session_id(PyObject* self, void*) {
  return guard([&]() -> PyObject* { return new_text(session_of(self).session_id()); });
}

PyObject* get_last_checkpoint(PyObject* self, void*) {
  return guard([&]() -> PyObject* {
    Session& session = session_of(self);
    auto note = without_gil([&] { return session.last_checkpoint(); });
    if (!note) Py_RETURN_NONE;
    return new_text(*note);
  });
}

PyObject* session_repr(PyObject* self) {
  return guard([&]() -> PyObject* {
    return new_text("Session(session_id='" + session_of(self).session_id() + "')");
  });
}

// record_batches(session, events, max_bytes): the writer of an AsyncSession
// records what it took from its queue in batches of about max_bytes each.
// One item per event: its SignedEvent, or the exception of its batch.
PyObject* record_batches_py(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    static const char* const positional[] = {"session", "events", "max_bytes"};
    static const Signature sig{"record_batches()", positional, 3, 3, nullptr, 0};
    PyObject* a[3];
    EventList events;
    std::uint64_t max_bytes;
    if (!bind(sig, args, nargs, kwnames, a)) return nullptr;
    PyTypeObject* type = session_type();
    if (type == nullptr || !arg_instance(a[0], "session", type, "Session") ||
        !events.take(a[1], "events") || !arg_u64(a[2], "max_bytes", &max_bytes)) {
      return nullptr;
    }
    Session& session = session_of(a[0]);
    auto outcomes = without_gil([&] {
      return session.record_batches(events.events(), static_cast<std::size_t>(max_bytes));
    });
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(outcomes.size()));
    std::size_t recorded = 0;
    for (std::size_t i = 0; list != nullptr && i < outcomes.size(); ++i) {
      PyObject* item;
      if (outcomes[i]) {
        item = new_signed_event_object(std::move(*outcomes[i]));
        ++recorded;
      } else {
        raise_session(outcomes[i].error());
        item = take_exception();
      }
      if (item == nullptr) {
        Py_CLEAR(list);
        break;
      }
      PyList_SetItem(list, static_cast<Py_ssize_t>(i), item);
    }
    if (list != nullptr && !after_recorded(a[0], recorded)) Py_CLEAR(list);
    return list;
  });
}

PyMethodDef session_native_defs[] = {
    {"record_batches", fastcall<record_batches_py>(), METH_FASTCALL | METH_KEYWORDS,
     "record_batches(session, events, max_bytes)\n--\n\nRecord events in batches of about "
     "max_bytes of lines; one SignedEvent or exception per event."},
};

PyMethodDef session_methods[] = {
    {"open", fastcall<session_open>(), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "open(*, keypair, ledger_path, session_id, checkpoints=None)\n--\n\nOpen (or resume) a session writing to "
     "`ledger_path`."},
    {"record", fastcall<session_record>(), METH_FASTCALL | METH_KEYWORDS,
     "record($self, event)\n--\n\nSeal `event`, append it to the ledger, and return the "
     "SignedEvent.\n\nThis call fsyncs the ledger before returning (durability), which costs a\n"
     "few milliseconds. On an async backend, wrap it in `asyncio.to_thread`."},
    {"record_many", fastcall<session_record_many>(), METH_FASTCALL | METH_KEYWORDS,
     "record_many($self, events)\n--\n\nSeal `events` in order, append them to the ledger with one write and one\n"
     "fsync, and return their SignedEvents. All or nothing: when the append\n"
     "fails, none of them is in the ledger and the chain is as it was."},
    {"checkpoint", fastcall<session_checkpoint>(), METH_FASTCALL | METH_KEYWORDS,
     "checkpoint($self, origin=None)\n--\n\nSign the checkpoint of every event recorded so far, "
     "without reading the\nledger: the same Checkpoint as make_checkpoint of the ledger."},
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
    {"last_checkpoint", get_last_checkpoint, nullptr,
     "The note of the latest checkpoint the session signed, or None.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot session_slots[] = {
    {Py_tp_doc,
     const_cast<char*>(
         "One signing session bound to a single ledger file. `record` allocates the\n"
         "next seq, signs against the running parent hash, appends with fsync, and\n"
         "advances the chain. Resumes from any pre-existing events on open.")},
    {Py_tp_repr, reinterpret_cast<void*>(session_repr)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_holder<SessionBox>)},
    {Py_tp_methods, session_methods},
    {Py_tp_getset, session_getset},
    {0, nullptr},
};

PyType_Spec session_spec = {
    "builtins.Session", sizeof(Holder<SessionBox>), 0,
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

int add_session_native(PyObject* native) {
  return add_native_functions(native, session_native_defs);
}

}  // namespace tallyvox::py
