#include "app/win32/format_dlg.h"

#include <commctrl.h>

#include "app/job/format_job.h"
#include "app/win32/dialog_desktop.h"
#include "app/win32/dialog_messages.h"
#include "resources/resource_ids.h"

namespace {

constexpr const char* kCloseCaption = "Close";
constexpr const char* kStopCaption = "Stop";

constexpr const char* kNoDeviceText = "Device not found";
constexpr const char* kNoDeviceCaption = "Information";
constexpr const char* kNoThreadText = "The format could not be started: the system refused to start its thread.";

// Waits for `object`, serving meanwhile the messages that other threads send
// to this one: the worker's (progress, status, the job's end) and anyone
// else's, so that no sender waits on a thread that waits on it.
void WaitServingSentMessages(HANDLE object) {
  while (MsgWaitForMultipleObjects(1, &object, FALSE, INFINITE, QS_SENDMESSAGE) == WAIT_OBJECT_0 + 1) {
    MSG pending;
    PeekMessageA(&pending, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
  }
}

bool Signalled(HANDLE event) { return WaitForSingleObject(event, 0) == WAIT_OBJECT_0; }

}  // namespace

CFormatDlg::CFormatDlg(HINSTANCE instance_, ReaderFactory& readers_, PlatformVersionApi& version_, Clock& clock,
                       ShellApi& shell_, ThreadStarter& threads_)
    : instance(instance_),
      readers(readers_),
      version(version_),
      shell(shell_),
      threads(threads_),
      host(instance_, clock),
      icon(LoadIconA(instance_, MAKEINTRESOURCEA(IDR_MAIN_ICON))),
      jobFinished(CreateEventA(nullptr, TRUE, TRUE, nullptr)) {}

// The window, and with it the worker, is gone by now (OnDestroy).
CFormatDlg::~CFormatDlg() {
  if (jobFinished != nullptr) CloseHandle(jobFinished);
}

INT_PTR CFormatDlg::DoModal(HWND parent) {
  return DialogBoxParamA(instance, MAKEINTRESOURCEA(IDD_FORMAT_DIALOG), parent, DialogProc,
                         reinterpret_cast<LPARAM>(this));
}

INT_PTR CALLBACK CFormatDlg::DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INITDIALOG) {
    auto* self = reinterpret_cast<CFormatDlg*>(lParam);
    SetWindowLongPtrA(window, DWLP_USER, lParam);
    self->window = window;
    return self->OnInitDialog();
  }
  auto* self = reinterpret_cast<CFormatDlg*>(GetWindowLongPtrA(window, DWLP_USER));
  return self != nullptr ? self->OnMessage(message, wParam, lParam) : FALSE;
}

INT_PTR CFormatDlg::Reply(LRESULT result) {
  SetWindowLongPtrA(window, DWLP_MSGRESULT, result);
  return TRUE;
}

INT_PTR CFormatDlg::OnMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_PAINT:
      return OnPaint();
    case WM_QUERYDRAGICON:
      return reinterpret_cast<INT_PTR>(icon);
    case WM_DESTROY:
      OnDestroy();
      return FALSE;
    case WM_COMMAND:
      if (HIWORD(wParam) == BN_CLICKED) OnCommand(LOWORD(wParam));
      return TRUE;
    case kSetProgressMessage:
      SendMessageA(Control(IDC_PROGRESS), PBM_SETPOS, wParam, 0);
      return Reply(0);
    case kSetStatusMessage:
      SetWindowTextA(Control(IDC_STATUS), reinterpret_cast<const char*>(lParam));
      return Reply(0);
    case kSetProgressRangeMessage:
      SendMessageA(Control(IDC_PROGRESS), PBM_SETRANGE, 0, MAKELPARAM(wParam, lParam));
      return Reply(0);
    case kShowStatusMessage:
      ShowWindow(Control(IDC_STATUS), wParam != 0 ? SW_SHOW : SW_HIDE);
      return Reply(0);
    case kRestoreIdleMessage:
      if (jobRunning && wParam == job) OnRestoreIdle();  // the running job's end, from no one else
      return Reply(0);
    default:
      return FALSE;
  }
}

// --- Start-up and teardown ---------------------------------------------------------

BOOL CFormatDlg::OnInitDialog() {
  host.Attach(window);
  kind = DetectPlatform(version);
  SendMessageA(window, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon));
  SendMessageA(window, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon));
  stopFlag.store(1);
  ShowWindow(Control(IDC_FORMAT), SW_SHOW);
  ShowWindow(Control(IDC_PROGRESS), SW_SHOW);
  ShowWindow(Control(IDC_STATUS), SW_HIDE);
  FindReader();
  return TRUE;
}

