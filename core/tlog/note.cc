#include "core/tlog/note.h"

#include <cstring>

#include "core/crypto/base64.h"
#include "core/crypto/keys.h"
#include "core/json/utf8.h"

namespace tallyvox {

namespace {

constexpr std::string_view kSignaturePrefix = "\u2014 ";

std::unexpected<std::string> fail(std::string message) { return std::unexpected(std::move(message)); }

bool is_control(unsigned char c) { return (c < 0x20 && c != '\n') || c == 0x7F; }

std::expected<void, std::string> check_characters(std::string_view note) {
  if (!valid_utf8(note)) return fail("the note is not UTF-8");
  for (std::size_t i = 0; i < note.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(note[i]);
    if (c == '\r') return fail("the note contains a CR character at byte " + std::to_string(i));
    if (is_control(c)) return fail("the note contains a control character at byte " + std::to_string(i));
  }
  return {};
}

std::expected<NoteSignature, std::string> parse_signature_line(std::string_view line) {
  if (!line.starts_with(kSignaturePrefix)) return fail("a signature line does not start with \u2014");
  line.remove_prefix(kSignaturePrefix.size());
  std::size_t space = line.find(' ');
  if (space == std::string_view::npos) return fail("a signature line has no signature after the key name");
  NoteSignature sig;
  sig.name = std::string(line.substr(0, space));
  if (auto ok = check_key_name(sig.name); !ok) return fail("signature key name: " + ok.error());
  auto bytes = base64_decode(line.substr(space + 1));
  if (!bytes) return fail("signature: " + bytes.error());
  if (bytes->size() < 5) return fail("a signature is too short to hold a key ID");
  sig.key_id = (std::uint32_t{(*bytes)[0]} << 24) | (std::uint32_t{(*bytes)[1]} << 16) |
               (std::uint32_t{(*bytes)[2]} << 8) | (*bytes)[3];
  sig.signature.assign(bytes->begin() + 4, bytes->end());
  return sig;
}

}  // namespace

std::expected<std::uint64_t, std::string> parse_decimal(std::string_view text, std::string_view what) {
  const std::string name(what);
  if (text.empty()) return fail("the " + name + " is empty");
  if (text.size() > 1 && text[0] == '0') return fail("the " + name + " has leading zeros");
  std::uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return fail("the " + name + " is not a decimal number");
    std::uint64_t digit = static_cast<std::uint64_t>(c - '0');
    if (value > (UINT64_MAX - digit) / 10) return fail("the " + name + " is too large");
    value = value * 10 + digit;
  }
  return value;
}

std::expected<void, std::string> check_key_name(std::string_view name) {
  if (name.empty()) return fail("the name is empty");
  for (unsigned char c : name) {
    if (c == ' ') return fail("the name contains a space");
    if (c == '+') return fail("the name contains '+'");
    if (c < 0x20 || c == 0x7F) return fail("the name contains a control character");
  }
  if (!valid_utf8(name)) return fail("the name is not UTF-8");
  return {};
}

std::uint32_t key_id(std::string_view name, unsigned char type, const ed25519::PublicKey& key) {
  std::string input(name);
  input.push_back('\n');
  input.push_back(static_cast<char>(type));
  input.append(reinterpret_cast<const char*>(key.data()), key.size());
  Digest d = sha256(input.data(), input.size());
  return (std::uint32_t{d[0]} << 24) | (std::uint32_t{d[1]} << 16) | (std::uint32_t{d[2]} << 8) | d[3];
}

std::uint32_t note_key_id(std::string_view name, const ed25519::PublicKey& key) {
  return key_id(name, kNoteSignatureType, key);
}

std::string signature_line(std::string_view name, std::uint32_t id, const unsigned char* rest,
                           std::size_t n) {
  std::vector<unsigned char> blob(4 + n);
  for (int i = 0; i < 4; ++i) blob[i] = static_cast<unsigned char>(id >> (24 - 8 * i));
  if (n) std::memcpy(blob.data() + 4, rest, n);
  std::string out(kSignaturePrefix);
  out += name;
  out += " ";
  out += base64_encode(blob.data(), blob.size());
  out += "\n";
  return out;
}

