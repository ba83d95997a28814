#include "app/cli/console.h"

#include <csignal>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <sys/ioctl.h>
#include <unistd.h>
#endif

namespace {

std::atomic<int>* interruptFlag = nullptr;  // set once, before the handler is installed
std::atomic<bool> questionWaiting{false};

void WriteNote(const char* text, unsigned length) {
#ifdef _WIN32
  _write(2, text, length);
#else
  const ssize_t ignored = write(2, text, length);
  (void)ignored;
#endif
}

extern "C" void OnInterrupt(int) {
  if (interruptFlag) interruptFlag->store(1);
  static const char kNote[] = "\nstopping at the next checkpoint (Ctrl-C again to quit at once)\n";
  static const char kLineEnd[] = "\n";
  if (questionWaiting.load()) {
    WriteNote(kLineEnd, sizeof kLineEnd - 1);
  } else {
    WriteNote(kNote, sizeof kNote - 1);
  }
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

int StderrColumns() {
#ifdef _WIN32
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &info)) return 0;
  return info.srWindow.Right - info.srWindow.Left + 1;
#else
  winsize size{};
  if (ioctl(2, TIOCGWINSZ, &size) != 0) return 0;
  return size.ws_col;
#endif
}

void InterruptAtQuestion(bool asking) { questionWaiting.store(asking); }

void StopOnInterrupt(std::atomic<int>& stopFlag) {
  static_assert(std::atomic<int>::is_always_lock_free, "the stop flag is raised from a signal handler");
  static_assert(std::atomic<bool>::is_always_lock_free, "the question's state is read in a signal handler");
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
