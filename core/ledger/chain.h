// The chain walk: sequence numbers, parent links, hashes and signatures,
// checked in that order, stopping at the first break.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/ledger/ledger.h"
#include "core/ledger/signed.h"
#include "core/util/error.h"

namespace tallyvox {

struct ChainReport {
  enum class Status { Valid, Broken };
  Status status = Status::Valid;
  std::uint64_t event_count = 0;
  std::optional<std::uint64_t> broken_at;
  std::optional<std::string> reason;
  std::string root_hash;

  bool ok() const { return status == Status::Valid; }
};

// Where a walk stops, and why.
struct ChainBreak {
  std::uint64_t broken_at = 0;
  std::string reason;
};

// A record's place in the chain: its seq against its position, then its
// parent link against the self hash of the record before it.
std::optional<ChainBreak> check_link(const SignedEvent& record, std::uint64_t position,
                                     std::string_view previous);

// A record's own seal: its self hash recomputed, then its signature. The
// reason it does not hold, wherever the record stands.
std::optional<std::string> seal_fault(const SignedEvent& record, VerifierCache* cache);

// The same, as the break of the record at `position`.
std::optional<ChainBreak> check_seal(const SignedEvent& record, std::uint64_t position,
                                     VerifierCache* cache);

// Walks records one at a time, so that a ledger can be checked while it is
// read. Records after the first break are counted, not examined.
class ChainWalk {
 public:
  void add(const SignedEvent& record);
  // The same for a record whose seal was checked elsewhere (on another
  // thread): `fault` is seal_fault's outcome for it.
  void add(const SignedEvent& record, const std::optional<std::string>& fault);
  bool broken() const { return broken_at_.has_value(); }
  ChainReport finish() &&;

 private:
  template <class Fault>
  void step(const SignedEvent& record, Fault&& fault);

  std::uint64_t count_ = 0;
  std::string previous_{kGenesisParentHash};
  std::optional<std::uint64_t> broken_at_;
  std::optional<std::string> reason_;
  VerifierCache verifiers_;
};

ChainReport verify_events(const std::vector<SignedEvent>& records);

// Reads and walks a ledger file; a line that is not a record is an error,
// never a partial report.
std::expected<ChainReport, LedgerError> verify_ledger_file(const std::string& path,
                                                           const ReadOptions& options = {});

// The same, keeping the records read, in file order.
std::expected<ChainReport, LedgerError> verify_ledger_file(const std::string& path,
                                                           std::vector<SignedEvent>& records,
                                                           const ReadOptions& options = {});

}  // namespace tallyvox
