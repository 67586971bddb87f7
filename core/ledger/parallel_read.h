// A ledger read on several threads: the file is cut into runs of whole lines
// (core/ledger/line_chunks.h) that worker threads read into records, checking each
// record's seal on the way; the calling thread takes the records back in
// file order. It reads what read_ledger reads and fails as read_ledger
// fails, with the same errors, whatever the threads and the runs.
#pragma once

#include <cstdint>
#include <expected>
#include <functional>
#include <optional>
#include <string>

#include "core/ledger/ledger.h"
#include "core/ledger/signed.h"
#include "core/util/error.h"

namespace tallyvox {

// A record, in file order, with seal_fault's outcome for it (core/ledger/chain.h).
// Returns whether later records still need their seals checked: false once
// the walk has stopped, so that the threads stop checking them.
using OnSealedRecord =
    std::function<bool(SignedEvent&& record, const std::optional<std::string>& fault)>;

// Reads the ledger at `path` as read_ledger does, on `options.jobs` threads
// (at least one). Threads that cannot start are the error ThreadStartError,
// before anything is read. At most a few runs per thread are in memory at
// once; `options.keep_reading` is asked on the calling thread, also while it
// waits for the threads.
std::expected<void, LedgerError> read_ledger_parallel(const std::string& path,
                                                      const ReadOptions& options,
                                                      const OnSealedRecord& on_record);

// The threads this process may run on (its CPU affinity), at least one.
unsigned usable_cores();

}  // namespace tallyvox
