#include "core/tlog/merkle.h"

#include <bit>
#include <cstring>

namespace tallyvox::merkle {

namespace {

// The largest power of two below n (n >= 2).
std::uint64_t split(std::uint64_t n) { return std::bit_floor(n - 1); }

void path(std::span<const Digest> leaves, std::uint64_t index, std::vector<Digest>& out) {
  if (leaves.size() <= 1) return;
  std::uint64_t k = split(leaves.size());
  if (index < k) {
    path(leaves.first(k), index, out);
    out.push_back(root(leaves.subspan(k)));
  } else {
    path(leaves.subspan(k), index - k, out);
    out.push_back(root(leaves.first(k)));
  }
}

// SUBPROOF(m, leaves, whole) of RFC 9162 section 2.1.4.1.
void subproof(std::span<const Digest> leaves, std::uint64_t m, bool whole,
              std::vector<Digest>& out) {
  if (m == leaves.size()) {
    if (!whole) out.push_back(root(leaves));
    return;
  }
  std::uint64_t k = split(leaves.size());
  if (m <= k) {
    subproof(leaves.first(k), m, whole, out);
    out.push_back(root(leaves.subspan(k)));
  } else {
    subproof(leaves.subspan(k), m - k, false, out);
    out.push_back(root(leaves.first(k)));
  }
}

bool odd(std::uint64_t n) { return (n & 1) != 0; }

}  // namespace

Digest leaf_hash(const unsigned char* data, std::size_t n) {
  // Ledger leaves are 32 bytes: no allocation for them.
  unsigned char small[1 + 64];
  std::vector<unsigned char> large(n < sizeof small ? 0 : n + 1);
  unsigned char* input = large.empty() ? small : large.data();
  input[0] = 0x00;
  if (n) std::memcpy(input + 1, data, n);
  return sha256(input, n + 1);
}

Digest node_hash(const Digest& left, const Digest& right) {
  unsigned char input[1 + 2 * sizeof(Digest)];
  input[0] = 0x01;
  std::memcpy(input + 1, left.data(), left.size());
  std::memcpy(input + 1 + left.size(), right.data(), right.size());
  return sha256(input, sizeof input);
}

Digest empty_root() { return sha256(nullptr, 0); }

void Builder::add(const Digest& leaf) {
  Digest hash = leaf;
  ++size_;
  // Each trailing zero bit of the new size closes one perfect subtree.
  for (std::uint64_t s = size_; !odd(s); s >>= 1) {
    hash = node_hash(stack_.back(), hash);
    stack_.pop_back();
  }
  stack_.push_back(hash);
}

Digest Builder::root() const {
  if (stack_.empty()) return empty_root();
  Digest hash = stack_.back();
  for (std::size_t i = stack_.size() - 1; i-- > 0;) hash = node_hash(stack_[i], hash);
  return hash;
}

Digest root(std::span<const Digest> leaves) {
  Builder builder;
  for (const Digest& leaf : leaves) builder.add(leaf);
  return builder.root();
}

std::vector<Digest> inclusion_proof(std::span<const Digest> leaves, std::uint64_t index) {
  std::vector<Digest> out;
  if (index < leaves.size()) path(leaves, index, out);
  return out;
}

bool verify_inclusion(std::uint64_t index, std::uint64_t size, const Digest& leaf,
                      std::span<const Digest> proof, const Digest& root) {
  if (index >= size) return false;
  std::uint64_t fn = index, sn = size - 1;
  Digest r = leaf;
  for (const Digest& p : proof) {
    if (sn == 0) return false;
    if (odd(fn) || fn == sn) {
      r = node_hash(p, r);
      while (!odd(fn) && fn != 0) fn >>= 1, sn >>= 1;
    } else {
      r = node_hash(r, p);
    }
    fn >>= 1, sn >>= 1;
  }
  return sn == 0 && r == root;
}

std::vector<Digest> consistency_proof(std::span<const Digest> leaves, std::uint64_t old_size) {
  std::vector<Digest> out;
  if (old_size > 0 && old_size < leaves.size()) subproof(leaves, old_size, true, out);
  return out;
}

bool verify_consistency(std::uint64_t old_size, std::uint64_t new_size, const Digest& old_root,
                        const Digest& new_root, std::span<const Digest> proof) {
  if (old_size > new_size) return false;
  if (old_size == new_size) return proof.empty() && old_root == new_root;
  if (old_size == 0) return proof.empty() && old_root == empty_root();
  std::vector<Digest> path(proof.begin(), proof.end());
  if (std::has_single_bit(old_size)) path.insert(path.begin(), old_root);
  if (path.empty()) return false;
  std::uint64_t fn = old_size - 1, sn = new_size - 1;
  while (odd(fn)) fn >>= 1, sn >>= 1;
  Digest fr = path[0], sr = path[0];
  for (std::size_t i = 1; i < path.size(); ++i) {
    if (sn == 0) return false;
    if (odd(fn) || fn == sn) {
      fr = node_hash(path[i], fr);
      sr = node_hash(path[i], sr);
      while (!odd(fn) && fn != 0) fn >>= 1, sn >>= 1;
    } else {
      sr = node_hash(sr, path[i]);
    }
    fn >>= 1, sn >>= 1;
  }
  return fr == old_root && sr == new_root && sn == 0;
}

}  // namespace tallyvox::merkle
