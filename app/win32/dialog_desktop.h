// What the format job needs from the desktop, for the dialog: the companion
// password tool's window, the shell, and the dialog's return to idle.
#pragma once

#include <windows.h>

#include "app/job/format_job.h"
#include "app/win32/shell_api.h"

// Title of the companion password tool's main window.
constexpr const char* kCompanionToolTitle = "Vantrel Password Tool";
// The command the tool gets before a format: WM_COMMAND with these.
constexpr WPARAM kCompanionToolCommand = 1;
constexpr LPARAM kCompanionToolCommandParam = 0;

class DialogDesktop : public JobDesktop {
 public:
  // `locksVolume`: on the NT family, where the backend can lock the volume.
  // `job`: the number the dialog gave the job, which its end carries.
  DialogDesktop(HWND dialog, ShellApi& shell, bool locksVolume, WPARAM job);

  // Sends the command to the tool's window, if one is open, and waits until
  // the tool has handled it.
  bool NotifyCompanionTool() override;
  void NotifyDriveChanged(const std::string& rootPath) override;
  void QueryVolume(const std::string& rootPath) override;
  void RestoreIdle() override;
  bool LocksVolume() const override { return locksVolume; }
  bool HasStatusLine() const override { return true; }
  // "16 MB card, 32000 sectors, holds files" ("no files"): what the console
  // tool says before its question, short enough for the status line. A root
  // directory that cannot be read counts as holding files.
  std::string CardSummary(CReaderDevice& reader) override;

 private:
  HWND dialog;
  ShellApi& shell;
  bool locksVolume;
  WPARAM job;
};
