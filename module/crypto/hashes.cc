#include "module/crypto/hashes.h"

#include <cstring>

namespace tallyvox::py {

PyObject* new_bytes(const Digest& d) {
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(d.data()), static_cast<Py_ssize_t>(d.size()));
}

PyObject* hash_list(const std::vector<Digest>& hashes) {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(hashes.size()));
  for (std::size_t i = 0; list != nullptr && i < hashes.size(); ++i) {
    PyObject* item = new_bytes(hashes[i]);
    if (item == nullptr) {
      Py_CLEAR(list);
      break;
    }
    PyList_SetItem(list, static_cast<Py_ssize_t>(i), item);
  }
  return list;
}

bool arg_bytes(PyObject* obj, const char* name, std::string_view* out) {
  char* data;
  Py_ssize_t n;
  if (!PyBytes_Check(obj) || PyBytes_AsStringAndSize(obj, &data, &n) != 0) {
    if (!PyErr_Occurred()) raise_not_instance(obj, "bytes");
    note_argument(name);
    return false;
  }
  *out = std::string_view(data, static_cast<std::size_t>(n));
  return true;
}

bool arg_hash(PyObject* obj, const char* name, Digest* out) {
  std::string_view bytes;
  if (!arg_bytes(obj, name, &bytes)) return false;
  if (bytes.size() != out->size()) {
    PyErr_Format(PyExc_ValueError, "a hash is 32 bytes, not %zd", static_cast<Py_ssize_t>(bytes.size()));
    note_argument(name);
    return false;
  }
  std::memcpy(out->data(), bytes.data(), out->size());
  return true;
}

bool arg_hashes(PyObject* seq, const char* name, std::vector<Digest>* out) {
  return for_each_item(seq, name, [&](PyObject* item) {
    Digest d;
    if (!arg_hash(item, name, &d)) return false;
    out->push_back(d);
    return true;
  });
}

}  // namespace tallyvox::py
