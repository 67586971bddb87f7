// The module's private namespace `_tallyvox._native`: native entry points of
// the tallyvox package that are not among the seventeen public attributes.
// The package wraps them under their public names.
#pragma once

#include <span>

#include "module/py.h"

namespace tallyvox::py {

// Builds the namespace and sets it as the attribute `_native` of `module`,
// outside __all__.
int add_native(PyObject* module);

// Adds the built-in functions of a table to the namespace, without touching
// any __all__.
int add_native_functions(PyObject* native, std::span<PyMethodDef> defs);

// One line per subsystem that adds to the namespace.
int add_ledger_native(PyObject* native);  // read_ledger, read_verified
int add_recover_native(PyObject* native);  // recover_ledger, verify_kept_lines
int add_checkpoint_native(PyObject* native);  // checkpoints, proofs, the Merkle tree
int add_fleet_native(PyObject* native);   // usable_cores, verify_file_jobs, verify_stream
int add_keys_native(PyObject* native);    // KeyPermissionWarning
int add_witness_native(PyObject* native);  // verifier keys, cosignatures, add-checkpoint
int add_build_info_native(PyObject* native);  // build_info
int add_session_native(PyObject* native);  // record_batches

// The `jobs` argument of a walk: at least 1; more than the walk can use
// are capped. False with an exception set.
bool arg_jobs(PyObject* obj, unsigned* out);

}  // namespace tallyvox::py
