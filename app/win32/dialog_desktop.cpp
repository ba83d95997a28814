#include "app/win32/dialog_desktop.h"

#include "app/cli/card_read.h"
#include "app/cli/real_readers.h"
#include "app/win32/dialog_messages.h"
#include "engine/reader_device.h"

DialogDesktop::DialogDesktop(HWND dialog_, ShellApi& shell_, bool locksVolume_, WPARAM job_)
    : dialog(dialog_), shell(shell_), locksVolume(locksVolume_), job(job_) {}

bool DialogDesktop::NotifyCompanionTool() {
  const HWND tool = FindWindowA(nullptr, kCompanionToolTitle);
  if (tool == nullptr) return false;
  SendMessageA(tool, WM_COMMAND, kCompanionToolCommand, kCompanionToolCommandParam);
  return true;
}

void DialogDesktop::NotifyDriveChanged(const std::string& rootPath) { shell.NotifyDirectoryChanged(rootPath); }

void DialogDesktop::QueryVolume(const std::string& rootPath) { shell.QueryVolumeInformation(rootPath); }

std::string DialogDesktop::CardSummary(CReaderDevice& reader) {
  std::uint32_t key = 0;
  reader.GetCapacity(&key, nullptr);
  return CardSizeText(reader.geometry, key) + (CardFilesNotice(reader).empty() ? ", no files" : ", holds files");
}

void DialogDesktop::RestoreIdle() { SendMessageA(dialog, kRestoreIdleMessage, job, 0); }
