#include "tests/gui/live_dialog.h"

#include <process.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <utility>

#include "app/win32/dialog_messages.h"
#include "resources/resource_ids.h"
#include "tests/gui/window_driver.h"

namespace guitest {

namespace {

LiveDialog* tracedDialog = nullptr;  // the dialog whose messages TraceHook records

bool Signalled(HANDLE event) { return event != nullptr && WaitForSingleObject(event, 0) == WAIT_OBJECT_0; }

bool ThreadAlive(DWORD threadId) {
  const HANDLE thread = OpenThread(SYNCHRONIZE, FALSE, threadId);
  if (thread == nullptr) return false;
  const bool alive = WaitForSingleObject(thread, 0) == WAIT_TIMEOUT;
  CloseHandle(thread);
  return alive;
}

struct ThreadWindowSearch {
  HWND found = nullptr;
};

BOOL CALLBACK MatchDialog(HWND window, LPARAM param) {
  if (gui::WindowText(window) != kDialogCaption || !IsWindowVisible(window)) return TRUE;
  reinterpret_cast<ThreadWindowSearch*>(param)->found = window;
  return FALSE;
}

BOOL CALLBACK CollectBox(HWND window, LPARAM param) {
  if (gui::ClassName(window) == gui::kDialogClass && gui::WindowText(window) != kDialogCaption) {
    reinterpret_cast<std::vector<HWND>*>(param)->push_back(window);
  }
  return TRUE;
}

}  // namespace

// --- Timeline, clock, shell, version --------------------------------------------------

void Timeline::Add(const std::string& event) {
  std::lock_guard<TestLock> lock(mutex);
  events.push_back(event);
}

std::vector<std::string> Timeline::Events() const {
  std::lock_guard<TestLock> lock(mutex);
  return events;
}

std::optional<std::size_t> Timeline::Find(const std::string& event) const {
  std::lock_guard<TestLock> lock(mutex);
  const auto it = std::find(events.begin(), events.end(), event);
  if (it == events.end()) return std::nullopt;
  return static_cast<std::size_t>(it - events.begin());
}

std::size_t Timeline::Count(const std::string& event) const {
  std::lock_guard<TestLock> lock(mutex);
  return static_cast<std::size_t>(std::count(events.begin(), events.end(), event));
}

void VirtualClock::Sleep(std::uint32_t milliseconds) {
  total += milliseconds;
  timeline.Add("sleep " + std::to_string(milliseconds));
  if (atNextPause) std::exchange(atNextPause, nullptr)();
}

void RecordingShell::NotifyDirectoryChanged(const std::string& path) { timeline.Add("shell notify " + path); }

void RecordingShell::QueryVolumeInformation(const std::string& rootPath) { timeline.Add("volume query " + rootPath); }

bool FakeVersionApi::ReadExtended(PlatformVersion& version) {
  ++extendedCalls;
  if (extended) version = *extended;
  return extended.has_value();
}

bool FakeVersionApi::ReadBasic(PlatformVersion& version) {
  ++basicCalls;
  if (basic) version = *basic;
  return basic.has_value();
}

FakeVersionApi WindowsXp() {
  FakeVersionApi api;
  api.extended = PlatformVersion{VER_PLATFORM_WIN32_NT, 5, 1, 2600};
  return api;
}

// --- Gate and reader ---------------------------------------------------------------------

CommandGate::CommandGate()
    : reached(CreateEventA(nullptr, TRUE, FALSE, nullptr)), released(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}

CommandGate::~CommandGate() {
  CloseHandle(reached);
  CloseHandle(released);
}

void CommandGate::Arm(ReaderOperation operation_, int call_) {
  operation = operation_;
  call = call_;
  calls = 0;
  ResetEvent(reached);
  ResetEvent(released);
  armed = true;
}

void CommandGate::Pass(ReaderOperation passing) {
  if (!armed || passing != operation || ++calls != call) return;
  SetEvent(reached);
  WaitForSingleObject(released, gui::kDeadlineMs);
}

bool CommandGate::WaitReached() { return WaitForSingleObject(reached, gui::kDeadlineMs) == WAIT_OBJECT_0; }

void CommandGate::Release() {
  armed = false;
  SetEvent(released);
}

GatedSimReader::GatedSimReader(FormatHost& host, sim::Reader& reader, CommandGate& gate_, ReaderFate& fate_,
                               Timeline& timeline_)
    : CSimReader(host, reader), gate(gate_), fate(fate_), timeline(timeline_) {
  ++fate.created;
}

GatedSimReader::~GatedSimReader() {
  fate.closedAtDestruction = fate.closed.load();
  fate.commandsInFlightAtDestruction = fate.commandsInFlight.load();
  fate.workerAliveAtDestruction = fate.lastWorker != 0 && ThreadAlive(fate.lastWorker);
  ++fate.destroyed;
}

template <typename Call>
int GatedSimReader::Command(ReaderOperation operation, Call call) {
  ++fate.commandsInFlight;
  timeline.Add(CommandRowFor(operation).name);
  gate.Pass(operation);
  const int result = call();
  --fate.commandsInFlight;
  return result;
}

int GatedSimReader::GetDeviceState(std::uint8_t& state) {
  fate.lastWorker = GetCurrentThreadId();  // a job's first command
  return Command(ReaderOperation::GetDeviceState, [&] { return CSimReader::GetDeviceState(state); });
}

int GatedSimReader::LockVolume() {
  timeline.Add("LockVolume");
  if (fate.volumeGone) NoteCommandFault(CommandFault::DeviceGone);
  return fate.volumeBusy || fate.volumeGone ? 0 : 1;
}

int GatedSimReader::UnlockVolume() {
  timeline.Add("UnlockVolume");
  return 1;
}

int GatedSimReader::FormatEnd() {
  return Command(ReaderOperation::FormatEnd, [&] { return CSimReader::FormatEnd(); });
}

int GatedSimReader::WritePhySector(std::uint8_t unit, std::uint32_t sector, const SectorBuffer& data) {
  return Command(ReaderOperation::WritePhySector, [&] { return CSimReader::WritePhySector(unit, sector, data); });
}

int GatedSimReader::WriteRedundant(std::uint8_t unit, std::uint32_t sector, const RedundantArea& redundant) {
  return Command(ReaderOperation::WriteRedundant, [&] { return CSimReader::WriteRedundant(unit, sector, redundant); });
}

int GatedSimReader::ReadPhySector(std::uint8_t unit, std::uint32_t sector, PageBuffer& page) {
  return Command(ReaderOperation::ReadPhySector, [&] { return CSimReader::ReadPhySector(unit, sector, page); });
}

int GatedSimReader::ErasePhyBlk(std::uint8_t unit, std::uint16_t block) {
  return Command(ReaderOperation::ErasePhyBlk, [&] { return CSimReader::ErasePhyBlk(unit, block); });
}

int GatedSimReader::WriteLBA(std::uint16_t sector, std::uint16_t count, const std::uint8_t* data) {
  return Command(ReaderOperation::WriteLba, [&] { return CSimReader::WriteLBA(sector, count, data); });
}

int GatedSimReader::ReadLBA(std::uint16_t sector, std::uint16_t count, std::uint8_t* data) {
  return Command(ReaderOperation::ReadLba, [&] { return CSimReader::ReadLBA(sector, count, data); });
}

void GatedSimReader::Close() {
  ++fate.closed;
  CSimReader::Close();
}

TestReaderFactory::TestReaderFactory(sim::Reader& reader_, CommandGate& gate_, ReaderFate& fate_, Timeline& timeline_)
    : reader(reader_), gate(gate_), fate(fate_), timeline(timeline_) {}

std::unique_ptr<CReaderDevice> TestReaderFactory::Create(PlatformKind kind, FormatHost& host) {
  kinds.push_back(kind);
  return std::make_unique<GatedSimReader>(host, reader, gate, fate, timeline);
}

std::unique_ptr<CReaderDevice> WatchingFactory::Create(PlatformKind kind, FormatHost& host) {
  kinds.push_back(kind);
  auto reader = inner.Create(kind, host);
  if (reader != nullptr) ++readersGiven;
  return reader;
}

void PrintTo(const DialogState& s, std::ostream* os) {
  *os << "{caption \"" << s.closeCaption << "\", format " << (s.formatEnabled ? "enabled" : "disabled") << ", status "
      << (s.statusVisible ? "shown" : "hidden") << ", stop flag " << s.stopFlag << ", event "
      << (s.jobFinishedSignalled ? "set" : "reset") << "}";
}

// --- The live dialog ---------------------------------------------------------------------

LiveDialog::LiveDialog(ReaderFactory& readers, PlatformVersionApi& version, Clock& clock, ShellApi& shell)
    : dialog(std::make_unique<CFormatDlg>(GetModuleHandleA(nullptr), readers, version, clock, shell, threads)) {}

LiveDialog::~LiveDialog() {
  if (hook != nullptr) UnhookWindowsHookEx(hook);
  tracedDialog = nullptr;
  if (thread == nullptr) return;
  if (!WaitEnded(0)) ForceEnd();
  CloseHandle(thread);
}

void LiveDialog::ForceEnd() {
  gui::WaitUntil([&] {
    if (gate != nullptr) gate->Release();
    std::vector<HWND> boxes;
    EnumWindows(CollectBox, reinterpret_cast<LPARAM>(&boxes));
    for (HWND box : boxes) {
      DWORD process = 0;
      GetWindowThreadProcessId(box, &process);
      if (process != GetCurrentProcessId()) continue;
      PostMessageA(box, WM_COMMAND, IDNO, 0);
      PostMessageA(box, WM_COMMAND, IDOK, 0);
    }
    if (window != nullptr) PostMessageA(window, WM_COMMAND, IDCANCEL, 0);
    return WaitForSingleObject(thread, 50) == WAIT_OBJECT_0;
  });
}

unsigned __stdcall LiveDialog::ThreadMain(void* self) {
  auto* live = static_cast<LiveDialog*>(self);
  live->result = live->dialog->DoModal();
  return 0;
}

void LiveDialog::Start(CommandGate* gate_) {
  gate = gate_;
  unsigned id = 0;
  thread = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, ThreadMain, this, 0, &id));
  threadId = id;
}

