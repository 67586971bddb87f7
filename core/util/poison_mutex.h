// A mutex that remembers a fault: when an exception unwinds out of a locked
// region the lock is poisoned, and every later lock attempt throws the
// internal fault with the lock's message.
#pragma once

#include <exception>
#include <mutex>

#include "core/util/error.h"

namespace tallyvox {

class PoisonMutex {
 public:
  explicit PoisonMutex(const char* poisoned_message) : message_(poisoned_message) {}

  // Runs `work` under the lock whether or not it is poisoned: teardown that
  // must happen even after a fault (closing a file, wiping a key).
  template <class F>
  void teardown(F&& work) {
    std::lock_guard<std::mutex> lock(mutex_);
    work();
  }

  class Lock {
   public:
    explicit Lock(PoisonMutex& m) : m_(m), lock_(m.mutex_), unwinding_(std::uncaught_exceptions()) {
      if (m_.poisoned_) throw InternalFault(m_.message_);
    }
    ~Lock() {
      if (std::uncaught_exceptions() > unwinding_) m_.poisoned_ = true;
    }
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

   private:
    PoisonMutex& m_;
    std::lock_guard<std::mutex> lock_;
    int unwinding_;
  };

 private:
  const char* message_;
  std::mutex mutex_;
  bool poisoned_ = false;  // read and written only under mutex_
};

}  // namespace tallyvox
