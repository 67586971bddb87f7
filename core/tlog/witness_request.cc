#include "core/tlog/witness_request.h"

#include "core/crypto/hex.h"
#include "core/tlog/proof.h"

namespace tallyvox {

namespace {

constexpr int kBadRequest = 400;
constexpr int kForbidden = 403;
constexpr int kNotFound = 404;

std::unexpected<WitnessRefusal> refuse(int status, std::string reason) {
  return std::unexpected(WitnessRefusal{status, std::move(reason)});
}

std::expected<void, WitnessRefusal> check_signature(const AddCheckpoint& request,
                                                    std::span<const ed25519::PublicKey> log_keys) {
  const std::string& origin = request.checkpoint.origin;
  bool verified = false;
  for (const ed25519::PublicKey& key : log_keys) {
    switch (check_note(request.parsed, origin, key)) {
      case NoteCheck::BadSignature:
        return refuse(kForbidden, "the signature by " + hex_encode(key.data(), key.size()) + " does not verify");
      case NoteCheck::Verified:
        verified = true;
        break;
      case NoteCheck::NotSigned:
        break;
    }
  }
  if (!verified) return refuse(kForbidden, "the checkpoint is not signed by a key of " + origin);
  return {};
}

}  // namespace

std::expected<AddCheckpoint, WitnessRefusal> parse_add_checkpoint(std::string_view body) {
  auto malformed = [](const std::string& why) { return refuse(kBadRequest, why); };
  AddCheckpoint out;
  auto old = next_proof_line(body);
  if (!old) return malformed(old.error());
  if (!old->starts_with("old ")) return malformed("the first line is not \"old <size>\"");
  auto size = parse_decimal(old->substr(4), "old size");
  if (!size) return malformed(size.error());
  out.old_size = *size;
  auto proof = read_hash_lines(body);
  if (!proof) return malformed(proof.error());
  out.proof = std::move(*proof);
  auto note = parse_note(body);
  if (!note) return malformed("not a checkpoint: " + note.error());
  auto checkpoint = parse_checkpoint_text(note->text);
  if (!checkpoint) return malformed("not a checkpoint: " + checkpoint.error());
  out.note = std::string(body);
  out.parsed = std::move(*note);
  out.checkpoint = std::move(*checkpoint);
  return out;
}

std::expected<void, WitnessRefusal> check_add_checkpoint(const AddCheckpoint& request,
                                                         std::span<const ed25519::PublicKey> log_keys) {
  const std::uint64_t old_size = request.old_size, size = request.checkpoint.size;
  if (log_keys.empty()) return refuse(kNotFound, "unknown log " + request.checkpoint.origin);
  if (auto ok = check_signature(request, log_keys); !ok) return ok;
  if (old_size > size) {
    return refuse(kBadRequest, "the old size " + std::to_string(old_size) + " is beyond the checkpoint's " +
                                   std::to_string(size));
  }
  if ((old_size == 0 || old_size == size) && !request.proof.empty()) {
    return refuse(kBadRequest, "a consistency proof from size " + std::to_string(old_size) + " to " +
                                   std::to_string(size) + " must be empty");
  }
  return {};
}

}  // namespace tallyvox