HWND LiveDialog::Open(CommandGate* gate_) {
  Start(gate_);
  return WaitForWindow();
}

HWND LiveDialog::WaitForWindow() {
  gui::WaitUntil([&] {
    ThreadWindowSearch search;
    EnumThreadWindows(threadId, MatchDialog, reinterpret_cast<LPARAM>(&search));
    window = search.found;
    return window != nullptr || WaitForSingleObject(thread, 0) == WAIT_OBJECT_0;
  });
  return window;
}

bool LiveDialog::WaitEnded(DWORD deadlineMs) { return WaitForSingleObject(thread, deadlineMs) == WAIT_OBJECT_0; }

bool LiveDialog::WaitJobFinished() {
  return WaitForSingleObject(dialog->JobFinishedEvent(), gui::kDeadlineMs) == WAIT_OBJECT_0;
}

DialogState LiveDialog::State() const {
  DialogState state;
  state.closeCaption = gui::WindowText(GetDlgItem(window, IDC_CLOSE_STOP));
  state.formatEnabled = IsWindowEnabled(GetDlgItem(window, IDC_FORMAT)) != FALSE;
  state.statusVisible = IsWindowVisible(GetDlgItem(window, IDC_STATUS)) != FALSE;
  state.stopFlag = dialog->StopFlag();
  state.jobFinishedSignalled = Signalled(dialog->JobFinishedEvent());
  return state;
}

