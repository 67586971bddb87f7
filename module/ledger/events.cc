#include "module/ledger/events.h"

#include <string>
#include <utility>

#include "core/ledger/event_read.h"
#include "module/args.h"
#include "module/convert.h"
#include "module/errors.h"
#include "module/module.h"

namespace tallyvox::py {

namespace {

PyObject* event_repr(PyObject* self) {
  return guard([&]() -> PyObject* {
    std::string text = "AgentEvent(type='";
    text += event_tag(event_of(self));
    text += "')";
    return new_text(text);
  });
}

PyType_Slot event_slots[] = {
    {Py_tp_doc,
     const_cast<char*>(
         "Opaque handle around a tallyvox-core AgentEvent. Built only via the factory\n"
         "functions or from_dict; Python never constructs the tagged JSON by hand.")},
    {Py_tp_repr, reinterpret_cast<void*>(event_repr)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_holder<AgentEvent>)},
    {0, nullptr},
};

PyType_Spec event_spec = {
    "builtins.AgentEvent", sizeof(Holder<AgentEvent>), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, event_slots,
};

PyObject* new_event_object(AgentEvent&& event) { return new_holder(event_type(), std::move(event)); }

// Field conversions of the factories; each failure carries the note for
// the parameter, except the JSON value, which fails as SigningError.
bool convert_field(PyObject* obj, const char* name, std::string& out) {
  std::string_view text;
  if (!arg_text(obj, name, &text)) return false;
  out.assign(text);
  return true;
}

bool convert_field(PyObject* obj, const char* name, std::uint64_t& out) {
  return arg_u64(obj, name, &out);
}

bool convert_field(PyObject* obj, const char* name, std::uint32_t& out) {
  long v = PyLong_AsLong(obj);
  if (v == -1 && PyErr_Occurred()) {
    note_argument(name);
    return false;
  }
  if (v < 0 || static_cast<unsigned long>(v) > 0xFFFFFFFFul) {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    note_argument(name);
    return false;
  }
  out = static_cast<std::uint32_t>(v);
  return true;
}

// Is the type numpy's boolean scalar type?
bool is_numpy_bool(PyObject* obj) {
  PyObject* module = PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__module__");
  if (module == nullptr) {
    PyErr_Clear();
    return false;
  }
  bool numpy = PyUnicode_Check(module) && PyUnicode_CompareWithASCIIString(module, "numpy") == 0;
  Py_DECREF(module);
  if (!numpy) return false;
  std::string name = type_name(obj);
  return name == "bool_" || name == "bool";
}

bool convert_field(PyObject* obj, const char* name, bool& out) {
  if (Py_IS_TYPE(obj, &PyBool_Type)) {
    out = obj == Py_True;
    return true;
  }
  if (!is_numpy_bool(obj)) {
    raise_not_instance(obj, "bool");
    note_argument(name);
    return false;
  }
  PyObject* method = PyObject_GetAttrString(obj, "__bool__");
  if (method == nullptr) {
    PyErr_Clear();
    std::string msg = "object of type '" + type_name(obj) + "' does not define a '__bool__' conversion";
    PyErr_SetString(PyExc_TypeError, msg.c_str());
    note_argument(name);
    return false;
  }
  PyObject* result = PyObject_CallNoArgs(method);
  Py_DECREF(method);
  if (result == nullptr || !Py_IS_TYPE(result, &PyBool_Type)) {
    if (result != nullptr) raise_not_instance(result, "bool");
    Py_XDECREF(result);
    note_argument(name);
    return false;
  }
  out = result == Py_True;
  Py_DECREF(result);
  return true;
}

bool convert_field(PyObject* obj, const char*, json::Value& out) {
  auto value = to_json_value(obj);
  if (!value) {
    raise_convert_error(value.error());
    return false;
  }
  out = std::move(*value);
  return true;
}

// The keyword-only names of a variant's fields, in order.
template <class V>
struct FactoryNames {
  static constexpr std::size_t kCount = std::tuple_size_v<decltype(V::kFields)>;
  std::array<std::string, kCount> storage;
  std::array<const char*, kCount> names;
  FactoryNames() {
    for_each_field(V::kFields, [&](const auto& field, std::size_t i) {
      storage[i] = std::string(field.name);
      names[i] = storage[i].c_str();
    });
  }
};

template <class V>
PyObject* factory(const char* func_name, PyObject* const* args, Py_ssize_t nargs,
                  PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    static const FactoryNames<V> names;
    constexpr int kCount = static_cast<int>(FactoryNames<V>::kCount);
    const Signature sig{func_name, nullptr, 0, 0, names.names.data(), kCount};
    PyObject* bound[kCount];
    if (!bind(sig, args, nargs, kwnames, bound)) return nullptr;
    V event{};
    bool ok = true;
    for_each_field(V::kFields, [&](const auto& field, std::size_t i) {
      ok = ok && convert_field(bound[i], names.names[i], event.*(field.member));
    });
    if (!ok) return nullptr;
    return new_event_object(AgentEvent(std::move(event)));
  });
}

