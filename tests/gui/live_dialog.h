// The format dialog, live, on a thread of its own, with every seam of the
// test's choosing: a simulated reader that can be made to pause at a chosen
// command, a virtual clock, a recording shell and any platform version. The
// test's thread drives it as an operator would (tests/gui/window_driver.h).
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "app/win32/format_dlg.h"
#include "sim/reader.h"
#include "sim/sim_reader_device.h"
#include "tests/gui/program_facts.h"
#include "tests/support/test_lock.h"
#include "transport/reader_commands.h"

namespace guitest {

using facts::kDialogCaption;

// What happened, in order, on every thread: reader commands ("ErasePhyBlk"),
// pauses ("sleep 500"), shell calls, the companion tool's messages.
class Timeline {
 public:
  void Add(const std::string& event);
  std::vector<std::string> Events() const;
  // Position of the first event equal to `event`, if any.
  std::optional<std::size_t> Find(const std::string& event) const;
  std::size_t Count(const std::string& event) const;

 private:
  mutable TestLock mutex;
  std::vector<std::string> events;
};

class VirtualClock : public Clock {
 public:
  explicit VirtualClock(Timeline& timeline) : timeline(timeline) {}
  void Sleep(std::uint32_t milliseconds) override;
  std::uint64_t Total() const { return total.load(); }
  std::function<void()> atNextPause;  // run once, by the thread that pauses next

 private:
  Timeline& timeline;
  std::atomic<std::uint64_t> total{0};
};

// The system's thread start, refused while `refuse` is set.
class TestThreadStarter : public ThreadStarter {
 public:
  HANDLE Start(Routine routine, void* argument) override {
    return refuse ? nullptr : SystemThreadStarter().Start(routine, argument);
  }
  std::atomic<bool> refuse{false};
};

class RecordingShell : public ShellApi {
 public:
  explicit RecordingShell(Timeline& timeline) : timeline(timeline) {}
  void NotifyDirectoryChanged(const std::string& path) override;
  void QueryVolumeInformation(const std::string& rootPath) override;

 private:
  Timeline& timeline;
};

// Answers with the records it was given; a missing record fails the call.
class FakeVersionApi : public PlatformVersionApi {
 public:
  std::optional<PlatformVersion> extended;
  std::optional<PlatformVersion> basic;
  int extendedCalls = 0;
  int basicCalls = 0;
  bool ReadExtended(PlatformVersion& version) override;
  bool ReadBasic(PlatformVersion& version) override;
};

// An NT-family system, as the tests' default.
FakeVersionApi WindowsXp();

// Holds the reader at the n-th call of one operation until released.
class CommandGate {
 public:
  CommandGate();
  ~CommandGate();
  CommandGate(const CommandGate&) = delete;
  CommandGate& operator=(const CommandGate&) = delete;

  void Arm(ReaderOperation operation, int call);
  // Called by the reader before each command.
  void Pass(ReaderOperation operation);
  bool WaitReached();
  void Release();

 private:
  HANDLE reached;
  HANDLE released;
  std::atomic<bool> armed{false};
  ReaderOperation operation = ReaderOperation::Inquiry;
  int call = 0;
  std::atomic<int> calls{0};
};

// The readers' lives, as the tests' factory saw them.
struct ReaderFate {
  std::atomic<int> created{0};
  std::atomic<int> closed{0};
  std::atomic<int> destroyed{0};
  std::atomic<int> closedAtDestruction{0};
  std::atomic<int> commandsInFlight{0};
  std::atomic<int> commandsInFlightAtDestruction{0};
  std::atomic<DWORD> lastWorker{0};  // the thread of the last job's first command
  std::atomic<bool> workerAliveAtDestruction{false};
  std::atomic<bool> volumeBusy{false};  // another program holds the card's volume
  std::atomic<bool> volumeGone{false};  // the volume cannot be opened: the reader is gone
};

// The simulated backend, with a gate, a log of its commands in the timeline
// and a record of its life.
class GatedSimReader : public CSimReader {
 public:
  GatedSimReader(FormatHost& host, sim::Reader& reader, CommandGate& gate, ReaderFate& fate, Timeline& timeline);
  ~GatedSimReader() override;

  int GetDeviceState(std::uint8_t& state) override;
  int LockVolume() override;
  int UnlockVolume() override;
  int FormatEnd() override;
  int WritePhySector(std::uint8_t unit, std::uint32_t sector, const SectorBuffer& data) override;
  int WriteRedundant(std::uint8_t unit, std::uint32_t sector, const RedundantArea& redundant) override;
  int ReadPhySector(std::uint8_t unit, std::uint32_t sector, PageBuffer& page) override;
  int ErasePhyBlk(std::uint8_t unit, std::uint16_t block) override;
  int WriteLBA(std::uint16_t sector, std::uint16_t count, const std::uint8_t* data) override;
  int ReadLBA(std::uint16_t sector, std::uint16_t count, std::uint8_t* data) override;
  void Close() override;

