// A lock for fixtures that several threads record into, in standard C++
// alone (the Windows runtime has no std::mutex); held for a few instructions.
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
