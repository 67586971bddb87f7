#include "core/tlog/proof.h"

#include <cstring>

#include "core/crypto/base64.h"
#include "core/tlog/note.h"

namespace tallyvox {

namespace {

// A tree of at most 2^64 - 1 leaves has paths of at most 63 hashes.
constexpr std::size_t kMaxPath = 63;

std::unexpected<std::string> fail(std::string message) { return std::unexpected(std::move(message)); }

}  // namespace

std::expected<std::string_view, std::string> next_proof_line(std::string_view& text) {
  std::size_t lf = text.find('\n');
  if (lf == std::string_view::npos) return fail("the proof ends before its checkpoint");
  std::string_view line = text.substr(0, lf);
  for (unsigned char c : line) {
    if (c == '\r') return fail("the proof contains a CR character");
    if (c < 0x20 || c >= 0x7F) return fail("the proof contains a control or non-ASCII character");
  }
  text.remove_prefix(lf + 1);
  return line;
}

std::expected<std::vector<Digest>, std::string> read_hash_lines(std::string_view& text) {
  std::vector<Digest> path;
  for (;;) {
    auto line = next_proof_line(text);
    if (!line) return std::unexpected(std::move(line.error()));
    if (line->empty()) return path;
    if (path.size() == kMaxPath) return fail("the proof has more than 63 hashes");
    auto hash = base64_decode(*line);
    if (!hash) return fail("proof hash: " + hash.error());
    if (hash->size() != sizeof(Digest)) return fail("a proof hash is not 32 bytes");
    Digest d;
    std::memcpy(d.data(), hash->data(), d.size());
    path.push_back(d);
  }
}

std::string format_proof(const ProofFile& proof) {
  std::string out(kProofHeader);
  out += "\nextra ";
  out += base64_encode(reinterpret_cast<const unsigned char*>(proof.extra.data()), proof.extra.size());
  out += "\nindex " + std::to_string(proof.index) + "\n";
  for (const Digest& d : proof.path) out += base64_encode(d.data(), d.size()) + "\n";
  out += "\n";
  out += proof.checkpoint;
  return out;
}

std::expected<ProofFile, std::string> parse_proof(std::string_view text) {
  ProofFile out;
  auto header = next_proof_line(text);
  if (!header) return std::unexpected(std::move(header.error()));
  if (*header != kProofHeader) return fail("not a proof file: the first line is not " + std::string(kProofHeader));
  auto extra = next_proof_line(text);
  if (!extra) return std::unexpected(std::move(extra.error()));
  if (!extra->starts_with("extra ")) return fail("the second line is not \"extra <base64>\"");
  auto line = base64_decode(extra->substr(6));
  if (!line) return fail("extra: " + line.error());
  out.extra.assign(line->begin(), line->end());
  auto index = next_proof_line(text);
  if (!index) return std::unexpected(std::move(index.error()));
  if (!index->starts_with("index ")) return fail("the third line is not \"index <N>\"");
  auto n = parse_decimal(index->substr(6), "index");
  if (!n) return std::unexpected(std::move(n.error()));
  out.index = *n;
  auto path = read_hash_lines(text);
  if (!path) return std::unexpected(std::move(path.error()));
  out.path = std::move(*path);
  if (text.empty()) return fail("the proof has no checkpoint after its empty line");
  out.checkpoint = std::string(text);
  return out;
}

}  // namespace tallyvox
