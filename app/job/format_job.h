// One format job, as the Format button runs it: write-protect check, the
// operator's confirmation, the low-level format, and the completion report.
// The dialog runs it on its worker thread; the command-line tool runs it
// directly.
#pragma once

#include <atomic>
#include <string>

#include "engine/format_host.h"

class CReaderDevice;

// What the job needs from the desktop beyond the FormatHost. The dialog
// implements these with the shell and window calls; other front ends keep
// the defaults, which do nothing.
class JobDesktop {
 public:
  virtual ~JobDesktop() = default;
  // Asks the companion password tool, if its window is open, to let go of
  // the card. True when the tool was there and was told.
  virtual bool NotifyCompanionTool() { return false; }
  // Tells the shell that the root directory of the drive changed.
  virtual void NotifyDriveChanged(const std::string& /*rootPath*/) {}
  // Lets the system read the new volume's label and file-system name.
  virtual void QueryVolume(const std::string& /*rootPath*/) {}
  // The job's last steps on the front end: the Format button enabled and the
  // Close/Stop button back to Close. Called before the stop flag is raised.
  virtual void RestoreIdle() {}
  // Whether the card's volume is held locked during the format (the NT
  // family, where other programs write to the volumes they see).
  virtual bool LocksVolume() const { return false; }
  // Whether the front end has a status line (the dialog). It then shows,
  // before the confirmation, CardSummary, and after a stop, what became of
  // the card; other front ends say both their own way.
  virtual bool HasStatusLine() const { return false; }
  // The card's size and whether it holds files, in one short line.
  virtual std::string CardSummary(CReaderDevice& /*reader*/) { return {}; }
};

enum class JobOutcome { WriteProtected, Declined, Stopped, Failed, Completed };

// Runs one job. The stop flag is 0 on entry (the front end cleared it) and
// is 1 when the job returns.
JobOutcome FormatJob(CReaderDevice& reader, FormatHost& host, JobDesktop& desktop, std::atomic<int>& stopFlag);

// The job's first step: asks the reader whether the card is write-protected
// and, if it is, says so ("The disk cannot be formatted! ..."). True when it
// was refused.
bool RefuseWriteProtectedCard(CReaderDevice& reader, FormatHost& host);

// "E:\" for drive E.
std::string DriveRootPath(char driveLetter);
