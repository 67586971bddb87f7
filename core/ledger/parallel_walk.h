// The chain walk of a ledger file on several threads: they read its lines
// and check its seals (core/ledger/parallel_read.h), while the calling thread links
// the records (seq, parent) in file order. The report is the one ChainWalk
// makes of the same file, and so is every error.
#pragma once

#include <expected>
#include <string>
#include <vector>

#include "core/ledger/chain.h"
#include "core/ledger/signed.h"
#include "core/util/error.h"

namespace tallyvox {

// verify_ledger_file on `jobs` threads (one job is the plain walk);
// `records`, when given, receives the records read. Threads that cannot
// start are the error ThreadStartError, before anything is read.
std::expected<ChainReport, LedgerError> verify_ledger_file_parallel(
    const std::string& path, unsigned jobs, std::vector<SignedEvent>* records = nullptr,
    const ReadOptions& options = {});

}  // namespace tallyvox