LRESULT CALLBACK LiveDialog::TraceHook(int code, WPARAM wParam, LPARAM lParam) {
  const auto* sent = reinterpret_cast<const CWPSTRUCT*>(lParam);
  LiveDialog* live = tracedDialog;
  if (code == HC_ACTION && live != nullptr && sent->hwnd == live->window && sent->message > WM_USER &&
      sent->message <= kRestoreIdleMessage) {
    TracedMessage traced{sent->message, sent->wParam, live->dialog->StopFlag(),
                         Signalled(live->dialog->JobFinishedEvent())};
    std::lock_guard<TestLock> lock(live->traceMutex);
    live->trace.push_back(traced);
  }
  return CallNextHookEx(nullptr, code, wParam, lParam);
}

void LiveDialog::TraceMessages() {
  tracedDialog = this;
  hook = SetWindowsHookExA(WH_CALLWNDPROC, TraceHook, nullptr, threadId);
}

std::vector<TracedMessage> LiveDialog::Trace() const {
  std::lock_guard<TestLock> lock(traceMutex);
  return trace;
}

std::vector<int> LiveDialog::ProgressPositions() const {
  std::vector<int> positions;
  for (const TracedMessage& traced : Trace()) {
    if (traced.message == kSetProgressMessage) positions.push_back(static_cast<int>(traced.wParam));
  }
  return positions;
}

gui::MessageBoxView ExpectBox(const facts::Box& box, DWORD processId) {
  const gui::MessageBoxView view = gui::WaitForMessageBox(box.caption, processId);
  EXPECT_EQ(view.text, box.text);
  EXPECT_EQ(view.buttons, box.buttons) << box.text;
  EXPECT_TRUE(processId != 0 || view.icon == box.icon) << box.text;  // icon handles are each process's own
  const LONG lastButton = GetWindowLongA(GetDlgItem(view.window, box.buttons.back()), GWL_STYLE);
  EXPECT_EQ(lastButton & BS_TYPEMASK, BS_DEFPUSHBUTTON) << "the default button: " << box.text;
  return view;
}

void StartFormat(HWND dialog) {
  gui::Click(dialog, IDC_FORMAT);
  const gui::MessageBoxView question = ExpectBox(facts::kConfirm);
  ASSERT_EQ(question.owner, dialog);
  ASSERT_TRUE(gui::Answer(question, IDYES));
}

void FinishFormat(LiveDialog& live) {
  ASSERT_TRUE(gui::Answer(ExpectBox(facts::kComplete), IDOK));
  ASSERT_TRUE(live.WaitJobFinished());
}

}  // namespace guitest
