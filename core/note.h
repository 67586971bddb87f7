// Signed notes (c2sp.org/signed-note) with Ed25519 signatures, and the text
// of a transparency-log checkpoint (c2sp.org/tlog-checkpoint) they carry.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <vector>

#include "core/ed25519.h"
#include "core/sha256.h"

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

// The first four bytes, big-endian, of SHA-256(name || LF || 0x01 || key).
std::uint32_t note_key_id(std::string_view name, const ed25519::PublicKey& key);

// The text, a blank line and one signature line by `keypair` under `name`.
std::string sign_note(std::string_view text, std::string_view name, const SigningKeypair& keypair);

// Reads a note: UTF-8 without CR or other control characters but LF, the
// text up to the last blank line, then 1 to 16 signature lines
// "\u2014 name base64(key ID || signature)".
std::expected<Note, std::string> parse_note(std::string_view note);

enum class NoteCheck { Verified, NotSigned, BadSignature };

// Looks for the signature of `key` under `name`; the signatures of other
// keys are ignored.
NoteCheck check_note(const Note& note, std::string_view name, const ed25519::PublicKey& key);

// A decimal number without sign or leading zeros that fits in 64 bits;
// `what` names it in the message.
std::expected<std::uint64_t, std::string> parse_decimal(std::string_view text, std::string_view what);

struct Checkpoint {
  std::string origin;
  std::uint64_t size = 0;
  Digest root{};
};

// "origin\nsize\nbase64(root)\n": no extension lines.
std::string checkpoint_text(const Checkpoint& checkpoint);
std::expected<Checkpoint, std::string> parse_checkpoint_text(std::string_view text);

}  // namespace tallyvox
