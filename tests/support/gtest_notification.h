// GoogleTest's Notification for the Windows builds, whose runtime (the win32
// thread model) has no std::mutex to make it of; tests/CMakeLists.txt puts
// this in front of every GoogleTest source. Only GoogleTest's own thread
// helper uses it.
#pragma once

#include <atomic>
#include <thread>

#define GTEST_HAS_NOTIFICATION_ 1

namespace testing::internal {

class Notification {
 public:
  void Notify() { notified.store(true); }
  void WaitForNotification() {
    while (!notified.load()) std::this_thread::yield();
  }

 private:
  std::atomic<bool> notified{false};
};

}  // namespace testing::internal
