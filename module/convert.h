// Python values to JSON values and back.
#pragma once

#include <expected>
#include <string>

#include "core/json/value.h"
#include "module/py.h"

namespace tallyvox::py {

// A failed conversion: its message, raised by the caller as SigningError; or,
// for the nesting guard, a RecursionError already set that propagates as is.
struct ConvertError {
  std::string message;
  bool exception_set = false;
};

// Values nested deeper than this fail with RecursionError even when the
// interpreter's own limit allows more, so that no native recursion over a
// converted value can exhaust the stack.
inline constexpr int kMaxNesting = 1000;

std::expected<json::Value, ConvertError> to_json_value(PyObject* obj);

// Raises a conversion failure as SigningError (or leaves the RecursionError).
PyObject* raise_convert_error(const ConvertError& error);

// A new reference, or an error message.
std::expected<PyObject*, std::string> to_python_value(const json::Value& value);

// Module function canonical_json.
extern PyMethodDef canonical_json_def;

}  // namespace tallyvox::py
