// The float text shared by canonical JSON and the ledger line: shortest
// round-trip digits, always with "." or "e", exponent always signed.
#pragma once

#include <cstddef>

namespace tallyvox::json {

// Longest text: "-" + 17 digits + "." + "e-324" fits comfortably.
inline constexpr std::size_t kFloatTextMax = 32;

// Writes the float text of a finite `v` into `out` (kFloatTextMax bytes) and
// returns its length.
std::size_t format_float(double v, char* out);

}  // namespace tallyvox::json
