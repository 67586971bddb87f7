// Witnesses for tallyvox.witness: verifier keys, cosigning, the log's side
// of add-checkpoint checked before the witness's state is consulted, and
// the cosignatures a note carries.
#include <string>
#include <string_view>
#include <vector>

#include "core/tlog/cosignature.h"
#include "core/tlog/vkey.h"
#include "core/tlog/witness_request.h"
#include "module/args.h"
#include "module/crypto/hashes.h"
#include "module/crypto/keys.h"
#include "module/errors.h"
#include "module/module.h"
#include "module/native.h"

namespace tallyvox::py {

namespace {

bool arg_type(PyObject* obj, unsigned char* out) {
  std::uint64_t type;
  if (!arg_u64(obj, "type", &type)) return false;
  if (type > 0xFF) {
    PyErr_SetString(PyExc_ValueError, "a key type is one byte");
    note_argument("type");
    return false;
  }
  *out = static_cast<unsigned char>(type);
  return true;
}

bool arg_vkey(PyObject* obj, const char* name, Vkey* out) {
  std::string_view text;
  if (!arg_text(obj, name, &text)) return false;
  auto vkey = parse_vkey(text);
  if (!vkey) {
    PyErr_SetString(PyExc_ValueError, vkey.error().c_str());
    note_argument(name);
    return false;
  }
  *out = std::move(*vkey);
  return true;
}

// (old_size, proof, origin, size, root, text, note)
PyObject* request_tuple(const AddCheckpoint& r) {
  PyObject* proof = hash_list(r.proof);
  PyObject* origin = proof != nullptr ? new_text(r.checkpoint.origin) : nullptr;
  PyObject* root = origin != nullptr ? new_bytes(r.checkpoint.root) : nullptr;
  PyObject* text = root != nullptr ? new_text(r.parsed.text) : nullptr;
  PyObject* note = text != nullptr ? new_text(r.note) : nullptr;
  PyObject* out = note != nullptr ? Py_BuildValue("(KOOKOOO)", static_cast<unsigned long long>(r.old_size), proof,
                                                  origin, static_cast<unsigned long long>(r.checkpoint.size),
                                                  root, text, note)
                                  : nullptr;
  Py_XDECREF(proof);
  Py_XDECREF(origin);
  Py_XDECREF(root);
  Py_XDECREF(text);
  Py_XDECREF(note);
  return out;
}

// The keys `logs` holds for `origin`; none when it has no such item.
bool log_keys(PyObject* logs, const std::string& origin, std::vector<ed25519::PublicKey>* out) {
  PyObject* key = new_text(origin);
  if (key == nullptr) return false;
  PyObject* keys = PyObject_GetItem(logs, key);
  Py_DECREF(key);
  if (keys == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_KeyError)) return false;
    PyErr_Clear();
    return true;
  }
  bool ok = arg_hashes(keys, "logs", out);
  Py_DECREF(keys);
  return ok;
}

PyObject* parse_vkey_py(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    static const char* const positional[] = {"text"};
    static const Signature sig{"parse_vkey()", positional, 1, 1, nullptr, 0};
    PyObject* a[1];
    Vkey vkey;
    if (!bind(sig, args, nargs, kwnames, a) || !arg_vkey(a[0], "text", &vkey)) return nullptr;
    return Py_BuildValue("(s#kiy#)", vkey.name.data(), static_cast<Py_ssize_t>(vkey.name.size()),
                         static_cast<unsigned long>(vkey.key_id), static_cast<int>(vkey.type),
                         reinterpret_cast<const char*>(vkey.key.data()), static_cast<Py_ssize_t>(vkey.key.size()));
  });
}

PyObject* format_vkey_py(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    static const char* const positional[] = {"name", "public_key", "type"};
    static const Signature sig{"format_vkey()", positional, 3, 3, nullptr, 0};
    PyObject* a[3];
    std::string_view name;
    ed25519::PublicKey key;
    unsigned char type;
    if (!bind(sig, args, nargs, kwnames, a) || !arg_text(a[0], "name", &name) ||
        !arg_hash(a[1], "public_key", &key) || !arg_type(a[2], &type)) {
      return nullptr;
    }
    auto text = format_vkey(name, type, key);
    if (!text) {
      PyErr_SetString(PyExc_ValueError, text.error().c_str());
      return nullptr;
    }
    return new_text(*text);
  });
}

