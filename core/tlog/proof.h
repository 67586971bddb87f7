// The inclusion proof file (c2sp.org/tlog-proof): the disclosed entry, its
// index, its audit path and the checkpoint the path leads to.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <vector>

#include "core/crypto/sha256.h"

namespace tallyvox {

inline constexpr std::string_view kProofHeader = "c2sp.org/tlog-proof@v1";

struct ProofFile {
  std::string extra;  // the disclosed ledger line, without its LF
  std::uint64_t index = 0;
  std::vector<Digest> path;  // from the leaf's sibling up
  std::string checkpoint;  // the signed note, verbatim
};

std::string format_proof(const ProofFile& proof);

// The next line of `text` without its LF, advancing past it: printable ASCII
// only. Shared by the proof file and the witness's add-checkpoint body.
std::expected<std::string_view, std::string> next_proof_line(std::string_view& text);

// Base64 hashes of 32 bytes, one a line, at most 63, up to and past an empty
// line.
std::expected<std::vector<Digest>, std::string> read_hash_lines(std::string_view& text);

// Strict: the header, "extra <base64>", "index <decimal>" without leading
// zeros, at most 63 hashes of 32 bytes in base64, an empty line, then the
// checkpoint (read separately as a note). No CR or other control character
// before the checkpoint.
std::expected<ProofFile, std::string> parse_proof(std::string_view text);

}  // namespace tallyvox
