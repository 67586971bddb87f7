// Signed notes (c2sp.org/signed-note) with Ed25519 signatures, and the text
// of a transparency-log checkpoint (c2sp.org/tlog-checkpoint) they carry.
// Cosignatures (core/tlog/cosignature.h) and verifier keys (core/tlog/vkey.h) build on
// the signature lines and key IDs here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "core/crypto/ed25519.h"
#include "core/crypto/sha256.h"

namespace tallyvox {

class SigningKeypair;

inline constexpr std::size_t kMaxNoteSignatures = 16;

struct NoteSignature {
  std::string name;
  std::uint32_t key_id = 0;
  std::vector<unsigned char> signature;  // after the key ID, of any length
};

struct Note {
  std::string text;  // every line with its newline
  std::vector<NoteSignature> signatures;
};

// A key name (and a checkpoint origin): non-empty, no space, no '+', no
// control character.
std::expected<void, std::string> check_key_name(std::string_view name);

// Signature types of c2sp.org/signed-note: the type byte of a verifier key,
// hashed into its key ID.
inline constexpr unsigned char kNoteSignatureType = 0x01;  // Ed25519 over the text
inline constexpr unsigned char kCosignatureType = 0x04;    // cosignature/v1

// The first four bytes, big-endian, of SHA-256(name || LF || type || key).
std::uint32_t key_id(std::string_view name, unsigned char type, const ed25519::PublicKey& key);

// The key ID of a note signer (type 0x01).
std::uint32_t note_key_id(std::string_view name, const ed25519::PublicKey& key);

// "\u2014 name base64(key ID || rest)" and its LF.
std::string signature_line(std::string_view name, std::uint32_t id, const unsigned char* rest,
                           std::size_t n);

// The text, a blank line and one signature line by `keypair` under `name`.
std::string sign_note(std::string_view text, std::string_view name, const SigningKeypair& keypair);

// Reads a note: UTF-8 without CR or other control characters but LF, the
// text up to the last blank line, then 1 to 16 signature lines
// "\u2014 name base64(key ID || signature)".
std::expected<Note, std::string> parse_note(std::string_view note);

enum class NoteCheck { Verified, NotSigned, BadSignature };

// Judges the lines of one key, those with `name` and key ID `id`, by
// `verifies`: BadSignature as soon as one of them fails, even when another
// verifies (a note reader rejects such a note), Verified when there is at
// least one and all verify. The lines of other keys are ignored.
NoteCheck check_key_lines(const Note& note, std::string_view name, std::uint32_t id,
                          const std::function<bool(const NoteSignature&)>& verifies);

// The note signature of `key` under `name` (type 0x01).
NoteCheck check_note(const Note& note, std::string_view name, const ed25519::PublicKey& key);

// A decimal number without sign or leading zeros that fits in 64 bits;
// `what` names it in the message.
std::expected<std::uint64_t, std::string> parse_decimal(std::string_view text, std::string_view what);

struct Checkpoint {
  std::string origin;
  std::uint64_t size = 0;
  Digest root{};
  // Lines after the root, each non-empty, without their LF: opaque to us,
  // kept so that the text round-trips (our own checkpoints have none).
  std::vector<std::string> extensions;
};

// "origin\nsize\nbase64(root)\n" and each extension line.
std::string checkpoint_text(const Checkpoint& checkpoint);
std::expected<Checkpoint, std::string> parse_checkpoint_text(std::string_view text);

}  // namespace tallyvox
