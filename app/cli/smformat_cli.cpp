#include "app/cli/smformat_cli.h"

#include <ostream>

#include "app/cli/arguments.h"
#include "app/cli/card_options.h"
#include "app/cli/simulated_format.h"

namespace {

constexpr const char* kUsage =
    "Usage: smformat --simulate IMAGE [--geometry G] [--yes]\n"
    "       smformat --help\n";

constexpr const char* kHelp =
    "Low-level formats a SmartMedia card and lays the SmartMedia FAT file system\n"
    "on it: erases every good block, writes the card information structure when\n"
    "the card has none, then writes the MBR, boot sector, FATs and root directory.\n"
    "Everything on the card is lost.\n"
    "\n"
    "Options:\n"
    "  --simulate IMAGE  format the simulated card held in the card image IMAGE\n"
    "                    (make one with 'smcard create')\n"
    "  --geometry G      the image's geometry when it is not one of the standard\n"
    "                    sizes: units of BLOCKSxPAGES joined by '+', e.g.\n"
    "                    1024x32+1024x32\n"
    "  --yes             answer the confirmation question with Yes\n"
    "  --help            show this help\n"
    "\n"
    "Progress is a bar on a terminal and plain lines otherwise; every message of\n"
    "the format appears as a line with its caption. Ctrl-C stops the format at\n"
    "its next checkpoint (the card is then left partly erased; format it again).\n"
    "\n"
    "A simulated card needs no time to present itself anew: its fixed pauses\n"
    "(1000 ms after each format-end command, after a failed command and while\n"
    "waiting for the reader) pass on a virtual clock and cost no time. Real\n"
    "readers keep them.\n"
    "\n"
    "Exit status: 0 formatted; 1 the format failed, was stopped, declined or\n"
    "refused; 2 the command line was wrong.\n"
    "\n"
    "Formatting a card in a real reader is done with the Windows program; this\n"
    "tool drives simulated cards only.\n";

int UsageError(CliContext& context, const std::string& problem) {
  context.err << "smformat: " << problem << "\n" << kUsage << "Try 'smformat --help'.\n";
  return kExitUsage;
}

}  // namespace

int SmformatMain(const std::vector<std::string>& args, CliContext& context) {
  const ParsedArgs parsed = ParseArgs(args, {"--simulate", "--geometry"}, {"--yes", "--help"});
  if (!parsed.error.empty()) return UsageError(context, parsed.error);
  if (parsed.Has("--help")) {
    context.out << kUsage << "\n" << kHelp;
    return kExitSuccess;
  }
  if (!parsed.positional.empty()) return UsageError(context, "unexpected argument '" + parsed.positional[0] + "'");
  const std::optional<std::string> image = parsed.Value("--simulate");
  if (!image) return UsageError(context, "no card given (--simulate IMAGE)");

  std::optional<sim::CardGeometry> geometry;
  if (const auto text = parsed.Value("--geometry")) {
    std::string error;
    geometry = ParseGeometry(*text, error);
    if (!geometry) return UsageError(context, error);
  }
  return FormatSimulatedCard(*image, geometry, parsed.Has("--yes"), context);
}
