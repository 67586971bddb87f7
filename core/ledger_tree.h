// One pass over a ledger that walks its chain and builds the Merkle tree of
// its events: leaf data of an event is the 32 bytes of its self_hash.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <vector>

#include "core/chain.h"
#include "core/error.h"
#include "core/ledger.h"
#include "core/merkle.h"
#include "core/signed.h"

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
  LedgerTree finish() &&;

 private:
  TreeWalkOptions options_;
  ChainWalk chain_;
  merkle::Builder builder_;
  LedgerTree tree_;
};

// Walks the file at `path`; a path that does not exist is an error here.
std::expected<LedgerTree, LedgerError> walk_ledger_tree(const std::string& path,
                                                       const TreeWalkOptions& options,
                                                       const ReadOptions& read = {});

// The leaf hash of an event: its self_hash decoded (zeros when it is not 64
// hexadecimal characters, which the chain walk reports anyway).
Digest event_leaf(const SignedEvent& record);

}  // namespace tallyvox
