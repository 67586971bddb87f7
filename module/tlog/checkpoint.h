// Checkpoints as the package receives them from the extension: (0, value)
// when the checks hold, (1, reason) when one does not, (2, message) for a
// malformed or unreadable input; a checkpoint is (origin, size, root, note).
#pragma once

#include <string_view>

#include "core/tlog/checkpoint.h"
#include "module/ledger/reading.h"
#include "module/py.h"

namespace tallyvox::py {

// (origin, size, root, note)
PyObject* checkpoint_tuple(const Checkpoint& c, std::string_view note);

// (0, value) with the value taken over, or (kind, message); or the
// exception a signal handler raised while the ledger was read.
template <class T, class F>
PyObject* outcome(CheckpointResult<T>&& result, F&& to_python) {
  if (!result && handler_raised()) return nullptr;
  if (!result) {
    return Py_BuildValue("(is#)", static_cast<int>(result.error().kind), result.error().message.data(),
                         static_cast<Py_ssize_t>(result.error().message.size()));
  }
  PyObject* value = to_python(*result);
  if (value == nullptr) return nullptr;
  PyObject* out = Py_BuildValue("(iO)", 0, value);
  Py_DECREF(value);
  return out;
}

}  // namespace tallyvox::py