std::string sign_note(std::string_view text, std::string_view name, const SigningKeypair& keypair) {
  auto signature = keypair.sign(reinterpret_cast<const unsigned char*>(text.data()), text.size());
  std::string out(text);
  out += "\n";
  out += signature_line(name, note_key_id(name, keypair.public_key()), signature.data(), signature.size());
  return out;
}

std::expected<Note, std::string> parse_note(std::string_view note) {
  if (auto ok = check_characters(note); !ok) return std::unexpected(std::move(ok.error()));
  std::size_t blank = note.rfind("\n\n");
  if (blank == std::string_view::npos) return fail("the note has no blank line before its signatures");
  Note out;
  out.text = std::string(note.substr(0, blank + 1));
  std::string_view rest = note.substr(blank + 2);
  if (rest.empty()) return fail("the note has no signatures");
  if (rest.back() != '\n') return fail("the note does not end with a newline");
  while (!rest.empty()) {
    if (out.signatures.size() == kMaxNoteSignatures) {
      return fail("the note has more than " + std::to_string(kMaxNoteSignatures) + " signatures");
    }
    std::size_t lf = rest.find('\n');
    auto sig = parse_signature_line(rest.substr(0, lf));
    if (!sig) return std::unexpected(std::move(sig.error()));
    out.signatures.push_back(std::move(*sig));
    rest.remove_prefix(lf + 1);
  }
  return out;
}

NoteCheck check_key_lines(const Note& note, std::string_view name, std::uint32_t id,
                          const std::function<bool(const NoteSignature&)>& verifies) {
  bool seen = false;
  for (const NoteSignature& sig : note.signatures) {
    if (sig.name != name || sig.key_id != id) continue;
    if (!verifies(sig)) return NoteCheck::BadSignature;
    seen = true;
  }
  return seen ? NoteCheck::Verified : NoteCheck::NotSigned;
}

NoteCheck check_note(const Note& note, std::string_view name, const ed25519::PublicKey& key) {
  return check_key_lines(note, name, note_key_id(name, key), [&](const NoteSignature& sig) {
    return sig.signature.size() == ed25519::kSignatureSize &&
           ed25519::verify(key.data(), sig.signature.data(),
                           reinterpret_cast<const unsigned char*>(note.text.data()), note.text.size());
  });
}

std::string checkpoint_text(const Checkpoint& checkpoint) {
  std::string out = checkpoint.origin + "\n" + std::to_string(checkpoint.size) + "\n" +
                    base64_encode(checkpoint.root.data(), checkpoint.root.size()) + "\n";
  for (const std::string& line : checkpoint.extensions) out += line + "\n";
  return out;
}

std::expected<Checkpoint, std::string> parse_checkpoint_text(std::string_view text) {
  std::string_view lines[3];
  for (auto& line : lines) {
    std::size_t lf = text.find('\n');
    if (lf == std::string_view::npos) return fail("the checkpoint has fewer than three lines");
    line = text.substr(0, lf);
    text.remove_prefix(lf + 1);
  }
  Checkpoint out;
  while (!text.empty()) {
    std::size_t lf = text.find('\n');
    if (lf == std::string_view::npos) return fail("the checkpoint does not end with a newline");
    if (lf == 0) return fail("the checkpoint has an empty extension line");
    out.extensions.emplace_back(text.substr(0, lf));
    text.remove_prefix(lf + 1);
  }
  if (auto ok = check_key_name(lines[0]); !ok) return fail("origin: " + ok.error());
  out.origin = std::string(lines[0]);
  auto size = parse_decimal(lines[1], "tree size");
  if (!size) return std::unexpected(std::move(size.error()));
  out.size = *size;
  auto root = base64_decode(lines[2]);
  if (!root) return fail("root hash: " + root.error());
  if (root->size() != out.root.size()) return fail("the root hash is not 32 bytes");
  std::memcpy(out.root.data(), root->data(), out.root.size());
  return out;
}

}  // namespace tallyvox
