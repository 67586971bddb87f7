// Verifier keys of c2sp.org/signed-note: "<name>+<hex key ID>+<base64(type
// || public key)>", the text a log or a witness publishes so that others can
// check its signatures. Ed25519 only: type 0x01 for note signers (logs),
// 0x04 for cosigners (witnesses).
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

#include "core/crypto/ed25519.h"

namespace tallyvox {

struct Vkey {
  std::string name;
  std::uint32_t key_id = 0;
  unsigned char type = 0;
  ed25519::PublicKey key{};
};

// The verifier key of `key` under `name`; fails on a name a note cannot
// carry or a type other than 0x01 and 0x04.
std::expected<std::string, std::string> format_vkey(std::string_view name, unsigned char type,
                                                    const ed25519::PublicKey& key);

// Strict: a valid key name, exactly 8 lowercase hexadecimal digits equal to
// the key ID computed from the rest, and strict base64 of the type byte
// (0x01 or 0x04) followed by 32 key bytes. The base64 may itself hold '+'.
std::expected<Vkey, std::string> parse_vkey(std::string_view text);

}  // namespace tallyvox
