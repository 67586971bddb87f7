#include "core/tlog/vkey.h"

#include <cstring>

#include "core/crypto/base64.h"
#include "core/crypto/hex.h"
#include "core/tlog/note.h"

namespace tallyvox {

namespace {

std::unexpected<std::string> fail(std::string message) { return std::unexpected(std::move(message)); }

std::expected<void, std::string> check_type(unsigned char type) {
  if (type == kNoteSignatureType || type == kCosignatureType) return {};
  const char digits[] = {kHexDigits[type >> 4], kHexDigits[type & 15], '\0'};
  return fail(std::string("unsupported key type 0x") + digits +
              " (0x01 for a note signer, 0x04 for a cosigner)");
}

std::string id_hex(std::uint32_t id) {
  const unsigned char bytes[4] = {static_cast<unsigned char>(id >> 24), static_cast<unsigned char>(id >> 16),
                                  static_cast<unsigned char>(id >> 8), static_cast<unsigned char>(id)};
  return hex_encode(bytes, sizeof bytes);
}

std::expected<std::uint32_t, std::string> parse_id(std::string_view text) {
  if (text.size() != 8) return fail("the key ID is not 8 hexadecimal digits");
  std::uint32_t id = 0;
  for (char c : text) {
    std::uint8_t v = hex_nibble(c);
    if (v > 15 || (c >= 'A' && c <= 'F')) return fail("the key ID is not 8 lowercase hexadecimal digits");
    id = (id << 4) | v;
  }
  return id;
}

}  // namespace

std::expected<std::string, std::string> format_vkey(std::string_view name, unsigned char type,
                                                    const ed25519::PublicKey& key) {
  if (auto ok = check_key_name(name); !ok) return fail("key name: " + ok.error());
  if (auto ok = check_type(type); !ok) return std::unexpected(std::move(ok.error()));
  unsigned char blob[1 + ed25519::kPublicKeySize];
  blob[0] = type;
  std::memcpy(blob + 1, key.data(), key.size());
  return std::string(name) + "+" + id_hex(key_id(name, type, key)) + "+" + base64_encode(blob, sizeof blob);
}

std::expected<Vkey, std::string> parse_vkey(std::string_view text) {
  std::size_t first = text.find('+');
  std::size_t second = first == std::string_view::npos ? first : text.find('+', first + 1);
  if (second == std::string_view::npos) return fail("not a verifier key: it is not name+keyid+key");
  Vkey out;
  out.name = std::string(text.substr(0, first));
  if (auto ok = check_key_name(out.name); !ok) return fail("key name: " + ok.error());
  auto id = parse_id(text.substr(first + 1, second - first - 1));
  if (!id) return std::unexpected(std::move(id.error()));
  auto blob = base64_decode(text.substr(second + 1));
  if (!blob) return fail("key: " + blob.error());
  if (blob->empty()) return fail("the key is empty");
  out.type = (*blob)[0];
  if (auto ok = check_type(out.type); !ok) return std::unexpected(std::move(ok.error()));
  if (blob->size() != 1 + out.key.size()) {
    return fail("an Ed25519 key is 32 bytes, not " + std::to_string(blob->size() - 1));
  }
  std::memcpy(out.key.data(), blob->data() + 1, out.key.size());
  out.key_id = key_id(out.name, out.type, out.key);
  if (out.key_id != *id) {
    return fail("the key ID " + id_hex(*id) + " is not that of the name and key (" + id_hex(out.key_id) + ")");
  }
  return out;
}

}  // namespace tallyvox
