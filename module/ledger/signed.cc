#include "module/ledger/signed.h"

#include <string>
#include <utility>

#include "core/crypto/hex.h"
#include "module/args.h"
#include "module/convert.h"
#include "module/crypto/keys.h"
#include "module/errors.h"
#include "module/ledger/events.h"
#include "module/module.h"

namespace tallyvox::py {

namespace {

const SignedEvent& record_of(PyObject* self) { return held<SignedEvent>(self); }

PyObject* signed_repr(PyObject* self) {
  return guard([&]() -> PyObject* {
    const SignedEvent& r = record_of(self);
    std::string out = "SignedEvent(seq=" + std::to_string(r.seq) + ", self_hash='";
    out += r.self_hash;
    out += "')";
    return new_text(out);
  });
}

PyObject* get_seq(PyObject* self, void*) { return PyLong_FromUnsignedLongLong(record_of(self).seq); }
PyObject* get_timestamp(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(record_of(self).timestamp_nanos);
}
PyObject* get_parent_hash(PyObject* self, void*) { return new_text(record_of(self).parent_hash); }
PyObject* get_self_hash(PyObject* self, void*) { return new_text(record_of(self).self_hash); }
PyObject* get_signature(PyObject* self, void*) { return new_text(record_of(self).signature); }
PyObject* get_signer_pubkey(PyObject* self, void*) { return new_text(record_of(self).signer_pubkey); }

PyObject* get_event(PyObject* self, void*) {
  return guard([&]() -> PyObject* {
    auto value = to_python_value(event_to_json_value(record_of(self).event));
    if (!value) return raise_signing_error(value.error());
    return *value;
  });
}

PyObject* to_json(PyObject* self, PyObject*) {
  return guard([&]() -> PyObject* {
    Buffer line(128);
    write_line(line, record_of(self));
    return PyUnicode_FromStringAndSize(line.data(), static_cast<Py_ssize_t>(line.size()));
  });
}

PyGetSetDef signed_getset[] = {
    {"seq", get_seq, nullptr, nullptr, nullptr},
    {"timestamp_nanos", get_timestamp, nullptr, nullptr, nullptr},
    {"event", get_event, nullptr, "The event as its tagged `{\"type\", \"payload\"}` mapping.",
     nullptr},
    {"parent_hash", get_parent_hash, nullptr, nullptr, nullptr},
    {"self_hash", get_self_hash, nullptr, nullptr, nullptr},
    {"signature", get_signature, nullptr, nullptr, nullptr},
    {"signer_pubkey", get_signer_pubkey, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef signed_methods[] = {
    {"to_json", to_json, METH_NOARGS,
     "to_json($self)\n--\n\nThe exact NDJSON ledger line bytes for this event, as a `str`. The "
     "text is byte-for-byte\nthe line the ledger writer appends for this record, without its "
     "line feed."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot signed_slots[] = {
    {Py_tp_doc,
     const_cast<char*>("Read-only view of a sealed, signed event. Construct via Session.record or\n"
                       "sign_event; the fields are not settable from Python.")},
    {Py_tp_repr, reinterpret_cast<void*>(signed_repr)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_holder<SignedEvent>)},
    {Py_tp_getset, signed_getset},
    {Py_tp_methods, signed_methods},
    {0, nullptr},
};

PyType_Spec signed_spec = {
    "builtins.SignedEvent", sizeof(Holder<SignedEvent>), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, signed_slots,
};

PyObject* signed_class = nullptr;

PyObject* sign_event(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    static const char* const keywords[] = {"event", "seq", "parent_hash", "keypair"};
    static const Signature sig{"sign_event()", nullptr, 0, 0, keywords, 4};
    PyObject* a[4];
    if (!bind(sig, args, nargs, kwnames, a)) return nullptr;
    PyTypeObject* ev_type = event_type();
    PyTypeObject* kp_type = ev_type != nullptr ? keypair_type() : nullptr;
    if (kp_type == nullptr) return nullptr;
    std::uint64_t seq;
    std::string_view parent_hash;
    if (!arg_instance(a[0], "event", ev_type, "AgentEvent") || !arg_u64(a[1], "seq", &seq) ||
        !arg_text(a[2], "parent_hash", &parent_hash) ||
        !arg_instance(a[3], "keypair", kp_type, "SigningKeypair")) {
      return nullptr;
    }
    return new_signed_event_object(
        seal_event(seq, event_of(a[0]), parent_hash, *keypair_of(a[3])));
  });
}

PyObject* compute_self_hash_py(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    static const char* const keywords[] = {"seq", "timestamp_nanos", "event", "parent_hash"};
    static const Signature sig{"compute_self_hash()", nullptr, 0, 0, keywords, 4};
    PyObject* a[4];
    if (!bind(sig, args, nargs, kwnames, a)) return nullptr;
    PyTypeObject* ev_type = event_type();
    if (ev_type == nullptr) return nullptr;
    std::uint64_t seq, timestamp;
    std::string_view parent_hash;
    if (!arg_u64(a[0], "seq", &seq) || !arg_u64(a[1], "timestamp_nanos", &timestamp) ||
        !arg_instance(a[2], "event", ev_type, "AgentEvent") ||
        !arg_text(a[3], "parent_hash", &parent_hash)) {
      return nullptr;
    }
    Digest digest = compute_self_hash(seq, timestamp, event_of(a[2]), parent_hash);
    return new_text(hex_encode(digest.data(), digest.size()));
  });
}

PyMethodDef functions[] = {
    {"sign_event", fastcall<sign_event>(), METH_FASTCALL | METH_KEYWORDS,
     "sign_event(*, event, seq, parent_hash, keypair)\n--\n\nLow-level escape hatch: seal one "
     "event against a caller-managed parent hash\nand seq. Most callers use Session, which "
     "manages seq and parent chaining."},
    {"compute_self_hash", fastcall<compute_self_hash_py>(), METH_FASTCALL | METH_KEYWORDS,
     "compute_self_hash(*, seq, timestamp_nanos, event, parent_hash)\n--\n\nCompute the "
     "self_hash hex for `(seq, timestamp_nanos, event, parent_hash)`\nwithout signing. Exposed "
     "for verifier implementations and byte-compat tests."},
};

}  // namespace

PyTypeObject* signed_type() {
  return reinterpret_cast<PyTypeObject*>(create_class_once(&signed_class, &signed_spec));
}

const SignedEvent& signed_of(PyObject* obj) { return record_of(obj); }

PyObject* new_signed_event_object(SignedEvent&& record) {
  return new_holder(signed_type(), std::move(record));
}

int add_signed_api(PyObject* module) {
  return add_class_and_functions(module, "SignedEvent", signed_type(), functions);
}

}  // namespace tallyvox::py
