#include "core/tlog/cosignature.h"

#include <algorithm>

#include "core/crypto/keys.h"

namespace tallyvox {

namespace {

constexpr std::size_t kTimeSize = 8;

}  // namespace

std::string cosignature_message(std::string_view text, std::uint64_t time) {
  std::string out = "cosignature/v1\ntime " + std::to_string(time) + "\n";
  out += text;
  return out;
}

std::string cosign(std::string_view text, std::string_view name, const SigningKeypair& keypair,
                   std::uint64_t time) {
  const std::string message = cosignature_message(text, time);
  auto signature = keypair.sign(reinterpret_cast<const unsigned char*>(message.data()), message.size());
  unsigned char rest[kTimeSize + ed25519::kSignatureSize];
  for (std::size_t i = 0; i < kTimeSize; ++i) rest[i] = static_cast<unsigned char>(time >> (56 - 8 * i));
  std::copy(signature.begin(), signature.end(), rest + kTimeSize);
  return signature_line(name, key_id(name, kCosignatureType, keypair.public_key()), rest, sizeof rest);
}

CosignatureCheck check_cosignature(const Note& note, std::string_view name, const ed25519::PublicKey& key) {
  CosignatureCheck out;
  out.status = check_key_lines(note, name, key_id(name, kCosignatureType, key), [&](const NoteSignature& sig) {
    if (sig.signature.size() != kTimeSize + ed25519::kSignatureSize) return false;
    std::uint64_t time = 0;
    for (std::size_t i = 0; i < kTimeSize; ++i) time = (time << 8) | sig.signature[i];
    const std::string message = cosignature_message(note.text, time);
    if (!ed25519::verify(key.data(), sig.signature.data() + kTimeSize,
                         reinterpret_cast<const unsigned char*>(message.data()), message.size())) {
      return false;
    }
    out.time = std::max(out.time, time);
    return true;
  });
  if (out.status != NoteCheck::Verified) out.time = 0;
  return out;
}

}  // namespace tallyvox
