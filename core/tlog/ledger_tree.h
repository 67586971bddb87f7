// One pass over a ledger that walks its chain and builds the Merkle tree of
// its events: leaf data of an event is the 32 bytes of its self_hash.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <vector>

#include "core/ledger/chain.h"
#include "core/ledger/ledger.h"
#include "core/ledger/signed.h"
#include "core/tlog/checkpoint.h"
#include "core/tlog/merkle.h"
#include "core/util/error.h"

namespace tallyvox {

struct TreeWalkOptions {
  std::uint64_t prefix = UINT64_MAX;  // also take the root of the first `prefix` events
  bool keep_leaves = false;           // keep the leaf hashes of those events
  std::optional<std::uint64_t> keep;  // keep the event at this position
};

struct LedgerTree {
  ChainReport chain;
  Digest root{};                     // of every event
  std::optional<Digest> prefix_root;  // when the ledger holds `prefix` events
  std::vector<Digest> leaves;
  std::optional<SignedEvent> kept;
  std::string first_self_hash;              // empty for an empty ledger
  std::string signer;                       // the first event's key, lowercase
  std::optional<std::uint64_t> other_signer_at;  // the first event by another key
};

// The chain walk, unchanged, with the tree built alongside.
class TreeWalk {
 public:
  explicit TreeWalk(const TreeWalkOptions& options) : options_(options) {}
  void add(SignedEvent&& record);
  // The same for a record whose seal was checked elsewhere (ChainWalk::add).
  void add(SignedEvent&& record, const std::optional<std::string>& fault);
  bool broken() const { return chain_.broken(); }
  LedgerTree finish() &&;

 private:
  void add_leaf(SignedEvent&& record);

  TreeWalkOptions options_;
  ChainWalk chain_;
  merkle::Builder builder_;
  LedgerTree tree_;
};

// What a session knows of its ledger for a checkpoint, kept as it reads the
// ledger at open and as it appends: the Merkle frontier (O(log n) hashes),
// the first self_hash, and, among the events read, the first broken link
// and the first event of another key. Hashes and signatures are not
// recomputed: the session sealed what it appended, and takes what it read
// as read (a checkpoint commits to those self_hash values, so a line that
// does not match its own still fails every check against it).
class LedgerFrontier {
 public:
  explicit LedgerFrontier(std::string key_hex) : key_(std::move(key_hex)) {}
  void add_read(const SignedEvent& record);
  void add_sealed(const SignedEvent& record);
  std::uint64_t size() const { return tree_.size(); }
  // Refers to this frontier: used before it changes again.
  LedgerSummary summary() const;

 private:
  void add_leaf(const SignedEvent& record);

  std::string key_;  // the session's public key, lowercase hex
  merkle::Builder tree_;
  std::string first_self_hash_;
  std::string previous_{kGenesisParentHash};
  std::optional<ChainBreak> chain_break_;
  std::optional<std::uint64_t> foreign_at_;
};

// Walks the file at `path`, on `read.jobs` threads; a path that does not
// exist is an error here.
std::expected<LedgerTree, LedgerError> walk_ledger_tree(const std::string& path,
                                                       const TreeWalkOptions& options,
                                                       const ReadOptions& read = {});

// The leaf hash of an event: its self_hash decoded (zeros when it is not 64
// hexadecimal characters, which the chain walk reports anyway).
Digest event_leaf(const SignedEvent& record);

}  // namespace tallyvox
