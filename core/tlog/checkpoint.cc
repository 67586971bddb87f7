#include "core/tlog/checkpoint.h"

#include "core/crypto/hex.h"
#include "core/crypto/keys.h"
#include "core/json/utf8.h"
#include "core/tlog/ledger_tree.h"
#include "core/tlog/proof.h"
#include "core/util/buffer.h"

namespace tallyvox {

namespace {

using Kind = CheckpointFailure::Kind;

std::unexpected<CheckpointFailure> failure(Kind kind, std::string message) {
  return std::unexpected(CheckpointFailure{kind, std::move(message)});
}

std::string key_hex(const ed25519::PublicKey& key) { return hex_encode(key.data(), key.size()); }

struct OpenedNote {
  Note note;
  Checkpoint checkpoint;
};

CheckpointResult<OpenedNote> read_checkpoint_note(std::string_view text) {
  auto note = parse_note(text);
  if (!note) return failure(Kind::Malformed, "not a checkpoint: " + note.error());
  auto checkpoint = parse_checkpoint_text(note->text);
  if (!checkpoint) return failure(Kind::Malformed, "not a checkpoint: " + checkpoint.error());
  return OpenedNote{std::move(*note), std::move(*checkpoint)};
}

// The first of `keys` whose signature the note carries and verifies.
CheckpointResult<ed25519::PublicKey> signed_by(const OpenedNote& opened,
                                               const std::vector<ed25519::PublicKey>& keys) {
  bool bad = false;
  std::string names;
  for (const ed25519::PublicKey& key : keys) {
    NoteCheck check = check_note(opened.note, opened.checkpoint.origin, key);
    if (check == NoteCheck::Verified) return key;
    bad = bad || check == NoteCheck::BadSignature;
    names += (names.empty() ? "" : " or ") + key_hex(key);
  }
  if (bad) return failure(Kind::DoesNotHold, "the checkpoint's signature by " + names + " does not verify");
  return failure(Kind::DoesNotHold, "the checkpoint is not signed by " + names);
}

std::vector<ed25519::PublicKey> ledger_signer(const LedgerTree& tree) {
  ed25519::PublicKey key;
  auto n = hex_decode(tree.signer, key.data(), key.size());
  if (!n || *n != key.size()) return {};
  return {key};
}

CheckpointResult<LedgerTree> walk(const std::string& path, const TreeWalkOptions& options,
                                  const ReadOptions& read) {
  auto tree = walk_ledger_tree(path, options, read);
  if (!tree) return failure(Kind::Malformed, display(tree.error()));
  return std::move(*tree);
}

// Whether the ledger walked with prefix = checkpoint size is the one the
// checkpoint commits to; returns the key that signed it.
CheckpointResult<ed25519::PublicKey> check_match(const LedgerTree& tree, const OpenedNote& opened,
                                                 std::vector<ed25519::PublicKey> keys) {
  const std::uint64_t size = opened.checkpoint.size;
  const std::uint64_t count = tree.chain.event_count;
  if (keys.empty()) keys = ledger_signer(tree);
  std::optional<ed25519::PublicKey> signer;
  if (!keys.empty()) {
    auto key = signed_by(opened, keys);
    if (!key) return std::unexpected(std::move(key.error()));
    signer = *key;
  }
  if (count < size) {
    return failure(Kind::DoesNotHold, "truncated: " + std::to_string(count) +
                                          " events, the checkpoint commits to " + std::to_string(size));
  }
  if (!signer) return failure(Kind::DoesNotHold, "the ledger is empty: no signer to check the checkpoint by");
  if (tree.prefix_root != opened.checkpoint.root) {
    return failure(Kind::DoesNotHold, "differs: the first " + std::to_string(size) +
                                          " events do not have the checkpoint's root hash");
  }
  if (tree.chain.broken_at && *tree.chain.broken_at < size) {
    return failure(Kind::DoesNotHold, "the chain breaks at seq " + std::to_string(*tree.chain.broken_at) +
                                          ", within the checkpoint's events: " + tree.chain.reason.value_or(""));
  }
  return *signer;
}

}  // namespace

std::string default_origin(std::string_view first_self_hash) {
  return "tallyvox/" + std::string(first_self_hash);
}

CheckpointResult<SignedCheckpoint> sign_checkpoint(const LedgerSummary& ledger,
                                                   const SigningKeypair& keypair,
                                                   const std::optional<std::string>& origin) {
  if (ledger.chain_break) {
    return failure(Kind::DoesNotHold, "the chain is broken at seq " +
                                          std::to_string(ledger.chain_break->broken_at) + ": " +
                                          ledger.chain_break->reason);
  }
  if (ledger.foreign_at) {
    return failure(Kind::DoesNotHold, "event " + std::to_string(*ledger.foreign_at) +
                                          " is not signed by " + keypair.pubkey_hex());
  }
  if (!origin && ledger.size == 0) {
    return failure(Kind::Malformed, "the ledger is empty: give an origin, there is no first event to name it by");
  }
  Checkpoint checkpoint{origin.value_or(default_origin(ledger.first_self_hash)), ledger.size,
                        ledger.root, {}};
  if (auto ok = check_key_name(checkpoint.origin); !ok) {
    return failure(Kind::Malformed, "invalid origin: " + ok.error());
  }
  std::string note = sign_note(checkpoint_text(checkpoint), checkpoint.origin, keypair);
  return SignedCheckpoint{std::move(checkpoint), std::move(note)};
}

CheckpointResult<SignedCheckpoint> make_checkpoint(const std::string& path,
                                                   const SigningKeypair& keypair,
                                                   const std::optional<std::string>& origin,
                                                   const ReadOptions& read) {
  auto tree = walk(path, TreeWalkOptions{}, read);
  if (!tree) return std::unexpected(std::move(tree.error()));
  const ChainReport& chain = tree->chain;
  LedgerSummary ledger{chain.event_count, tree->root, tree->first_self_hash, std::nullopt,
                       std::nullopt};
  if (!chain.ok()) ledger.chain_break = ChainBreak{*chain.broken_at, chain.reason.value_or("")};
  const std::string key = keypair.pubkey_hex();
  if (chain.event_count > 0 && tree->signer != key) {
    ledger.foreign_at = 0;
  } else {
    ledger.foreign_at = tree->other_signer_at;
  }
  return sign_checkpoint(ledger, keypair, origin);
}

CheckpointResult<Checkpoint> read_checkpoint(std::string_view note) {
  auto opened = read_checkpoint_note(note);
  if (!opened) return std::unexpected(std::move(opened.error()));
  return std::move(opened->checkpoint);
}

CheckpointResult<Checkpoint> open_checkpoint(std::string_view note, const ed25519::PublicKey& key) {
  auto opened = read_checkpoint_note(note);
  if (!opened) return std::unexpected(std::move(opened.error()));
  if (auto signer = signed_by(*opened, {key}); !signer) return std::unexpected(std::move(signer.error()));
  return std::move(opened->checkpoint);
}

CheckpointResult<LedgerMatch> verify_ledger_checkpoint(const std::string& path, std::string_view note,
                                                       const std::vector<ed25519::PublicKey>& signers,
                                                       const ReadOptions& read) {
  auto opened = read_checkpoint_note(note);
  if (!opened) return std::unexpected(std::move(opened.error()));
  auto tree = walk(path, TreeWalkOptions{.prefix = opened->checkpoint.size, .keep_leaves = false, .keep = std::nullopt},
                   read);
  if (!tree) return std::unexpected(std::move(tree.error()));
  auto signer = check_match(*tree, *opened, signers);
  if (!signer) return std::unexpected(std::move(signer.error()));
  return LedgerMatch{std::move(opened->checkpoint), tree->chain.event_count, *signer};
}

CheckpointResult<std::string> make_inclusion_proof(const std::string& path, std::uint64_t seq,
                                                   std::string_view note, const ReadOptions& read) {
  auto opened = read_checkpoint_note(note);
  if (!opened) return std::unexpected(std::move(opened.error()));
  const std::uint64_t size = opened->checkpoint.size;
  if (seq >= size) {
    return failure(Kind::Malformed, "seq " + std::to_string(seq) + " is not among the checkpoint's " +
                                        std::to_string(size) + " events");
  }
  auto tree = walk(path, TreeWalkOptions{.prefix = size, .keep_leaves = true, .keep = seq}, read);
  if (!tree) return std::unexpected(std::move(tree.error()));
  if (auto signer = check_match(*tree, *opened, {}); !signer) return std::unexpected(std::move(signer.error()));
  ProofFile proof;
  Buffer line(256);
  write_line(line, *tree->kept);
  proof.extra = line.str();
  proof.index = seq;
  proof.path = merkle::inclusion_proof(tree->leaves, seq);
  proof.checkpoint = std::string(note);
  return format_proof(proof);
}

CheckpointResult<ProofCheck> verify_inclusion_proof(std::string_view text,
                                                    const ed25519::PublicKey& key) {
  auto proof = parse_proof(text);
  if (!proof) return failure(Kind::Malformed, "not a proof: " + proof.error());
  auto checkpoint = open_checkpoint(proof->checkpoint, key);
  if (!checkpoint) return std::unexpected(std::move(checkpoint.error()));
  if (!valid_utf8(proof->extra)) return failure(Kind::Malformed, "the disclosed line is not UTF-8");
  auto record = read_line(proof->extra);
  if (!record) return failure(Kind::Malformed, "the disclosed line is not a record: " + display(record.error()));
  auto fails = [](std::string message) { return failure(Kind::DoesNotHold, std::move(message)); };
  if (record->seq != proof->index) {
    return fails("the disclosed event has seq " + std::to_string(record->seq) + ", the proof's index is " +
                 std::to_string(proof->index));
  }
  if (auto ok = verify_signed_event(*record); !ok) {
    return fails("the disclosed event does not verify: " + display(ok.error()));
  }
  ed25519::PublicKey signer{};
  if (hex_decode(record->signer_pubkey, signer.data(), signer.size()) != signer.size() || signer != key) {
    return fails("the disclosed event is signed by " + record->signer_pubkey + ", not by " + key_hex(key));
  }
  if (!merkle::verify_inclusion(proof->index, checkpoint->size, event_leaf(*record), proof->path,
                                checkpoint->root)) {
    return fails("the inclusion proof of event " + std::to_string(proof->index) +
                 " does not lead to the checkpoint's root hash");
  }
  return ProofCheck{std::move(*checkpoint), std::move(proof->checkpoint), proof->index,
                    std::move(proof->extra), std::move(*record)};
}

CheckpointResult<std::vector<Digest>> ledger_consistency_proof(const std::string& path,
                                                               std::uint64_t old_size,
                                                               std::uint64_t new_size,
                                                               const ReadOptions& read) {
  auto tree = walk(path, TreeWalkOptions{.prefix = new_size, .keep_leaves = true, .keep = std::nullopt}, read);
  if (!tree) return std::unexpected(std::move(tree.error()));
  if (old_size > new_size || new_size > tree->chain.event_count) {
    return failure(Kind::Malformed, "sizes " + std::to_string(old_size) + " and " + std::to_string(new_size) +
                                        " do not fit a ledger of " + std::to_string(tree->chain.event_count) +
                                        " events");
  }
  return merkle::consistency_proof(tree->leaves, old_size);
}

}  // namespace tallyvox
