#include "module/args.h"

#include <string>

namespace tallyvox::py {

namespace {

bool name_equals(PyObject* keyword, const char* name) {
  return PyUnicode_CompareWithASCIIString(keyword, name) == 0;
}

std::string quoted_list(const char* const* names, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) {
    if (i > 0) out += n == 2 ? " and " : (i == n - 1 ? ", and " : ", ");
    out += std::string("'") + names[i] + "'";
  }
  return out;
}

bool raise_missing(const Signature& sig, const char* kind, const char* const* names, int n) {
  std::string msg = std::string(sig.name) + " missing " + std::to_string(n) + " required " + kind +
                    (n == 1 ? " argument: " : " arguments: ") + quoted_list(names, n);
  PyErr_SetString(PyExc_TypeError, msg.c_str());
  return false;
}

bool raise_too_many(const Signature& sig, Py_ssize_t given) {
  std::string msg = std::string(sig.name) + " takes ";
  if (sig.n_required < sig.n_positional) {
    msg += "from " + std::to_string(sig.n_required) + " to ";
  }
  msg += std::to_string(sig.n_positional) + " positional arguments but " + std::to_string(given) +
         (given == 1 ? " was given" : " were given");
  PyErr_SetString(PyExc_TypeError, msg.c_str());
  return false;
}

bool raise_keyword(const Signature& sig, const char* what, PyObject* keyword) {
  Py_ssize_t n;
  const char* text = PyUnicode_AsUTF8AndSize(keyword, &n);
  if (text == nullptr) return false;
  std::string msg = std::string(sig.name) + what + std::string(text, n) + "'";
  PyErr_SetString(PyExc_TypeError, msg.c_str());
  return false;
}

}  // namespace

bool bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
          PyObject** out) {
  Py_ssize_t nargs = nargsf;  // METH_FASTCALL passes the plain count
  if (nargs > sig.n_positional) return raise_too_many(sig, nargs);
  for (int i = 0; i < sig.size(); ++i) out[i] = nullptr;
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];

  Py_ssize_t nkw = kwnames != nullptr ? PyTuple_Size(kwnames) : 0;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* keyword = PyTuple_GetItem(kwnames, k);
    int slot = -1;
    for (int i = 0; i < sig.n_positional && slot < 0; ++i) {
      if (name_equals(keyword, sig.positional[i])) slot = i;
    }
    for (int i = 0; i < sig.n_keyword_only && slot < 0; ++i) {
      if (name_equals(keyword, sig.keyword_only[i])) slot = sig.n_positional + i;
    }
    if (slot < 0) return raise_keyword(sig, " got an unexpected keyword argument '", keyword);
    if (out[slot] != nullptr) {
      return raise_keyword(sig, " got multiple values for argument '", keyword);
    }
    out[slot] = args[nargs + k];
  }

  const char* missing[16];
  int n_missing = 0;
  for (int i = 0; i < sig.n_required; ++i) {
    if (out[i] == nullptr && n_missing < 16) missing[n_missing++] = sig.positional[i];
  }
  if (n_missing > 0) return raise_missing(sig, "positional", missing, n_missing);
  for (int i = 0; i < sig.n_keyword_only - sig.n_keyword_optional; ++i) {
    if (out[sig.n_positional + i] == nullptr && n_missing < 16) {
      missing[n_missing++] = sig.keyword_only[i];
    }
  }
  if (n_missing > 0) return raise_missing(sig, "keyword", missing, n_missing);
  return true;
}

void note_argument(const char* name) {
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  if (value != nullptr) {
    std::string note = std::string("while processing '") + name + "'";
    PyObject* result = PyObject_CallMethod(value, "add_note", "s", note.c_str());
    if (result == nullptr) PyErr_Clear();  // no add_note: raise without the note
    Py_XDECREF(result);
    if (tb != nullptr) PyException_SetTraceback(value, tb);
  }
  PyErr_Restore(type, value, tb);
}

std::string type_name(PyObject* obj) {
  std::string out = "object";
  if (PyObject* name = PyType_GetName(Py_TYPE(obj))) {
    Py_ssize_t n;
    if (const char* s = PyUnicode_AsUTF8AndSize(name, &n)) out.assign(s, n);
    Py_DECREF(name);
  }
  PyErr_Clear();
  return out;
}

std::string not_instance_message(PyObject* obj, const char* expected) {
  std::string msg = "'";
  msg += type_name(obj);
  msg += "' object is not an instance of '";
  msg += expected;
  msg += "'";
  return msg;
}

void raise_not_instance(PyObject* obj, const char* expected) {
  PyErr_SetString(PyExc_TypeError, not_instance_message(obj, expected).c_str());
}

bool arg_u64(PyObject* obj, const char* name, std::uint64_t* out) {
  unsigned long long v;
  if (PyLong_Check(obj)) {
    v = PyLong_AsUnsignedLongLong(obj);
  } else {
    PyObject* index = PyNumber_Index(obj);
    if (index == nullptr) {
      note_argument(name);
      return false;
    }
    v = PyLong_AsUnsignedLongLong(index);
    Py_DECREF(index);
  }
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    note_argument(name);
    return false;
  }
  *out = v;
  return true;
}

bool arg_text(PyObject* obj, const char* name, std::string_view* out) {
  if (!PyUnicode_Check(obj)) {
    raise_not_instance(obj, "str");
    note_argument(name);
    return false;
  }
  Py_ssize_t n;
  const char* s = PyUnicode_AsUTF8AndSize(obj, &n);
  if (s == nullptr) {
    note_argument(name);
    return false;
  }
  *out = std::string_view(s, static_cast<std::size_t>(n));
  return true;
}

bool arg_path(PyObject* obj, const char* name, std::string* out) {
  PyObject* path = PyOS_FSPath(obj);
  if (path == nullptr) {
    note_argument(name);
    return false;
  }
  if (!PyUnicode_Check(path)) {
    raise_not_instance(path, "str");
    Py_DECREF(path);
    note_argument(name);
    return false;
  }
  PyObject* encoded = PyUnicode_EncodeFSDefault(path);
  Py_DECREF(path);
  if (encoded == nullptr) {
    note_argument(name);
    return false;
  }
  char* bytes;
  Py_ssize_t n;
  PyBytes_AsStringAndSize(encoded, &bytes, &n);
  out->assign(bytes, static_cast<std::size_t>(n));
  Py_DECREF(encoded);
  return true;
}

PyObject* arg_instance(PyObject* obj, const char* name, PyTypeObject* type,
                       const char* type_name) {
  if (Py_IS_TYPE(obj, type)) return obj;
  if (obj == Py_None) {
    std::string msg = std::string("'None' is not an instance of '") + type_name + "'";
    PyErr_SetString(PyExc_TypeError, msg.c_str());
  } else {
    raise_not_instance(obj, type_name);
  }
  note_argument(name);
  return nullptr;
}

}  // namespace tallyvox::py
