// A lock for test fixtures that several threads record into, in standard
// C++ alone: the Windows builds' runtime has no std::mutex. Held only for a
// few instructions at a time, so waiting by yielding costs nothing.
#pragma once

#include <atomic>
#include <thread>

class TestLock {
 public:
  void lock() {
    while (held.test_and_set(std::memory_order_acquire)) std::this_thread::yield();
  }
  void unlock() { held.clear(std::memory_order_release); }

 private:
  std::atomic_flag held = ATOMIC_FLAG_INIT;
};
