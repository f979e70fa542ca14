// The lock behind the engine's default lock operations, for units that run without a platform of
// their own (tests, tools): a spin on one atomic flag, with no runtime behind it, so the engine
// carries no standard-library lock into a kernel image. A platform overrides the lock operations
// with its own locks.
#pragma once

#include <atomic>

class EngineSpinLock {
 public:
  void Lock() {
    while (mHeld.test_and_set(std::memory_order_acquire))
      while (mHeld.test(std::memory_order_relaxed)) {
      }
  }
  void Unlock() { mHeld.clear(std::memory_order_release); }

 private:
  std::atomic_flag mHeld;
};
