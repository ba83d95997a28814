#include "app/cli/format_ending.h"

#include <cstdlib>
#include <ostream>

#include "app/cli/pass_meter.h"
#include "app/cli/progress_line.h"
#include "app/cli/real_readers.h"

namespace {

// The format's own warning: "2 blocks of the card could not be read or
// erased and were marked bad."
constexpr const char* kRetiredWarning = " of the card could not be read or erased and ";

constexpr std::uint64_t kMsPerSecond = 1000;

}  // namespace

MessageAnswer FormatWatch::ShowMessage(const std::string& text, const std::string& caption, MessageStyle style,
                                       MessageOwner owner) {
  if (text.find(kRetiredWarning) != std::string::npos) {
    retired = static_cast<std::uint32_t>(std::strtoul(text.c_str(), nullptr, 10));
  }
  return inner.ShowMessage(text, caption, style, owner);
}

void FormatWatch::ShowStatus(bool visible) {
  if (visible && !began) {
    began = true;
    started = Milliseconds(context);
  }
  inner.ShowStatus(visible);
}

std::uint64_t FormatWatch::SecondsTaken() const { return began ? (Milliseconds(context) - started) / kMsPerSecond : 0; }

int TellDeclined(CliContext& context) {
  context.err << "Nothing was done.\n";
  return kExitDeclined;
}

int TellFormatEnd(JobOutcome outcome, const FormatWatch& watch, const MediaGeometry& geometry, CliContext& context,
                  int completedStatus) {
  switch (outcome) {
    case JobOutcome::Declined:
      return TellDeclined(context);
    case JobOutcome::Stopped:
      context.err << "Stopped. The card is partly erased: format it again.\n";
      return kExitDeclined;
    case JobOutcome::Completed: {
      const std::uint32_t retired = watch.RetiredBlocks();
      if (!context.quiet) {
        context.err << "Formatted a " << CardMegabytesText(geometry) << " card in "
                    << DurationText(watch.SecondsTaken()) << "; "
                    << (retired == 0 ? std::string("no blocks")
                                     : std::to_string(retired) + (retired == 1 ? " block" : " blocks"))
                    << " retired.\n";
      }
      return completedStatus;
    }
    case JobOutcome::WriteProtected:
    case JobOutcome::Failed:
      break;
  }
  return kExitFailure;
}
