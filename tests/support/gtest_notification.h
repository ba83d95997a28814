// GoogleTest's Notification for the Windows builds, read before any of its
// headers (tests/CMakeLists.txt passes it with -include). GoogleTest makes it
// of std::mutex and std::condition_variable, which the Windows runtime we
// build with (MinGW-w64's win32 thread model) does not have; the rest of
// GoogleTest's locking already uses the system's own. It is used only by
// GoogleTest's ThreadWithParam, which our tests do not start.
#pragma once

#include <atomic>
#include <thread>

#define GTEST_HAS_NOTIFICATION_ 1

namespace testing {
namespace internal {

class Notification {
 public:
  Notification() = default;
  Notification(const Notification&) = delete;
  Notification& operator=(const Notification&) = delete;

  void Notify() { notified.store(true); }
  void WaitForNotification() {
    while (!notified.load()) std::this_thread::yield();
  }

 private:
  std::atomic<bool> notified{false};
};

}  // namespace internal
}  // namespace testing
