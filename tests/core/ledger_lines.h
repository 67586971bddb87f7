// Ledger text for tests: records as the lines a session writes.
#pragma once

#include <string>
#include <vector>

#include "core/ledger/signed.h"
#include "core/util/buffer.h"

namespace tallyvox::testing {

// A record's line, without its LF.
inline std::string line_of(const SignedEvent& r) {
  Buffer out;
  write_line(out, r);
  return out.str();
}

// The records' lines, each ended by `eol`.
inline std::string text_of(const std::vector<SignedEvent>& records, const char* eol = "\n") {
  std::string text;
  for (const auto& r : records) text += line_of(r) + eol;
  return text;
}

}  // namespace tallyvox::testing
