// The main dialog (template 131): finds the reader at start-up, runs one
// format job at a time on a worker thread, and shows its progress.
//
// Threads. The dialog thread owns every control. The worker reaches them
// only through the dialog's private messages (dialog_messages.h), which it
// sends and which the dialog thread serves; it shares with the dialog thread
// the stop flag and the job-finished event. Whether a job runs is the
// dialog's own state, set when it starts one and cleared by that job's end
// step alone, never read back from the controls, which other programs can
// change. The job's end steps restore the dialog to idle and raise the stop
// flag before the worker sets the event as its very last action. The dialog
// thread waits for the worker only at teardown, and serves the messages
// other threads send meanwhile, so that the worker (or anyone else) can
// never find it deaf.
#pragma once

#include <windows.h>

#include <atomic>
#include <memory>

#include "app/win32/clock.h"
#include "app/win32/dialog_host.h"
#include "app/win32/platform_kind.h"
#include "app/win32/reader_factory.h"
#include "app/win32/shell_api.h"
#include "app/win32/thread_starter.h"
#include "engine/reader_device.h"
#include "transport/win32/platform_version.h"

class CFormatDlg {
 public:
  // What the dialog ends with.
  static constexpr INT_PTR kClosed = 0;            // the Close button
  static constexpr INT_PTR kNoDevice = 1;          // "Device not found"
  static constexpr INT_PTR kCancelled = IDCANCEL;  // Escape, Alt+F4, the system menu

  // Loads the dialog's icon. The seams default to the real system.
  CFormatDlg(HINSTANCE instance, ReaderFactory& readers, PlatformVersionApi& version = SystemPlatformVersionApi(),
             Clock& clock = SystemClock(), ShellApi& shell = SystemShellApi(),
             ThreadStarter& threads = SystemThreadStarter());
  ~CFormatDlg();
  CFormatDlg(const CFormatDlg&) = delete;
  CFormatDlg& operator=(const CFormatDlg&) = delete;

  // Runs the dialog modally, with no parent unless given; returns how it ended.
  INT_PTR DoModal(HWND parent = nullptr);

  PlatformKind Kind() const { return kind; }
  HICON Icon() const { return icon; }
  // 1 while no job runs or a stop was asked for, 0 while a job may go on.
  int StopFlag() const { return stopFlag.load(); }
  // Manual reset; signalled while no job runs. Made with the dialog object
  // (signalled) and kept as long as it lives.
  HANDLE JobFinishedEvent() const { return jobFinished; }

 private:
  static INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  static unsigned __stdcall WorkerMain(void* dialog);

  INT_PTR OnMessage(UINT message, WPARAM wParam, LPARAM lParam);
  INT_PTR Reply(LRESULT result);
  BOOL OnInitDialog();
  void FindReader();
  BOOL OnPaint();
  void OnDestroy();
  void OnCommand(int id);
  void OnFormat();
  void OnCloseOrStop();
  void OnEnter();
  void OnCancel();
  void OnRestoreIdle();

  void ShowIdle();
  void RunJob();
  void WaitForWorker();
  HWND Control(int id) const { return GetDlgItem(window, id); }

  HINSTANCE instance;
  ReaderFactory& readers;
  PlatformVersionApi& version;
  ShellApi& shell;
  ThreadStarter& threads;
  DialogHost host;
  HICON icon;
  HWND window = nullptr;
  PlatformKind kind = PlatformKind::Unsupported;
  std::unique_ptr<CReaderDevice> reader;
  std::atomic<int> stopFlag{1};
  HANDLE jobFinished;
  HANDLE worker = nullptr;
  bool jobRunning = false;      // from Format to the job's end steps: the Close/Stop button is Stop
  WPARAM job = 0;               // the number of the last job started
  bool closeRequested = false;  // closing was asked for while a job ran
};
