// Canonical JSON: object members sorted by the UTF-8 bytes of their keys, no
// whitespace, the shared string escapes and float text. The one encoding that
// is hashed and that canonical_json returns.
#pragma once

#include <string>

#include "core/json/value.h"
#include "core/util/buffer.h"

namespace tallyvox::json {

// Appends the canonical encoding of `value` to `out`. Cannot fail.
void write_canonical_json(Buffer& out, const Value& value);

std::string to_canonical_json(const Value& value);

}  // namespace tallyvox::json
