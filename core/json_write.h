// Pieces of JSON text shared by every writer: string escapes, integers and
// floats, and a whole value written with object members in stored order.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "core/json_value.h"

namespace tallyvox::json {

// A double quote, the escaped contents, a double quote. Only '"', '\' and
// U+0000..U+001F are escaped; everything else is copied as UTF-8.
void write_string(std::string& out, std::string_view s);
void write_uint(std::string& out, std::uint64_t u);
void write_negint(std::string& out, std::int64_t i);
// The float text; a finite double only.
void write_float(std::string& out, double d);
// Null, booleans and numbers (not strings or containers).
void write_scalar(std::string& out, const Value& v);

// The value as compact JSON text, object members in their stored order.
void write_ordered(std::string& out, const Value& v);

}  // namespace tallyvox::json
