// The add-checkpoint call of c2sp.org/tlog-witness, up to where the
// witness's state comes in: reading the body ("old <size>", the consistency
// proof in base64 lines, an empty line, the checkpoint's signed note), the
// log's signature, and the checks that need no state. The HTTP status of
// each refusal is the protocol's.
#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/crypto/ed25519.h"
#include "core/tlog/note.h"

namespace tallyvox {

struct AddCheckpoint {
  std::uint64_t old_size = 0;
  std::vector<Digest> proof;
  std::string note;  // the signed note, verbatim
  Note parsed;
  Checkpoint checkpoint;
};

struct WitnessRefusal {
  int status;  // 400, 403 or 404
  std::string reason;
};

// 400 for a body that is not an add-checkpoint request.
std::expected<AddCheckpoint, WitnessRefusal> parse_add_checkpoint(std::string_view body);

// The keys of the log named by the checkpoint's origin (empty: an unknown
// log, 404) must sign it: at least one verifies and no line of theirs fails
// (403 otherwise). Then, with the signature known to be the log's, 400 when
// the old size is beyond the checkpoint's or a proof is given where none
// may be (old size 0, or equal to the checkpoint's).
std::expected<void, WitnessRefusal> check_add_checkpoint(const AddCheckpoint& request,
                                                         std::span<const ed25519::PublicKey> log_keys);

}  // namespace tallyvox
