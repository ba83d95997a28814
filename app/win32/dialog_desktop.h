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

 private:
  HWND dialog;
  ShellApi& shell;
  bool locksVolume;
  WPARAM job;
};