// An unsupported platform gets no reader at all and is told, like a
// platform whose backend finds none, that there is no device.
void CFormatDlg::FindReader() {
  reader = readers.Create(kind, host);
  if (reader != nullptr) {
    char found = 0;
    reader->FindDevice(found);
    if (reader->IsOpen()) return;
  }
  EnableWindow(Control(IDC_FORMAT), FALSE);
  host.ShowMessage(kNoDeviceText, kNoDeviceCaption, MessageStyle{MessageButtons::Ok, MessageIcon::Error},
                   MessageOwner::Dialog);
  EndDialog(window, kNoDevice);
}

BOOL CFormatDlg::OnPaint() {
  if (!IsIconic(window)) return FALSE;
  PAINTSTRUCT paint;
  const HDC dc = BeginPaint(window, &paint);
  SendMessageA(window, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
  RECT client;
  GetClientRect(window, &client);
  const int x = (client.right - client.left - GetSystemMetrics(SM_CXICON) + 1) / 2;
  const int y = (client.bottom - client.top - GetSystemMetrics(SM_CYICON) + 1) / 2;
  DrawIcon(dc, x, y, icon);
  EndPaint(window, &paint);
  return TRUE;
}

// The dialog only ends once no job runs; should it be destroyed by any other
// path while one does, the job is stopped and waited for first, so that the
// reader is never closed or deleted under the worker.
void CFormatDlg::OnDestroy() {
  stopFlag.store(1);
  WaitForWorker();
  if (reader != nullptr) {
    reader->Close();
    reader.reset();
  }
}

void CFormatDlg::WaitForWorker() {
  if (worker == nullptr) return;
  WaitServingSentMessages(worker);
  CloseHandle(worker);
  worker = nullptr;
}

// --- Buttons ----------------------------------------------------------------------------

void CFormatDlg::OnCommand(int id) {
  switch (id) {
    case IDC_FORMAT:
      OnFormat();
      break;
    case IDC_CLOSE_STOP:
      OnCloseOrStop();
      break;
    case IDOK:  // Enter on a button that is not the default one
      OnEnter();
      break;
    case IDCANCEL:  // Escape, Alt+F4, the system menu's Close
      OnCancel();
      break;
    default:
      break;
  }
}

// One job at a time: the event is reset from a job's start to its very last
// step. The last job's thread may still be between its return to idle and
// that step: a click that comes so early is not taken (the job would share
// the stop flag and the event with it). Once past the event the thread
// touches nothing of the dialog's; its handle can go.
void CFormatDlg::OnFormat() {
  if (reader == nullptr || !Signalled(jobFinished)) return;
  if (worker != nullptr) CloseHandle(worker);

  ++job;
  jobRunning = true;
  stopFlag.store(0);
  SetWindowTextA(Control(IDC_CLOSE_STOP), kStopCaption);
  EnableWindow(Control(IDC_FORMAT), FALSE);
  ResetEvent(jobFinished);
  worker = threads.Start(WorkerMain, this);
  if (worker != nullptr) return;
  ShowIdle();  // no thread: back to idle at once
  stopFlag.store(1);
  SetEvent(jobFinished);
  host.ShowMessage(kNoThreadText, "Error", MessageStyle{MessageButtons::Ok, MessageIcon::Error}, MessageOwner::Dialog);
}

void CFormatDlg::OnCloseOrStop() {
  if (jobRunning) {
    stopFlag.store(1);
    return;
  }
  EndDialog(window, kClosed);  // the teardown waits for the last job's thread
}

// Enter while a job runs is Stop: it comes as IDOK even with the focus on
// the Stop button, which the dialog cannot make its default one (WM_USER+1,
// the number of DM_SETDEFID, sets the progress), and closing over a job
// would leave a half-erased card. With no job it closes the dialog.
void CFormatDlg::OnEnter() {
  if (jobRunning) {
    OnCloseOrStop();
    return;
  }
  OnCancel();
}

// Closing while a job runs stops it; the dialog then closes when the job's
// end steps have run (see OnRestoreIdle).
void CFormatDlg::OnCancel() {
  if (jobRunning) {
    stopFlag.store(1);
    closeRequested = true;
    return;
  }
  EndDialog(window, kCancelled);
}

void CFormatDlg::ShowIdle() {
  jobRunning = false;
  EnableWindow(Control(IDC_FORMAT), TRUE);
  SetWindowTextA(Control(IDC_CLOSE_STOP), kCloseCaption);
}

void CFormatDlg::OnRestoreIdle() {
  ShowIdle();
  if (closeRequested) {
    closeRequested = false;
    PostMessageA(window, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
  }
}

// --- The worker ------------------------------------------------------------------------

unsigned __stdcall CFormatDlg::WorkerMain(void* dialog) {
  static_cast<CFormatDlg*>(dialog)->RunJob();
  return 0;
}

void CFormatDlg::RunJob() {
  DialogDesktop desktop(window, shell, kind == PlatformKind::WindowsNt, job);
  FormatJob(*reader, host, desktop, stopFlag);
  SetEvent(jobFinished);  // the job's very last action
}
