// The way back after a crash: a process killed while appending can leave a
// torn final line (no LF, not a record). Recovery takes that line aside into
// a file of its own and cuts the ledger after its last LF; anything else
// wrong with a ledger is left for a person to judge.
#pragma once

#include <cstdint>
#include <expected>
#include <functional>
#include <string>

#include "core/ledger/ledger.h"
#include "core/ledger/signed.h"
#include "core/util/error.h"

namespace tallyvox {

// What reading a ledger's complete lines found.
struct LedgerScan {
  std::uint64_t kept_records = 0;
  std::uint64_t kept_bytes = 0;  // through the last LF; the whole file when nothing is torn
  std::string torn;              // the final line, when it has no LF and is not a record
};

// A ledger that is damaged beyond a torn final line, or cannot be read.
struct ScanError {
  LedgerError error;
  std::uint64_t line = 0;  // the line at fault, from 1; 0 when reading failed
};
std::string display(const ScanError& e);

// Reads the ledger at `path` line by line with the ledger reader's rules,
// handing each record to `on_record` in file order. Every line that ends
// with an LF must read; only a final line without one may fail, and is then
// returned as torn. A missing file is an error, not an empty ledger.
std::expected<LedgerScan, ScanError> scan_ledger(
    const std::string& path, const std::function<void(SignedEvent&&)>& on_record,
    const ReadOptions& options = {});

struct Recovery {
  std::uint64_t kept_records = 0;
  std::uint64_t kept_bytes = 0;
  std::uint64_t removed_bytes = 0;
  std::string torn_path;  // where the torn line went; empty when nothing was torn
};

// Copies a torn final line to `<path>.torn-<UTC time>` (flushed, with its
// directory), then cuts the ledger after its last LF and flushes it. An
// intact ledger is left as it is; any other damage is an error and nothing
// is changed. Refused (Held) while a writer holds the ledger; the writer
// lock is held throughout, so no writer opens it meanwhile.
std::expected<Recovery, ScanError> recover_ledger(const std::string& path);

}  // namespace tallyvox
