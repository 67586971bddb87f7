#include "core/ledger/signed.h"

#include <time.h>

#include "core/crypto/hex.h"
#include "core/crypto/keys.h"
#include "core/json/write.h"

namespace tallyvox {

void write_self_hash_input(Buffer& out, std::uint64_t seq, std::uint64_t timestamp_nanos,
                           const AgentEvent& event, std::string_view parent_hash) {
  // The four members are written in their sorted order.
  out.append(R"({"event":)");
  write_canonical_event(out, event);
  out.append(R"(,"parent_hash":)");
  json::write_string(out, parent_hash);
  out.append(R"(,"seq":)");
  json::write_uint(out, seq);
  out.append(R"(,"timestamp_nanos":)");
  json::write_uint(out, timestamp_nanos);
  out.push_back('}');
}

Digest compute_self_hash(std::uint64_t seq, std::uint64_t timestamp_nanos, const AgentEvent& event,
                         std::string_view parent_hash) {
  thread_local Buffer input;
  input.clear();
  write_self_hash_input(input, seq, timestamp_nanos, event, parent_hash);
  Digest digest = sha256(input.data(), input.size());
  input.trim(std::size_t{1} << 20);
  return digest;
}

std::uint64_t wall_clock_nanos() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  if (now.tv_sec < 0) return 0;
  return static_cast<std::uint64_t>(now.tv_sec) * 1000000000u + static_cast<std::uint64_t>(now.tv_nsec);
}

SignedEvent seal_event(std::uint64_t seq, AgentEvent event, std::string_view parent_hash,
                       const SigningKeypair& keypair) {
  std::uint64_t timestamp = wall_clock_nanos();
  Digest digest = compute_self_hash(seq, timestamp, event, parent_hash);
  ed25519::Signature signature = keypair.sign(digest.data(), digest.size());
  SignedEvent record;
  record.seq = seq;
  record.timestamp_nanos = timestamp;
  record.event = std::move(event);
  record.parent_hash = std::string(parent_hash);
  record.self_hash = hex_encode(digest.data(), digest.size());
  record.signature = hex_encode(signature.data(), signature.size());
  record.signer_pubkey = keypair.pubkey_hex();
  return record;
}

const ed25519::Verifier& VerifierCache::get(const ed25519::PublicKey& key) {
  if (!verifier_ || key != key_) {
    verifier_.emplace(key.data());
    key_ = key;
  }
  return *verifier_;
}

namespace {

std::unexpected<SealError> key_error(KeyError error) {
  return std::unexpected(SealError{std::move(error)});
}

// The self hash is compared as text: only the lowercase form matches.
bool matches_lowercase_hex(const Digest& digest, std::string_view text) {
  if (text.size() != 2 * digest.size()) return false;
  for (std::size_t i = 0; i < digest.size(); ++i) {
    if (text[2 * i] != kHexDigits[digest[i] >> 4] ||
        text[2 * i + 1] != kHexDigits[digest[i] & 15]) {
      return false;
    }
  }
  return true;
}

}  // namespace

std::expected<void, SealError> verify_signed_event(const SignedEvent& record,
                                                   VerifierCache* cache) {
  Digest digest =
      compute_self_hash(record.seq, record.timestamp_nanos, record.event, record.parent_hash);
  if (!matches_lowercase_hex(digest, record.self_hash)) {
    return std::unexpected(SealError{SealError::SelfHashMismatch{}});
  }

  ed25519::PublicKey key;
  auto key_size = hex_decode(record.signer_pubkey, key.data(), key.size());
  if (!key_size) return key_error(KeyError{key_size.error()});
  if (*key_size != key.size()) return key_error(KeyError{KeyError::InvalidKeyLength{32, *key_size}});

  ed25519::Signature signature;
  auto sig_size = hex_decode(record.signature, signature.data(), signature.size());
  if (!sig_size || *sig_size != signature.size()) {
    // A key that is no curve point fails before the signature is looked at;
    // OpenSSL only finds that out while verifying, so ask here.
    if (!ed25519::is_curve_point(key.data())) {
      return key_error(KeyError{KeyError::SignatureVerification{}});
    }
    if (!sig_size) return key_error(KeyError{sig_size.error()});
    return key_error(KeyError{KeyError::InvalidKeyLength{64, *sig_size}});
  }

  bool ok = cache != nullptr
                ? cache->get(key).verify(signature.data(), digest.data(), digest.size())
                : ed25519::verify(key.data(), signature.data(), digest.data(), digest.size());
  if (!ok) return key_error(KeyError{KeyError::SignatureVerification{}});
  return {};
}

void write_line(Buffer& out, const SignedEvent& record) {
  out.append(R"({"seq":)");
  json::write_uint(out, record.seq);
  out.append(R"(,"timestamp_nanos":)");
  json::write_uint(out, record.timestamp_nanos);
  out.append(R"(,"event":)");
  write_event(out, record.event);
  out.append(R"(,"parent_hash":)");
  json::write_string(out, record.parent_hash);
  out.append(R"(,"self_hash":)");
  json::write_string(out, record.self_hash);
  out.append(R"(,"signature":)");
  json::write_string(out, record.signature);
  out.append(R"(,"signer_pubkey":)");
  json::write_string(out, record.signer_pubkey);
  out.push_back('}');
}

}  // namespace tallyvox
