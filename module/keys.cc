#include "module/keys.h"

#include <string>
#include <utility>

#include "module/args.h"
#include "module/errors.h"
#include "module/module.h"

namespace tallyvox::py {

namespace {

SigningKeypair* stored(PyObject* self) { return &held<SigningKeypair>(self); }

PyObject* wrap(SigningKeypair&& keypair) { return new_holder(keypair_type(), std::move(keypair)); }

// Binds and converts the single `path` argument of `sig`.
bool path_argument(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames, std::string* path) {
  PyObject* bound;
  if (!bind(sig, args, nargs, kwnames, &bound)) return false;
  return arg_path(bound, "path", path);
}

const char* const kPathParameter[] = {"path"};

template <class Result>
PyObject* keypair_or_raise(Result&& result) {
  if (!result) return raise_key_load_error(display(result.error()));
  return wrap(std::move(*result));
}

PyObject* generate(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    static const Signature sig{"SigningKeypair.generate()", nullptr, 0, 0, nullptr, 0};
    PyObject* unused[1];
    if (!bind(sig, args, nargs, kwnames, unused)) return nullptr;
    return wrap(SigningKeypair::generate());
  });
}

PyObject* load(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    static const Signature sig{"SigningKeypair.load()", kPathParameter, 1, 1, nullptr, 0};
    std::string path;
    if (!path_argument(sig, args, nargs, kwnames, &path)) return nullptr;
    return keypair_or_raise(SigningKeypair::load(path));
  });
}

PyObject* load_or_create(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    static const Signature sig{"SigningKeypair.load_or_create()", kPathParameter, 1, 1, nullptr,
                               0};
    std::string path;
    if (!path_argument(sig, args, nargs, kwnames, &path)) return nullptr;
    return keypair_or_raise(SigningKeypair::load_or_create(path));
  });
}

PyObject* save(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    static const Signature sig{"SigningKeypair.save()", kPathParameter, 1, 1, nullptr, 0};
    std::string path;
    if (!path_argument(sig, args, nargs, kwnames, &path)) return nullptr;
    if (auto saved = stored(self)->save(path); !saved) {
      return raise_key_load_error(display(saved.error()));
    }
    Py_RETURN_NONE;
  });
}

PyObject* pubkey_hex(PyObject* self, void*) {
  return guard([&]() -> PyObject* {
    return new_text(stored(self)->pubkey_hex());
  });
}

PyObject* repr(PyObject* self) {
  return guard([&]() -> PyObject* {
    return new_text("SigningKeypair(pubkey_hex='" + stored(self)->pubkey_hex() + "')");
  });
}

PyMethodDef methods[] = {
    {"generate", fastcall<generate>(), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "generate()\n--\n\nGenerate a fresh Ed25519 keypair from the OS RNG."},
    {"load", fastcall<load>(), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "load(path)\n--\n\nLoad a keypair from a 32-byte secret-key file."},
    {"load_or_create", fastcall<load_or_create>(), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "load_or_create(path)\n--\n\nLoad the keypair at `path`, or generate and persist one if "
     "absent."},
    {"save", fastcall<save>(), METH_FASTCALL | METH_KEYWORDS,
     "save($self, path)\n--\n\nPersist the 32-byte secret key to `path` (0600 on unix)."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getset[] = {
    {"pubkey_hex", pubkey_hex, nullptr, "The 64-hex-character Ed25519 public key.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_repr, reinterpret_cast<void*>(repr)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_holder<SigningKeypair>)},
    {Py_tp_methods, methods},
    {Py_tp_getset, getset},
    {0, nullptr},
};

PyType_Spec type_spec = {
    "builtins.SigningKeypair",
    static_cast<int>(sizeof(Holder<SigningKeypair>)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    slots,
};

}  // namespace

PyTypeObject* keypair_type() {
  static PyObject* type = nullptr;
  return reinterpret_cast<PyTypeObject*>(create_class_once(&type, &type_spec));
}

const SigningKeypair* keypair_of(PyObject* obj) {
  PyTypeObject* type = keypair_type();
  if (type == nullptr) {
    PyErr_Clear();
    return nullptr;
  }
  return Py_IS_TYPE(obj, type) ? stored(obj) : nullptr;
}

int add_keypair(PyObject* module) {
  PyTypeObject* type = keypair_type();
  if (type == nullptr) return -1;
  return add_name(module, "SigningKeypair", reinterpret_cast<PyObject*>(type));
}

}  // namespace tallyvox::py
