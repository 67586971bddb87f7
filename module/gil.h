// Running core work with the interpreter lock released. A C++ exception
// thrown meanwhile is held until the lock is back, then rethrown, so that
// `guard` turns it into a Python exception with the lock held.
#pragma once

#include <exception>
#include <optional>
#include <type_traits>

#include "module/py.h"

namespace tallyvox::py {

// Calls `work()` without the GIL and returns its result. The work must not
// touch Python objects, only values taken from them beforehand.
template <class F>
auto without_gil(F&& work) -> std::invoke_result_t<F&> {
  using R = std::invoke_result_t<F&>;
  std::exception_ptr fault;
  PyThreadState* thread = PyEval_SaveThread();
  if constexpr (std::is_void_v<R>) {
    try {
      work();
    } catch (...) {
      fault = std::current_exception();
    }
    PyEval_RestoreThread(thread);
    if (fault) std::rethrow_exception(fault);
  } else {
    std::optional<R> result;
    try {
      result.emplace(work());
    } catch (...) {
      fault = std::current_exception();
    }
    PyEval_RestoreThread(thread);
    if (fault) std::rethrow_exception(fault);
    return std::move(*result);
  }
}

}  // namespace tallyvox::py
