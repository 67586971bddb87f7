#include "core/tlog/ledger_tree.h"

#include <algorithm>
#include <cctype>
#include <string_view>

#include "core/crypto/hex.h"
#include "core/ledger/ledger.h"
#include "core/ledger/parallel_read.h"
#include "core/util/io.h"

namespace tallyvox {

namespace {

std::string lowercase(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

unsigned char ascii_lower(unsigned char c) { return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c; }

// Hexadecimal keys compared in either case; written keys are lowercase, so
// equal texts are the common case and are checked first.
bool same_key(std::string_view a, std::string_view b) {
  if (a == b) return true;
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](unsigned char x, unsigned char y) {
           return ascii_lower(x) == ascii_lower(y);
         });
}

}  // namespace

Digest event_leaf(const SignedEvent& record) {
  Digest data{};
  auto n = hex_decode(record.self_hash, data.data(), data.size());
  if (!n || *n != data.size()) data.fill(0);
  return merkle::leaf_hash(data.data(), data.size());
}

void TreeWalk::add(SignedEvent&& record) {
  chain_.add(record);
  add_leaf(std::move(record));
}

void TreeWalk::add(SignedEvent&& record, const std::optional<std::string>& fault) {
  chain_.add(record, fault);
  add_leaf(std::move(record));
}

void TreeWalk::add_leaf(SignedEvent&& record) {
  const std::uint64_t position = builder_.size();
  Digest leaf = event_leaf(record);
  builder_.add(leaf);
  if (position < options_.prefix && options_.keep_leaves) tree_.leaves.push_back(leaf);
  if (builder_.size() == options_.prefix) tree_.prefix_root = builder_.root();
  if (position == 0) {
    tree_.first_self_hash = record.self_hash;
    tree_.signer = lowercase(record.signer_pubkey);
  } else if (!tree_.other_signer_at && !same_key(record.signer_pubkey, tree_.signer)) {
    tree_.other_signer_at = position;
  }
  if (options_.keep == position) tree_.kept = std::move(record);
}

LedgerTree TreeWalk::finish() && {
  tree_.chain = std::move(chain_).finish();
  tree_.root = builder_.root();
  if (options_.prefix == 0) tree_.prefix_root = merkle::empty_root();
  return std::move(tree_);
}

void LedgerFrontier::add_leaf(const SignedEvent& record) {
  if (tree_.size() == 0) first_self_hash_ = record.self_hash;
  tree_.add(event_leaf(record));
}

void LedgerFrontier::add_read(const SignedEvent& record) {
  const std::uint64_t position = tree_.size();
  if (!chain_break_) {
    chain_break_ = check_link(record, position, previous_);
    previous_ = record.self_hash;
  }
  if (!foreign_at_ && !same_key(record.signer_pubkey, key_)) foreign_at_ = position;
  add_leaf(record);
}

void LedgerFrontier::add_sealed(const SignedEvent& record) { add_leaf(record); }

LedgerSummary LedgerFrontier::summary() const {
  return LedgerSummary{tree_.size(), tree_.root(), first_self_hash_, chain_break_, foreign_at_};
}

std::expected<LedgerTree, LedgerError> walk_ledger_tree(const std::string& path,
                                                       const TreeWalkOptions& options,
                                                       const ReadOptions& read_options) {
  if (auto found = stat_path(path); !found) return std::unexpected(LedgerError{found.error()});
  TreeWalk walk(options);
  auto read = read_options.jobs <= 1
                  ? read_ledger(path, [&](SignedEvent&& record) { walk.add(std::move(record)); }, read_options)
                  : read_ledger_parallel(path, read_options,
                                         [&](SignedEvent&& record, const std::optional<std::string>& fault) {
                                           walk.add(std::move(record), fault);
                                           return !walk.broken();
                                         });
  if (!read) return std::unexpected(std::move(read.error()));
  return std::move(walk).finish();
}

}  // namespace tallyvox
