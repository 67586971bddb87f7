// What the fuzz targets check on each input, kept apart from the libFuzzer
// entry points so that the core tests can replay saved inputs (the seed
// corpus and every input that once failed) through the very same checks.
//
// Each check_* takes the raw input and returns an empty string when every
// property holds, else a description of the first one that does not.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "core/crypto/base64.h"
#include "core/json/canonical.h"
#include "core/json/text.h"
#include "core/json/value.h"
#include "core/json/write.h"
#include "core/ledger/ledger.h"
#include "core/ledger/signed.h"
#include "core/tlog/vkey.h"
#include "core/tlog/witness_request.h"
#include "core/util/buffer.h"
#include "core/util/error.h"

namespace tallyvox::fuzz {

// Structural equality that also tells -0.0 from 0.0 (floats compare bit for
// bit) and compares object members in order.
inline bool identical(const json::Value& a, const json::Value& b) {
  using Kind = json::Value::Kind;
  if (a.kind() != b.kind()) return false;
  switch (a.kind()) {
    case Kind::Float:
      return std::bit_cast<std::uint64_t>(a.as_float()) == std::bit_cast<std::uint64_t>(b.as_float());
    case Kind::Array: {
      const json::Array& x = a.as_array();
      const json::Array& y = b.as_array();
      if (x.size() != y.size()) return false;
      for (std::size_t i = 0; i < x.size(); ++i) {
        if (!identical(x[i], y[i])) return false;
      }
      return true;
    }
    case Kind::Object: {
      const json::Object& x = a.as_object();
      const json::Object& y = b.as_object();
      if (x.size() != y.size()) return false;
      for (std::size_t i = 0; i < x.size(); ++i) {
        if (x[i].first != y[i].first || !identical(x[i].second, y[i].second)) return false;
      }
      return true;
    }
    default:
      return a == b;
  }
}

inline bool identical(const SignedEvent& a, const SignedEvent& b) {
  if (!(a == b)) return false;
  const auto* x = std::get_if<ToolCalled>(&a.event);
  const auto* y = std::get_if<ToolCalled>(&b.event);
  return x == nullptr || identical(x->args_redacted, y->args_redacted);
}

inline std::string line_of(const SignedEvent& record) {
  Buffer out;
  write_line(out, record);
  return out.str();
}

// A refused text must say where: a line that exists in the input and a
// column within that line (one past its end for an error at its LF or at
// the end of the text).
inline std::string check_position(std::string_view input, const JsonError& error) {
  if (error.message.empty()) return "an error without a message";
  if (!error.position) return "a text error without a position: " + error.message;
  std::uint64_t line = error.position->line;
  std::uint64_t lines = 1 + static_cast<std::uint64_t>(std::count(input.begin(), input.end(), '\n'));
  if (line < 1 || line > lines) {
    return "error line " + std::to_string(line) + " of " + std::to_string(lines) + ": " + display(error);
  }
  std::size_t start = 0;
  for (std::uint64_t i = 1; i < line; ++i) start = input.find('\n', start) + 1;
  std::size_t stop = input.find('\n', start);
  std::size_t length = (stop == std::string_view::npos ? input.size() : stop) - start;
  if (error.position->column > length + 1) {
    return "error column past the end of its line (" + std::to_string(length) +
           " bytes): " + display(error);
  }
  return {};
}

// ------------------------------------------------------------ line reader

// read_line never fails without a position; a record it accepts is written
// as a line that reads back to the identical record, writing that record
// gives the same bytes again, and the ledger writer would accept it.
inline std::string check_line(std::string_view input) {
  auto record = read_line(input);
  if (!record) return check_position(input, record.error());

  std::string first = line_of(*record);
  auto again = read_line(first);
  if (!again) return "the written line does not read back: " + display(again.error()) + "\n" + first;
  if (!identical(*again, *record)) return "the written line reads back as another record:\n" + first;
  std::string second = line_of(*again);
  if (second != first) return "writing the record again gives other bytes:\n" + first + "\n" + second;
  if (auto nesting = check_line_nesting(*record); !nesting) {
    return "a record that was read is refused for writing: " + display(nesting.error());
  }
  return {};
}

// ------------------------------------------------------------ ledger reader

struct LedgerOutcome {
  std::vector<SignedEvent> records;
  std::string error;  // empty when the bytes read through
};

inline LedgerOutcome read_pieces(const std::vector<std::string_view>& pieces) {
  LedgerOutcome out;
  std::function<void(SignedEvent&&)> keep = [&](SignedEvent&& r) { out.records.push_back(std::move(r)); };
  LedgerReader reader(keep);
  std::expected<void, LedgerError> result;
  for (std::string_view piece : pieces) {
    result = reader.feed(piece);
    if (!result) break;
  }
  if (result) result = reader.finish();
  if (!result) out.error = display(result.error());
  return out;
}

// The input's first byte gives n = byte % 8; the next n bytes are piece
// sizes, used in turn until the rest of the input (the ledger bytes) is cut
// up; n = 0 cuts it into single bytes. A size of 0 feeds an empty piece.
inline std::vector<std::string_view> cut(std::string_view input, std::string_view& bytes) {
  std::vector<std::string_view> pieces;
  std::size_t n = input.empty() ? 0 : static_cast<unsigned char>(input[0]) % 8;
  n = std::min(n, input.size() > 0 ? input.size() - 1 : 0);
  std::string_view sizes = input.substr(input.empty() ? 0 : 1, n);
  bytes = input.substr(std::min(input.size(), 1 + n));
  bool any_nonzero = std::any_of(sizes.begin(), sizes.end(), [](char c) { return c != 0; });
  std::string_view rest = bytes;
  for (std::size_t i = 0; !rest.empty(); ++i) {
    std::size_t size = sizes.empty() ? 1
                       : any_nonzero ? static_cast<unsigned char>(sizes[i % sizes.size()])
                                     : rest.size();
    size = std::min(size, rest.size());
    pieces.push_back(rest.substr(0, size));
    rest.remove_prefix(size);
  }
  return pieces;
}

// Reading ledger bytes in pieces gives the same records, in the same order,
// and the same error (or none) as reading them in one piece.
inline std::string check_ledger(std::string_view input) {
  std::string_view bytes;
  std::vector<std::string_view> pieces = cut(input, bytes);
  LedgerOutcome whole = read_pieces({bytes});
  LedgerOutcome split = read_pieces(pieces);
  if (split.error != whole.error) {
    return "in " + std::to_string(pieces.size()) + " pieces the error is \"" + split.error +
           "\", in one piece \"" + whole.error + "\"";
  }
  if (split.records.size() != whole.records.size()) {
    return "in pieces " + std::to_string(split.records.size()) + " records, in one piece " +
           std::to_string(whole.records.size());
  }
  for (std::size_t i = 0; i < whole.records.size(); ++i) {
    if (!identical(split.records[i], whole.records[i])) {
      return "record " + std::to_string(i) + " differs:\n" + line_of(split.records[i]) + "\n" +
             line_of(whole.records[i]);
    }
  }
  return {};
}

// ------------------------------------------------------------ canonical JSON

inline std::string canonical_of(const json::Value& v) {
  Buffer out;
  json::write_canonical_json(out, v);
  return out.str();
}

inline std::string ordered_of(const json::Value& v) {
  Buffer out;
  json::write_ordered(out, v);
  return out.str();
}

// A parsed value's canonical text parses to a value with the same canonical
// text (and, its members being sorted, the same ordered text); its ordered
// text parses to the identical value.
inline std::string check_canonical(std::string_view input) {
  auto value = json::parse_json_text(input);
  if (!value) return check_position(input, value.error());

  std::string canonical = canonical_of(*value);
  auto from_canonical = json::parse_json_text(canonical);
  if (!from_canonical) {
    return "the canonical text does not parse: " + display(from_canonical.error()) + "\n" + canonical;
  }
  if (std::string again = canonical_of(*from_canonical); again != canonical) {
    return "the canonical text is not stable:\n" + canonical + "\n" + again;
  }
  if (std::string ordered = ordered_of(*from_canonical); ordered != canonical) {
    return "the canonical text has unsorted members:\n" + canonical + "\n" + ordered;
  }

  std::string ordered = ordered_of(*value);
  auto from_ordered = json::parse_json_text(ordered);
  if (!from_ordered) {
    return "the ordered text does not parse: " + display(from_ordered.error()) + "\n" + ordered;
  }
  if (!identical(*from_ordered, *value)) return "the ordered text reads back as another value:\n" + ordered;
  if (canonical_of(*from_ordered) != canonical) {
    return "the value read back from the ordered text has another canonical text:\n" + ordered;
  }
  return {};
}

// ------------------------------------------------------------ witness

// The body of an add-checkpoint request as it was read.
inline std::string body_of(const AddCheckpoint& request) {
  std::string out = "old " + std::to_string(request.old_size) + "\n";
  for (const Digest& d : request.proof) out += base64_encode(d.data(), d.size()) + "\n";
  return out + "\n" + request.note;
}

// The texts a witness reads from anyone: an add-checkpoint body and a
// verifier key. Both have one text per value, so what is accepted is
// written back byte for byte; a body is refused with 400 and a reason, and
// checking the log's signature of an accepted one answers with the
// protocol's statuses only.
inline std::string check_witness(std::string_view input) {
  if (auto vkey = parse_vkey(input)) {
    auto text = format_vkey(vkey->name, vkey->type, vkey->key);
    if (!text || *text != input) return "a verifier key that reads does not write back";
  } else if (vkey.error().empty()) {
    return "a verifier key refused without a reason";
  }
  auto request = parse_add_checkpoint(input);
  if (!request) {
    if (request.error().status != 400 || request.error().reason.empty()) {
      return "a body refused with " + std::to_string(request.error().status) + " and \"" +
             request.error().reason + "\"";
    }
    return {};
  }
  if (body_of(*request) != input) return "an accepted body does not write back";
  const ed25519::PublicKey keys[] = {ed25519::PublicKey{}, ed25519::PublicKey{1}};
  for (std::size_t n : {0u, 1u, 2u}) {
    auto checked = check_add_checkpoint(*request, std::span(keys).first(n));
    int status = checked ? 0 : checked.error().status;
    if (status != 400 && status != 403 && status != 404 && status != 0) return "status " + std::to_string(status);
    if ((n == 0) != (status == 404)) return "404 is for an unknown log only";
  }
  return {};
}

}  // namespace tallyvox::fuzz
