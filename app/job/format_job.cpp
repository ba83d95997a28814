#include "app/job/format_job.h"

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

bool CardIsWriteProtected(CReaderDevice& reader) {
  std::uint8_t state = 0;
  reader.GetDeviceState(state);
  return (state & kWriteProtectBit) != 0;
}

bool OperatorConfirms(FormatHost& host) {
  return host.ShowMessage(kConfirmText, "Warning", MessageStyle{MessageButtons::YesNo, MessageIcon::Warning},
                          MessageOwner::Dialog) == MessageAnswer::Yes;
}

JobOutcome RunSteps(CReaderDevice& reader, FormatHost& host, JobDesktop& desktop, std::atomic<int>& stopFlag) {
  if (RefuseWriteProtectedCard(reader, host)) return JobOutcome::WriteProtected;
  if (!OperatorConfirms(host)) return JobOutcome::Declined;
  if (desktop.NotifyCompanionTool()) host.Sleep(kCompanionToolPause);

  host.ShowStatus(true);
  const int result = LowLevelFormat(reader, stopFlag, host);
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
  host.ShowMessage(kWriteProtectedText, "Error", MessageStyle{MessageButtons::Ok, MessageIcon::Error},
                   MessageOwner::Dialog);
  return true;
}

std::string DriveRootPath(char driveLetter) { return std::string{driveLetter, ':', '\\'}; }

JobOutcome FormatJob(CReaderDevice& reader, FormatHost& host, JobDesktop& desktop, std::atomic<int>& stopFlag) {
  const JobOutcome outcome = RunSteps(reader, host, desktop, stopFlag);
  // End steps, always in this order; the front end may let the dialog thread
  // go once the stop flag is up, so nothing touches the display after it.
  host.ShowStatus(false);
  host.SetProgress(kIdlePosition);
  desktop.RestoreIdle();
  stopFlag.store(1);
  return outcome;
}
