// Chain verification from Python: ChainReport, verify_chain, verify_file.
#pragma once

#include <vector>

#include "core/ledger/chain.h"
#include "module/args.h"
#include "module/py.h"

namespace tallyvox::py {

// The class, created once per process (nullptr on failure). Borrowed.
PyTypeObject* chain_report_type();
// A new ChainReport object owning `report`.
PyObject* new_chain_report_object(ChainReport&& report);
// Raises the exception of a ledger walk that could not read its input: a
// line that is not a record (or is too long to be one) is ChainError
// "malformed ledger input: …", any other failure LedgerError. An exception
// a signal handler raised meanwhile is left as it is.
PyObject* raise_walk_error(const LedgerError& error);
// The walk of a ledger file with its seals checked on `jobs` threads, its
// arguments (path, jobs, max_line_bytes) bound by `sig`: a new ChainReport,
// or nullptr with the exception set. The records read go to `records` when
// it is given.
PyObject* walk_file_jobs(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames, std::vector<SignedEvent>* records);
// Adds ChainReport, verify_chain and verify_file.
int add_verify(PyObject* module);

}  // namespace tallyvox::py