#define TALLYVOX_FACTORY(fn, Variant)                                                  \
  PyObject* fn(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) { \
    return factory<Variant>(#fn "()", args, nargs, kwnames);                           \
  }

TALLYVOX_FACTORY(session_started, SessionStarted)
TALLYVOX_FACTORY(utterance_captured, UtteranceCaptured)
TALLYVOX_FACTORY(tool_called, ToolCalled)
TALLYVOX_FACTORY(tool_returned, ToolReturned)
TALLYVOX_FACTORY(model_invoked, ModelInvoked)
TALLYVOX_FACTORY(utterance_spoken, UtteranceSpoken)
TALLYVOX_FACTORY(session_ended, SessionEnded)
#undef TALLYVOX_FACTORY

PyObject* from_dict(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    static const char* const positional[] = {"value"};
    static const Signature sig{"from_dict()", positional, 1, 1, nullptr, 0};
    PyObject* value;
    if (!bind(sig, args, nargs, kwnames, &value)) return nullptr;
    auto converted = to_json_value(value);
    if (!converted) return raise_convert_error(converted.error());
    auto event = event_from_json_value(*converted);
    if (!event) return raise_signing_error(display(SealError{std::move(event.error())}));
    return new_event_object(std::move(*event));
  });
}

constexpr int kFlags = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef functions[] = {
    {"session_started", fastcall<session_started>(), kFlags,
     "session_started(*, agent_id, model_id, session_id)\n--\n\n"},
    {"utterance_captured", fastcall<utterance_captured>(), kFlags,
     "utterance_captured(*, audio_sha256, transcript, lang, duration_ms)\n--\n\n"},
    {"tool_called", fastcall<tool_called>(), kFlags,
     "tool_called(*, tool_name, args_sha256, args_redacted)\n--\n\n"},
    {"tool_returned", fastcall<tool_returned>(), kFlags,
     "tool_returned(*, tool_name, result_sha256, latency_ms, success)\n--\n\n"},
    {"model_invoked", fastcall<model_invoked>(), kFlags,
     "model_invoked(*, model_id, prompt_sha256, response_sha256, prompt_tokens, "
     "response_tokens)\n--\n\n"},
    {"utterance_spoken", fastcall<utterance_spoken>(), kFlags,
     "utterance_spoken(*, text_sha256, text, audio_sha256)\n--\n\n"},
    {"session_ended", fastcall<session_ended>(), kFlags,
     "session_ended(*, reason, summary_sha256)\n--\n\n"},
    {"from_dict", fastcall<from_dict>(), kFlags,
     "from_dict(value)\n--\n\nRebuild an AgentEvent from its tagged `{\"type\", \"payload\"}` "
     "mapping. Rejects\nany shape that is not one of the seven core variants."},
};

PyObject* event_class = nullptr;

}  // namespace

PyTypeObject* event_type() {
  return reinterpret_cast<PyTypeObject*>(create_class_once(&event_class, &event_spec));
}

const AgentEvent& event_of(PyObject* obj) { return held<AgentEvent>(obj); }

int add_event_api(PyObject* events) {
  return add_class_and_functions(events, "AgentEvent", event_type(), functions);
}

}  // namespace tallyvox::py
