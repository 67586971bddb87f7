// How the module's ledger reads are bounded and interrupted: the longest
// line they take (a process-wide default the package sets, or an argument),
// and a signal check that lets Python's handlers run in the middle of a long
// read, so that Ctrl-C stops it.
#pragma once

#include <cstddef>

#include "core/ledger/ledger.h"
#include "module/py.h"

namespace tallyvox::py {

// The line limit of reads that are given none; the package sets it once,
// from its environment, through `_native.set_max_line_bytes`.
std::size_t default_max_line_bytes();

// The optional `max_line_bytes` argument: None for the default, else an
// integer of at least 1. False with an exception set.
bool arg_max_line_bytes(PyObject* obj, std::size_t* out);

// A check for core reads that run inside `without_gil` on this thread. On
// the main thread, the only one where Python runs signal handlers, it takes
// the GIL back every 50 ms, and after each read a signal interrupted, and
// runs the handlers; one that raises (KeyboardInterrupt) stops the read and
// its exception stays set. Elsewhere it never stops anything.
KeepReading signal_check();

// What a read of the module uses: the limit and the signal check.
ReadOptions read_options(std::size_t max_line_bytes = default_max_line_bytes());

// The same for the tree walks of the checkpoint functions, which read and
// check seals on every core this process may use.
ReadOptions walk_options();

// True when a signal handler raised during the read that just failed: its
// exception, already set, is the call's outcome.
inline bool handler_raised() { return PyErr_Occurred() != nullptr; }

// OSError for a core I/O error: the errno's subclass with the path, or
// OSError(text) for the core's own texts ("not a regular file (a FIFO)").
PyObject* raise_os_error(const IoError& error, const std::string& path);

int add_reading_native(PyObject* native);  // set_max_line_bytes, read_regular_file

}  // namespace tallyvox::py
