// Cosignatures (c2sp.org/tlog-cosignature, cosignature/v1): a witness's
// timestamped Ed25519 signature of a checkpoint it has checked, carried as
// one more signature line of the checkpoint's note. The line's bytes are
// key ID (type 0x04) || u64 big-endian seconds since the epoch || signature,
// and the signed message is "cosignature/v1\ntime <seconds>\n" followed by
// the checkpoint text.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "core/crypto/ed25519.h"
#include "core/tlog/note.h"

namespace tallyvox {

class SigningKeypair;

// What the witness signs for `text` at `time`.
std::string cosignature_message(std::string_view text, std::uint64_t time);

// The signature line, with its LF, of `keypair` as witness `name`.
std::string cosign(std::string_view text, std::string_view name, const SigningKeypair& keypair,
                   std::uint64_t time);

struct CosignatureCheck {
  NoteCheck status = NoteCheck::NotSigned;
  std::uint64_t time = 0;  // when Verified: the latest of the key's lines
};

// The cosignature lines of witness `name` with `key`, judged as note lines
// are (check_key_lines): one that fails makes the whole BadSignature.
CosignatureCheck check_cosignature(const Note& note, std::string_view name, const ed25519::PublicKey& key);

}  // namespace tallyvox
