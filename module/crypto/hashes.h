// Hashes and byte strings between Python and the core: shared by the
// checkpoint and witness entry points.
#pragma once

#include <string_view>
#include <vector>

#include "core/crypto/sha256.h"
#include "module/args.h"
#include "module/py.h"

namespace tallyvox::py {

PyObject* new_bytes(const Digest& d);

// A list of bytes objects, one per hash; nullptr with an exception set.
PyObject* hash_list(const std::vector<Digest>& hashes);

// Conversions of one argument, with the argument note on failure.
bool arg_bytes(PyObject* obj, const char* name, std::string_view* out);
bool arg_hash(PyObject* obj, const char* name, Digest* out);
bool arg_hashes(PyObject* seq, const char* name, std::vector<Digest>* out);

// Each item of a sequence through `take`, which returns false with an
// exception set to stop.
template <class F>
bool for_each_item(PyObject* seq, const char* name, F&& take) {
  Py_ssize_t n = PySequence_Size(seq);
  if (n < 0) {
    note_argument(name);
    return false;
  }
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = PySequence_GetItem(seq, i);
    bool ok = item != nullptr && take(item);
    Py_XDECREF(item);
    if (!ok) return false;
  }
  return true;
}

}  // namespace tallyvox::py
