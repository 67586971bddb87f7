// Pieces of JSON text shared by every writer: string escapes, integers and
// floats, and a whole value written with object members in stored order.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "core/json/value.h"
#include "core/util/buffer.h"

namespace tallyvox::json {

// A double quote, the escaped contents, a double quote. Only '"', '\' and
// U+0000..U+001F are escaped; everything else is copied as UTF-8.
void write_string(Buffer& out, std::string_view s);
void write_uint(Buffer& out, std::uint64_t u);
void write_negint(Buffer& out, std::int64_t i);
// The float text; a finite double only.
void write_float(Buffer& out, double d);
// Null, booleans and numbers (not strings or containers).
void write_scalar(Buffer& out, const Value& v);

// The value as compact JSON text; each object, at any depth, is written by
// `write_object`, which writes its members' values back through write_value.
using ObjectWriter = void (*)(Buffer& out, const Object& object);
void write_value(Buffer& out, const Value& v, ObjectWriter write_object);

// The value as compact JSON text, object members in their stored order.
void write_ordered(Buffer& out, const Value& v);

}  // namespace tallyvox::json
