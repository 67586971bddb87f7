// Exception classes and the boundary where core errors become exceptions.
// No C++ exception crosses into CPython: every entry point runs in `guard`.
#pragma once

#include <cxxabi.h>

#include <exception>
#include <new>
#include <string>
#include <string_view>
#include <type_traits>

#include "module/py.h"

namespace tallyvox::py {

struct Exceptions {
  PyObject* tallyvox_error = nullptr;
  PyObject* key_load_error = nullptr;
  PyObject* signing_error = nullptr;
  PyObject* ledger_error = nullptr;
  PyObject* chain_error = nullptr;
  PyObject* internal_fault = nullptr;  // derived from BaseException; not exported
};

// Created once per process on first use; nullptr with an exception set on
// failure.
const Exceptions* exceptions();

PyObject* raise_key_load_error(std::string_view text);
PyObject* raise_signing_error(std::string_view text);
PyObject* raise_ledger_error(std::string_view text);
PyObject* raise_session_error(bool is_ledger, std::string_view text);
PyObject* raise_chain_error(std::string_view text);
PyObject* raise_internal_fault(std::string_view text);

// The pending exception as an object (a new reference, its traceback
// attached), which is cleared.
PyObject* take_exception();

// "Qualname: str(exc)" of the pending exception, which is cleared.
std::string take_exception_message();

// Runs an entry point body; a C++ exception becomes MemoryError or the
// internal fault. Not noexcept, and the interpreter's forced unwind of a
// thread it ends at exit goes on through (see module/gil.h).
template <class F>
auto guard(F&& body) -> decltype(body()) {
  try {
    return body();
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    raise_internal_fault(e.what());
  } catch (...) {
    raise_internal_fault("unexpected C++ exception");
  }
  if constexpr (std::is_pointer_v<decltype(body())>) {
    return nullptr;
  } else {
    return -1;
  }
}

}  // namespace tallyvox::py
