// The Merkle tree of RFC 9162 section 2.1 (the RFC 6962 tree): leaf hash
// SHA-256(0x00 || data), node hash SHA-256(0x01 || left || right), split at
// the largest power of two below the size, and its inclusion and consistency
// proofs. Proofs are made from the leaf hashes of the whole tree.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/crypto/sha256.h"

namespace tallyvox::merkle {

Digest leaf_hash(const unsigned char* data, std::size_t n);
Digest node_hash(const Digest& left, const Digest& right);
// The root of the empty tree: SHA-256 of no bytes.
Digest empty_root();

// Builds the root while leaves arrive one at a time: it keeps the roots of
// the perfect subtrees seen so far, at most one per power of two.
class Builder {
 public:
  void add(const Digest& leaf);  // a leaf hash
  std::uint64_t size() const { return size_; }
  Digest root() const;

 private:
  std::vector<Digest> stack_;  // largest subtree first
  std::uint64_t size_ = 0;
};

Digest root(std::span<const Digest> leaves);

// The audit path of leaf `index` (< leaves.size()), from its sibling up.
std::vector<Digest> inclusion_proof(std::span<const Digest> leaves, std::uint64_t index);

// Whether `proof` leads from the leaf hash at `index` in a tree of `size`
// leaves to `root` (RFC 9162 section 2.1.3.2).
bool verify_inclusion(std::uint64_t index, std::uint64_t size, const Digest& leaf,
                      std::span<const Digest> proof, const Digest& root);

// The proof that the first `old_size` leaves (<= leaves.size()) are a prefix
// of the tree; empty when old_size is 0 or the whole tree.
std::vector<Digest> consistency_proof(std::span<const Digest> leaves, std::uint64_t old_size);

// Whether `proof` shows the tree of `old_size` leaves with `old_root` to be
// a prefix of the one of `new_size` leaves with `new_root` (RFC 9162 section
// 2.1.4.2). Any tree extends the empty one, with an empty proof.
bool verify_consistency(std::uint64_t old_size, std::uint64_t new_size, const Digest& old_root,
                        const Digest& new_root, std::span<const Digest> proof);

}  // namespace tallyvox::merkle
