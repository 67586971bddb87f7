#include "module/crypto/keys.h"

#include <unistd.h>

#include <cstdio>
#include <string>
#include <utility>

#include "module/args.h"
#include "module/errors.h"
#include "module/module.h"
#include "module/native.h"

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

// Made once per process, like the exception classes; a UserWarning.
PyObject* warning_class = nullptr;

PyObject* key_permission_warning() {
  if (warning_class == nullptr) {
    warning_class = PyErr_NewExceptionWithDoc(
        "tallyvox.KeyPermissionWarning",
        "A secret-key file that group or others may read or write, or that another user "
        "owns.",
        PyExc_UserWarning, nullptr);
  }
  return warning_class;
}

std::string octal_mode(mode_t mode) {
  char text[16];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

// What is wrong with a key file's access and how to mend it; `shown` is the
// path as Python shows it (quoted, one line).
std::string exposed_text(const std::string& shown, const KeyFileAccess& access, uid_t me) {
  std::string text = "key file " + shown;
  bool other_owner = access.owner != me;
  if (other_owner) {
    text += " is owned by uid " + std::to_string(access.owner) + ", not by this user (uid " +
            std::to_string(me) + ")";
  }
  if ((access.mode & 077) != 0) {
    text += std::string(other_owner ? ", and" : "") +
            " may be read or written by group or others (mode " + octal_mode(access.mode) + ")";
  }
  text += "; ";
  if (other_owner) text += "chown it to uid " + std::to_string(me) + " and ";
  return text + "chmod 600 " + shown;
}

// Issues KeyPermissionWarning when someone besides this user may reach the
// key file. False with an exception set when the warning is raised as an
// error (a warnings filter) or cannot be made.
bool warn_if_exposed(const std::string& path, const KeyFileAccess& access) {
  uid_t me = ::geteuid();
  if (!exposed(access, me)) return true;
  PyObject* cls = key_permission_warning();
  if (cls == nullptr) return false;
  PyObject* decoded =
      PyUnicode_DecodeFSDefaultAndSize(path.data(), static_cast<Py_ssize_t>(path.size()));
  PyObject* shown = decoded != nullptr ? PyObject_Repr(decoded) : nullptr;
  Py_XDECREF(decoded);
  if (shown == nullptr) return false;
  Py_ssize_t n;
  const char* utf8 = PyUnicode_AsUTF8AndSize(shown, &n);
  std::string text = utf8 != nullptr ? exposed_text(std::string(utf8, n), access, me) : "";
  Py_DECREF(shown);
  if (utf8 == nullptr) return false;
  return PyErr_WarnEx(cls, text.c_str(), 1) == 0;
}

template <class Result>
PyObject* keypair_or_raise(Result&& result, const std::string& path, const KeyFileAccess& access) {
  if (!result) return raise_key_load_error(display(result.error()));
  if (!warn_if_exposed(path, access)) return nullptr;
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
    KeyFileAccess access;
    auto loaded = SigningKeypair::load(path, &access);
    return keypair_or_raise(std::move(loaded), path, access);
  });
}

PyObject* load_or_create(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    static const Signature sig{"SigningKeypair.load_or_create()", kPathParameter, 1, 1, nullptr,
                               0};
    std::string path;
    if (!path_argument(sig, args, nargs, kwnames, &path)) return nullptr;
    KeyFileAccess access;
    auto loaded = SigningKeypair::load_or_create(path, &access);
    return keypair_or_raise(std::move(loaded), path, access);
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

int add_keys_native(PyObject* native) {
  PyObject* cls = key_permission_warning();
  if (cls == nullptr) return -1;
  return PyObject_SetAttrString(native, "KeyPermissionWarning", cls);
}

int add_keypair(PyObject* module) {
  PyTypeObject* type = keypair_type();
  if (type == nullptr) return -1;
  return add_name(module, "SigningKeypair", reinterpret_cast<PyObject*>(type));
}

}  // namespace tallyvox::py
