// One argument binder and the argument conversions shared by every function
// and method of the module.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "module/py.h"

namespace tallyvox::py {

// A function's parameters: positional-or-keyword names first (the first
// `required` of them required), then keyword-only names (all required but
// the last `n_keyword_optional`).
struct Signature {
  const char* name;  // as shown in messages: "canonical_json()", "Session.open()"
  const char* const* positional;
  int n_positional;
  int n_required;
  const char* const* keyword_only;
  int n_keyword_only;
  int n_keyword_optional = 0;

  int size() const { return n_positional + n_keyword_only; }
};

// Binds a vectorcall into `out` (size() borrowed references, parameter
// order). Returns false with TypeError set.
bool bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
          PyObject** out);

// Adds the note "while processing '<name>'" to the pending exception.
void note_argument(const char* name);

// Conversions of one bound argument; each failure has the note for `name`.
bool arg_u64(PyObject* obj, const char* name, std::uint64_t* out);
bool arg_text(PyObject* obj, const char* name, std::string_view* out);
bool arg_path(PyObject* obj, const char* name, std::string* out);
// The exact class `type` (named `type_name` in messages); returns the object.
PyObject* arg_instance(PyObject* obj, const char* name, PyTypeObject* type,
                       const char* type_name);

// "'<type name>' object is not an instance of '<expected>'", and the same
// as TypeError.
std::string not_instance_message(PyObject* obj, const char* expected);
void raise_not_instance(PyObject* obj, const char* expected);
// The __name__ of an object's type.
std::string type_name(PyObject* obj);

}  // namespace tallyvox::py
