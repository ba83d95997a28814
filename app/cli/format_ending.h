// How a format ends on the terminal: a line that says what happened and
// what to do next, and the tool's exit status for it.
#pragma once

#include <cstdint>
#include <string>

#include "app/cli/cli_context.h"
#include "app/job/format_job.h"
#include "engine/format_host.h"
#include "engine/media_geometry.h"

// Passes everything on to `inner` and notes, on the way, when the format
// began (the job shows its progress from then on) and how many blocks the
// format marked bad (the warning it gives about them).
class FormatWatch : public FormatHost {
 public:
  FormatWatch(FormatHost& inner, CliContext& context) : inner(inner), context(context) {}

  MessageAnswer ShowMessage(const std::string& text, const std::string& caption, MessageStyle style,
                            MessageOwner owner) override;
  void SetProgressRange(int low, int high) override { inner.SetProgressRange(low, high); }
  void SetProgress(int position) override { inner.SetProgress(position); }
  void SetStatus(const std::string& text) override { inner.SetStatus(text); }
  void ShowStatus(bool visible) override;
  void Sleep(std::uint32_t milliseconds) override { inner.Sleep(milliseconds); }
  std::string DeviceIdListText() const override { return inner.DeviceIdListText(); }

  std::uint64_t SecondsTaken() const;
  std::uint32_t RetiredBlocks() const { return retired; }

 private:
  FormatHost& inner;
  CliContext& context;
  std::uint64_t started = 0;
  bool began = false;
  std::uint32_t retired = 0;
};

// Says how the job ended: "Nothing was done." after No, what to do with a
// card left partly erased, the summary of a format that is complete
// ("Formatted a 16 MB card in 41 s; 2 blocks retired."). Returns the exit
// status; `completedStatus` is the one of a complete format (a restore after
// it may have failed).
int TellFormatEnd(JobOutcome outcome, const FormatWatch& watch, const MediaGeometry& geometry, CliContext& context,
                  int completedStatus = kExitSuccess);

// After the confirmation was answered No: says so; kExitDeclined.
int TellDeclined(CliContext& context);
