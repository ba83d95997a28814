#include "app/job/format_job.h"

#include <cstdint>
#include <optional>

#include "engine/low_level_format.h"
#include "engine/reader_device.h"

namespace {

constexpr std::uint8_t kWriteProtectBit = 0x01;
constexpr std::uint32_t kCompanionToolPause = 500;  // ms for the password tool to let go of the card
constexpr int kCompletePosition = 100;
constexpr int kIdlePosition = 0;

constexpr const char* kWriteProtectedText = "The disk cannot be formatted!\nThe switched is in write protect mode.\n";
constexpr const char* kConfirmText = "Format disk will erase all data on the device. Continue?";
constexpr const char* kCompleteText = "Format Complete!";
// The status line after a stop: before the format began, and after.
constexpr const char* kStoppedBeforeText = "Stopped: nothing was done.";
constexpr const char* kStoppedDuringText = "The card is partly erased: format it again.";

// Explorer, a viewer or the cache's writer may hold the volume for a moment,
// typically while they read a newly presented card; the lock is tried for
// about 5 s before the operator is asked. A Stop ends the tries at once.
constexpr int kVolumeLockTries = 50;
constexpr std::uint32_t kVolumeLockRetryPause = 100;  // ms

std::string VolumeBusyText(char driveLetter) {
  return std::string("Another program is using drive ") + driveLetter +
         ":, so it cannot be locked for the format. Format anyway?";
}

void ShowError(FormatHost& host, const std::string& text) {
  host.ShowMessage(text, "Error", MessageStyle{MessageButtons::Ok, MessageIcon::Error}, MessageOwner::Dialog);
}

// The card's volume, locked for the format so that no other program writes
// to it while its blocks are erased, and unlocked when the format is over.
class VolumeLock {
 public:
  VolumeLock(CReaderDevice& reader, FormatHost& host) : reader(reader), host(host) {}
  ~VolumeLock() { Release(); }
  VolumeLock(const VolumeLock&) = delete;
  VolumeLock& operator=(const VolumeLock&) = delete;

  // Nothing when the format may go on: the lock was granted within its
  // tries, or the operator chose to format without it; otherwise how the job
  // ends. A volume that cannot be opened because the card or the reader is
  // gone is not in use: that is said at once.
  std::optional<JobOutcome> Take(const std::atomic<int>& stopFlag) {
    for (int attempt = 1; attempt <= kVolumeLockTries; ++attempt) {
      if (stopFlag.load() != 0) return JobOutcome::Stopped;
      if (reader.LockVolume()) {
        held = true;
        return std::nullopt;
      }
      if (reader.CardGone()) {
        ShowError(host, CardGoneText(reader.LastCommandFault()));
        return JobOutcome::Failed;
      }
      if (attempt < kVolumeLockTries) host.Sleep(kVolumeLockRetryPause);
    }
    const bool anyway = host.ShowMessage(VolumeBusyText(reader.GetDriveLetter()), "Warning",
                                         MessageStyle{MessageButtons::YesNo, MessageIcon::Warning},
                                         MessageOwner::Dialog) == MessageAnswer::Yes;
    if (!anyway) return JobOutcome::Declined;
    return std::nullopt;
  }

  void Release() {
    if (held) reader.UnlockVolume();
    held = false;
  }

 private:
  CReaderDevice& reader;
  FormatHost& host;
  bool held = false;
};

bool CardIsWriteProtected(CReaderDevice& reader) {
  std::uint8_t state = 0;
  reader.GetDeviceState(state);
  return (state & kWriteProtectBit) != 0;
}

bool OperatorConfirms(FormatHost& host) {
  return host.ShowMessage(kConfirmText, "Warning", MessageStyle{MessageButtons::YesNo, MessageIcon::Warning},
                          MessageOwner::Dialog) == MessageAnswer::Yes;
}

// `formatBegan` tells whether the card may have been changed.
JobOutcome RunSteps(CReaderDevice& reader, FormatHost& host, JobDesktop& desktop, std::atomic<int>& stopFlag,
                    bool& formatBegan) {
  if (RefuseWriteProtectedCard(reader, host)) return JobOutcome::WriteProtected;
  if (desktop.HasStatusLine()) {
    host.SetStatus(desktop.CardSummary(reader));
    host.ShowStatus(true);
  }
  if (!OperatorConfirms(host)) return JobOutcome::Declined;
  if (desktop.NotifyCompanionTool()) host.Sleep(kCompanionToolPause);
  VolumeLock volume(reader, host);
  if (desktop.LocksVolume()) {
    const std::optional<JobOutcome> end = volume.Take(stopFlag);
    if (end) return *end;
  }

  host.ShowStatus(true);
  formatBegan = true;
  const int result = LowLevelFormat(reader, stopFlag, host);
  volume.Release();  // before the shell hears of the drive
  if (stopFlag.load() != 0) return JobOutcome::Stopped;

  const std::string root = DriveRootPath(reader.GetDriveLetter());
  host.SetProgress(kCompletePosition);
  desktop.NotifyDriveChanged(root);
  if (result != 1) return JobOutcome::Failed;
  host.ShowMessage(kCompleteText, "Information", MessageStyle{MessageButtons::Ok, MessageIcon::Information},
                   MessageOwner::Dialog);
  desktop.QueryVolume(root);
  return JobOutcome::Completed;
}

}  // namespace

bool RefuseWriteProtectedCard(CReaderDevice& reader, FormatHost& host) {
  if (!CardIsWriteProtected(reader)) return false;
  ShowError(host, kWriteProtectedText);
  return true;
}

std::string DriveRootPath(char driveLetter) { return std::string{driveLetter, ':', '\\'}; }

JobOutcome FormatJob(CReaderDevice& reader, FormatHost& host, JobDesktop& desktop, std::atomic<int>& stopFlag) {
  bool formatBegan = false;
  const JobOutcome outcome = RunSteps(reader, host, desktop, stopFlag, formatBegan);
  // End steps, always in this order; the front end may let the dialog thread
  // go once the stop flag is up, so nothing touches the display after it.
  // After a stop the status line stays, saying what became of the card.
  const bool stopNote = outcome == JobOutcome::Stopped && desktop.HasStatusLine();
  if (stopNote) host.SetStatus(formatBegan ? kStoppedDuringText : kStoppedBeforeText);
  host.ShowStatus(stopNote);
  host.SetProgress(kIdlePosition);
  desktop.RestoreIdle();
  stopFlag.store(1);
  return outcome;
}