 private:
  template <typename Call>
  int Command(ReaderOperation operation, Call call);

  CommandGate& gate;
  ReaderFate& fate;
  Timeline& timeline;
};

// Makes a GatedSimReader over one simulated reader, whatever the platform,
// and notes the kinds it was asked for.
class TestReaderFactory : public ReaderFactory {
 public:
  TestReaderFactory(sim::Reader& reader, CommandGate& gate, ReaderFate& fate, Timeline& timeline);
  std::unique_ptr<CReaderDevice> Create(PlatformKind kind, FormatHost& host) override;
  std::vector<PlatformKind> kinds;

 private:
  sim::Reader& reader;
  CommandGate& gate;
  ReaderFate& fate;
  Timeline& timeline;
};

// Wraps another factory and notes what it was asked and what it gave.
class WatchingFactory : public ReaderFactory {
 public:
  explicit WatchingFactory(ReaderFactory& inner) : inner(inner) {}
  std::unique_ptr<CReaderDevice> Create(PlatformKind kind, FormatHost& host) override;
  std::vector<PlatformKind> kinds;
  int readersGiven = 0;

 private:
  ReaderFactory& inner;
};

// The dialog's state as the operator and the job see it.
struct DialogState {
  std::string closeCaption;
  bool formatEnabled = false;
  bool statusVisible = false;
  int stopFlag = -1;
  bool jobFinishedSignalled = false;
  bool operator==(const DialogState& o) const {
    return closeCaption == o.closeCaption && formatEnabled == o.formatEnabled && statusVisible == o.statusVisible &&
           stopFlag == o.stopFlag && jobFinishedSignalled == o.jobFinishedSignalled;
  }
};
void PrintTo(const DialogState& state, std::ostream* os);

const DialogState kIdle{"Close", true, false, 1, true};
const DialogState kRunning{"Stop", false, true, 0, false};
const DialogState kStopping{"Stop", false, true, 1, false};
const DialogState kStopped{"Close", true, true, 1, true};  // idle, the status line saying why

// One of the dialog's private messages as the dialog thread received it,
// with the job's shared state at that moment.
struct TracedMessage {
  UINT message = 0;
  WPARAM wParam = 0;
  int stopFlag = -1;
  bool jobFinishedSignalled = false;
};

class LiveDialog {
 public:
  LiveDialog(ReaderFactory& readers, PlatformVersionApi& version, Clock& clock, ShellApi& shell);
  // Makes sure the dialog has ended: releases the gate, dismisses message
  // boxes and cancels the dialog if a failed test left them.
  ~LiveDialog();
  LiveDialog(const LiveDialog&) = delete;
  LiveDialog& operator=(const LiveDialog&) = delete;

  // Starts the dialog's thread; the dialog may end during initialisation.
  void Start(CommandGate* gate = nullptr);
  // Waits for the dialog window; null if none appeared.
  HWND WaitForWindow();
  // Both.
  HWND Open(CommandGate* gate = nullptr);
  HWND Window() const { return window; }
  CFormatDlg& Dialog() { return *dialog; }
  TestThreadStarter& Threads() { return threads; }

  bool WaitEnded(DWORD deadlineMs = 20000);
  INT_PTR Result() const { return result; }
  bool WaitJobFinished();

  DialogState State() const;
  // Records the dialog's private messages from now on.
  void TraceMessages();
  std::vector<TracedMessage> Trace() const;
  std::vector<int> ProgressPositions() const;

 private:
  static unsigned __stdcall ThreadMain(void* self);
  static LRESULT CALLBACK TraceHook(int code, WPARAM wParam, LPARAM lParam);
  void ForceEnd();

  TestThreadStarter threads;
  std::unique_ptr<CFormatDlg> dialog;
  CommandGate* gate = nullptr;
  HANDLE thread = nullptr;
  DWORD threadId = 0;
  HWND window = nullptr;
  INT_PTR result = -1;
  HHOOK hook = nullptr;
  mutable TestLock traceMutex;
  std::vector<TracedMessage> trace;
};

// Waits for the message box of the box's caption (of this process unless
// given), checks that it is that box (its icon in this process only) and
// returns it.
gui::MessageBoxView ExpectBox(const facts::Box& box, DWORD processId = 0);
// The Format button clicked and the question answered Yes, checking the
// question on the way.
void StartFormat(HWND dialog);
// Through "Format Complete!" back to Idle.
void FinishFormat(LiveDialog& live);

}  // namespace guitest