PyObject* read_add_checkpoint_py(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    static const char* const positional[] = {"body", "logs"};
    static const Signature sig{"read_add_checkpoint()", positional, 2, 2, nullptr, 0};
    PyObject* a[2];
    std::string_view body;
    if (!bind(sig, args, nargs, kwnames, a) || !arg_bytes(a[0], "body", &body)) return nullptr;
    auto request = parse_add_checkpoint(body);
    if (!request) {
      const std::string& reason = request.error().reason;
      return Py_BuildValue("(is#O)", request.error().status, reason.data(), static_cast<Py_ssize_t>(reason.size()),
                           Py_None);
    }
    std::vector<ed25519::PublicKey> keys;
    if (!log_keys(a[1], request->checkpoint.origin, &keys)) return nullptr;
    auto checked = check_add_checkpoint(*request, keys);
    // A 400 from the check comes after the log's signature has verified:
    // the request goes back with it, as evidence to keep.
    const int status = checked ? 0 : checked.error().status;
    const std::string reason = checked ? "" : checked.error().reason;
    if (status != 0 && status != 400) {
      return Py_BuildValue("(is#O)", status, reason.data(), static_cast<Py_ssize_t>(reason.size()), Py_None);
    }
    PyObject* tuple = request_tuple(*request);
    if (tuple == nullptr) return nullptr;
    PyObject* out = Py_BuildValue("(is#O)", status, reason.data(), static_cast<Py_ssize_t>(reason.size()), tuple);
    Py_DECREF(tuple);
    return out;
  });
}

PyObject* cosign_py(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    static const char* const positional[] = {"text", "name", "keypair", "time"};
    static const Signature sig{"cosign()", positional, 4, 4, nullptr, 0};
    PyObject* a[4];
    std::string_view text, name;
    std::uint64_t time;
    PyTypeObject* kp_type = keypair_type();
    if (kp_type == nullptr || !bind(sig, args, nargs, kwnames, a) || !arg_text(a[0], "text", &text) ||
        !arg_text(a[1], "name", &name) || !arg_instance(a[2], "keypair", kp_type, "SigningKeypair") ||
        !arg_u64(a[3], "time", &time)) {
      return nullptr;
    }
    if (auto ok = check_key_name(name); !ok) {
      PyErr_SetString(PyExc_ValueError, ("witness name: " + ok.error()).c_str());
      return nullptr;
    }
    return new_text(cosign(text, name, *keypair_of(a[2]), time));
  });
}

PyObject* check_cosignatures_py(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    static const char* const positional[] = {"note", "witnesses"};
    static const Signature sig{"check_cosignatures()", positional, 2, 2, nullptr, 0};
    PyObject* a[2];
    std::string_view text;
    std::vector<Vkey> witnesses;
    if (!bind(sig, args, nargs, kwnames, a) || !arg_text(a[0], "note", &text) ||
        !for_each_item(a[1], "witnesses", [&](PyObject* item) {
          if (!arg_vkey(item, "witnesses", &witnesses.emplace_back())) return false;
          if (witnesses.back().type == kCosignatureType) return true;
          PyErr_SetString(PyExc_ValueError, "not the key of a cosigner (type 0x04)");
          note_argument("witnesses");
          return false;
        })) {
      return nullptr;
    }
    auto note = parse_note(text);
    if (!note) return Py_BuildValue("(is#)", 2, note.error().data(), static_cast<Py_ssize_t>(note.error().size()));
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(witnesses.size()));
    for (std::size_t i = 0; list != nullptr && i < witnesses.size(); ++i) {
      CosignatureCheck check = check_cosignature(*note, witnesses[i].name, witnesses[i].key);
      PyObject* item = Py_BuildValue("(iK)", static_cast<int>(check.status), static_cast<unsigned long long>(check.time));
      if (item == nullptr) {
        Py_CLEAR(list);
        break;
      }
      PyList_SetItem(list, static_cast<Py_ssize_t>(i), item);
    }
    if (list == nullptr) return nullptr;
    PyObject* out = Py_BuildValue("(iO)", 0, list);
    Py_DECREF(list);
    return out;
  });
}

constexpr int kFlags = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef witness_defs[] = {
    {"parse_vkey", fastcall<parse_vkey_py>(), kFlags,
     "parse_vkey(text)\n--\n\nRead a verifier key: (name, key_id, type, public_key)."},
    {"format_vkey", fastcall<format_vkey_py>(), kFlags,
     "format_vkey(name, public_key, type)\n--\n\nThe verifier key of a public key under a name."},
    {"read_add_checkpoint", fastcall<read_add_checkpoint_py>(), kFlags,
     "read_add_checkpoint(body, logs)\n--\n\nRead an add-checkpoint body and check the log's "
     "signature: (status, reason, request or None)."},
    {"cosign", fastcall<cosign_py>(), kFlags,
     "cosign(text, name, keypair, time)\n--\n\nThe cosignature line of a checkpoint text."},
    {"check_cosignatures", fastcall<check_cosignatures_py>(), kFlags,
     "check_cosignatures(note, witnesses)\n--\n\nThe (status, time) of each witness's cosignature."},
};

}  // namespace

int add_witness_native(PyObject* native) {
  return add_native_functions(native, witness_defs);
}

}  // namespace tallyvox::py
