#include "app/cli/console.h"

#include <csignal>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace {

std::atomic<int>* interruptFlag = nullptr;  // set once, before the handler is installed

extern "C" void OnInterrupt(int) {
  if (interruptFlag) interruptFlag->store(1);
  static const char kNote[] = "\nstopping at the next checkpoint (Ctrl-C again to quit at once)\n";
#ifdef _WIN32
  _write(2, kNote, sizeof kNote - 1);
#else
  const ssize_t ignored = write(2, kNote, sizeof kNote - 1);
  (void)ignored;
#endif
  std::signal(SIGINT, SIG_DFL);
}

}  // namespace

bool StderrIsTerminal() {
#ifdef _WIN32
  return _isatty(2) != 0;
#else
  return isatty(2) != 0;
#endif
}

void StopOnInterrupt(std::atomic<int>& stopFlag) {
  static_assert(std::atomic<int>::is_always_lock_free, "the stop flag is raised from a signal handler");
  interruptFlag = &stopFlag;
#ifdef _WIN32
  std::signal(SIGINT, OnInterrupt);
#else
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESETHAND;  // no SA_RESTART: a pending question is interrupted and answered No
  sigaction(SIGINT, &action, nullptr);
#endif
}
