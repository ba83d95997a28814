#include "app/cli/format_ending.h"

#include <cctype>
#include <optional>
#include <ostream>

#include "app/cli/pass_meter.h"
#include "app/cli/progress_line.h"
#include "app/cli/real_readers.h"

namespace {

constexpr std::uint64_t kMsPerSecond = 1000;

// "2 blocks ..." -> 2; none when the text begins with no digit.
std::optional<std::uint32_t> LeadingNumber(const std::string& text) {
  constexpr std::uint32_t kBase = 10;
  std::size_t digits = 0;
  std::uint32_t number = 0;
  for (; digits < text.size() && std::isdigit(static_cast<unsigned char>(text[digits])) != 0; ++digits) {
    number = number * kBase + static_cast<std::uint32_t>(text[digits] - '0');
  }
  if (digits == 0) return std::nullopt;
  return number;
}

// The blocks the format's warning says it marked bad, a sentence each kind:
// "2 blocks of the card could not be erased and were marked bad." counts
// 2, "Block 9 of unit 0 held a page ...; it was marked bad ..." counts 1;
// "..., nor marked bad" none.
std::uint32_t MarkedBlocks(const std::string& warning) {
  std::uint32_t marked = 0;
  for (std::size_t start = 0; start < warning.size();) {
    std::size_t end = warning.find(". ", start);
    if (end == std::string::npos) end = warning.size();
    const std::string sentence = warning.substr(start, end - start);
    start = end + 2;
    const bool saysMarked =
        sentence.find("was marked bad") != std::string::npos || sentence.find("were marked bad") != std::string::npos;
    if (!saysMarked || sentence.find("nor marked bad") != std::string::npos) continue;
    marked += LeadingNumber(sentence).value_or(1);
  }
  return marked;
}

}  // namespace

MessageAnswer FormatWatch::ShowMessage(const std::string& text, const std::string& caption, MessageStyle style,
                                       MessageOwner owner) {
  retired += MarkedBlocks(text);
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
