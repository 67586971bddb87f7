// Running core work with the interpreter lock released. A C++ exception
// thrown meanwhile is held until the lock is back, then rethrown, so that
// `guard` turns it into a Python exception with the lock held.
//
// While the interpreter finalizes, CPython ends a daemon thread that asks
// for the lock back (pthread_exit: a forced unwind, abi::__forced_unwind).
// That unwind must pass every frame up to the thread's start: a catch that
// swallows it aborts the process ("exception not rethrown"), and so does a
// noexcept frame. The thread it ends no longer holds the lock, so
// destructors on the way must leave Python objects alone (see
// `thread_is_ending`).
#pragma once

#include <cxxabi.h>

#include <exception>
#include <optional>
#include <type_traits>

#include "module/py.h"

namespace tallyvox::py {

namespace detail {
// The state this thread gave up in `without_gil`, while it runs without the
// lock; lets a signal check take the lock back for a moment.
inline thread_local PyThreadState* released = nullptr;
inline thread_local bool ending = false;
}  // namespace detail

// True on a thread that the interpreter is ending: it unwinds without the
// lock, so Python references must be left to leak, not released.
inline bool thread_is_ending() { return detail::ending; }

// PyEval_RestoreThread, marking the thread as ending when CPython ends it
// there instead.
inline void take_gil(PyThreadState* state) {
  try {
    PyEval_RestoreThread(state);
  } catch (abi::__forced_unwind&) {
    detail::ending = true;
    throw;
  }
}

// The state released by the `without_gil` running on this thread, or null.
inline PyThreadState* released_state() { return detail::released; }
inline void set_released_state(PyThreadState* state) { detail::released = state; }

// Calls `work()` without the GIL and returns its result. The work must not
// touch Python objects, only values taken from them beforehand.
template <class F>
auto without_gil(F&& work) -> std::invoke_result_t<F&> {
  using R = std::invoke_result_t<F&>;
  std::exception_ptr fault;
  PyThreadState* outer = detail::released;  // a signal handler may nest a call
  PyThreadState* thread = PyEval_SaveThread();
  detail::released = thread;
  std::optional<std::conditional_t<std::is_void_v<R>, bool, R>> result;
  try {
    if constexpr (std::is_void_v<R>) {
      work();
      result.emplace(true);
    } else {
      result.emplace(work());
    }
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (...) {
    fault = std::current_exception();
  }
  take_gil(thread);
  detail::released = outer;
  if (fault) std::rethrow_exception(fault);
  if constexpr (!std::is_void_v<R>) return std::move(*result);
}

}  // namespace tallyvox::py
