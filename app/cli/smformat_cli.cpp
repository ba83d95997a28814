#include "app/cli/smformat_cli.h"

#include <cstdio>
#include <ostream>

#include "app/cli/arguments.h"
#include "app/cli/card_options.h"
#include "app/cli/card_read.h"
#include "app/cli/real_readers.h"
#include "app/cli/simulated_format.h"
#include "smformat_version.h"

namespace {

constexpr const char* kUsage =
    "Usage: smformat [-y] [-q] [--trace FILE] [--restore DUMP] DEVICE\n"
    "       smformat --dry-run [--restore DUMP] [--trace FILE] DEVICE\n"
    "       smformat [-q] [--trace FILE]\n"
    "       smformat --list [--json] [--trace FILE]\n"
    "       smformat --logical TARGET [--trace FILE] [-y]\n"
    "       smformat --simulate IMAGE [--geometry G] [-y | --dry-run] [-q] [--restore DUMP]\n"
    "       smformat --check [--full] [--json] [-q] [--trace FILE] DEVICE\n"
    "       smformat --dump OUT [--force] [-q] [--trace FILE] DEVICE\n"
    "       smformat (--check [--full] [--json] | --dump OUT [--force]) --simulate IMAGE [--geometry G]\n"
    "       smformat -h | --help | -V | --version\n";

// The help, in three pieces: what differs between the platforms (the
// device's name, who may send vendor commands, where files go) sits in
// between, from the platform's own file.
constexpr const char* kHelpHead =
    "Low-level formats a SmartMedia card and lays the SmartMedia FAT file system\n"
    "on it: erases every good block, writes the card information structure when\n"
    "the card has none, then writes the MBR, boot sector, FATs and root directory.\n"
    "Everything on the card is lost.\n"
    "\n"
    "  DEVICE            format the card in this reader (%s); without DEVICE,\n"
    "                    the one supported reader that holds a card\n"
    "  --list            list the USB disks: the supported readers with their\n"
    "                    card, size and write-protect tab, the others with the\n"
    "                    reason they are not supported (they get no command\n"
    "                    beyond INQUIRY); with --json, one JSON object\n"
    "  --logical TARGET  write only the SmartMedia file system (MBR, boot sector,\n"
    "                    FATs, root directory), with plain block I/O, on\n"
    "                    %s;\n"
    "                    TARGET must hold a card's logical size (2000 sectors for\n"
    "                    1 MB ... 32000 for 16 MB ... 256000 for 128 MB)\n"
    "  --check           report what is wrong with the card, as 'smcard check'\n"
    "                    does on a card image, from the first page of each block\n"
    "                    and the file system's sectors: the CIS, factory and\n"
    "                    retired bad blocks, ECC errors (correctable and not),\n"
    "                    unreadable pages, block addresses, logical blocks\n"
    "                    claimed twice, the write-protect tab, whether it holds\n"
    "                    the SmartMedia file system (or what instead) and its\n"
    "                    files; faults of the card apart from differences from\n"
    "                    the layout, which a format mends. Writes nothing.\n"
    "  --full            let --check read every page, for ECC errors and\n"
    "                    unreadable pages inside files\n"
    "  --json            the report of --check or --list as one JSON object\n"
    "  --dump OUT        copy every page of the card with its redundant area into\n"
    "                    OUT, a card image that smcard and --simulate take; pages\n"
    "                    that cannot be read are listed in OUT.faults; writes\n"
    "                    nothing to the card. A dump that stops keeps what it\n"
    "                    read in OUT.part (and OUT.part.map); the same command\n"
    "                    with the same card goes on from there\n"
    "  --force           let --dump replace an existing OUT (and OUT.faults), and\n"
    "                    a partial dump of another card\n"
    "  --dry-run         tell what a format would do, writing nothing: on a\n"
    "                    reader, from the first page of each block and the file\n"
    "                    system's sectors; with --simulate, by formatting a copy\n"
    "                    of IMAGE, which stays as it was\n"
    "  --restore DUMP    after the format, put back the file system of DUMP (a\n"
    "                    dump of a card of the same size with the SmartMedia\n"
    "                    layout): its sectors in use, each page read back;\n"
    "                    sectors the dump could not read are not written as data\n"
    "  --simulate IMAGE  format (or check, or dump) the simulated card held in the\n"
    "                    card image IMAGE (make one with 'smcard create')\n"
    "  --geometry G      the image's geometry when it is not one of the standard\n"
    "                    sizes: units of BLOCKSxPAGES joined by '+', e.g.\n"
    "                    1024x32+1024x32\n"
    "  --trace FILE      log every command sent to the reader (command block,\n"
    "                    direction, length, status, sense data, duration)\n"
    "  -y, --yes         answer the confirmation question with Yes (only with\n"
    "                    DEVICE, TARGET or IMAGE named); without it, and without\n"
    "                    a terminal to answer on, nothing is done\n"
    "  -q, --quiet       no progress and no closing summary; messages, errors and\n"
    "                    the question stay\n"
    "  -h, --help        show this help\n"
    "  -V, --version     show the program's version\n"
    "\n";

constexpr const char* kHelpTail =
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
    "Before a format, --check and --dump save what can be saved: list the files\n"
    "of the dump with 'smcard files OUT', copy them off with 'smcard extract OUT\n"
    "FOLDER', or format with --restore OUT to put them back.\n"
    "\n";

int UsageError(CliContext& context, const std::string& problem) {
  context.err << "smformat: " << problem << "\n" << kUsage << "Try 'smformat --help'.\n";
  return kExitUsage;
}

std::string Help() {
  std::vector<char> text(std::char_traits<char>::length(kHelpHead) + 256);
  std::snprintf(text.data(), text.size(), kHelpHead, kDeviceExample, kLogicalTargets);
  return text.data() + std::string(kPlatformHelp) + kHelpTail + kExitStatusHelp;
}

}  // namespace

namespace {

// --check and --dump: what they need on the command line.
std::string CardReadUsageFault(const ParsedArgs& parsed, bool check, bool dump, bool otherWork) {
  if (check && dump) return "give one of --check and --dump";
  if (otherWork) return "--check and --dump take a DEVICE or --simulate IMAGE, not --list or --logical";
  if (parsed.positional.empty() && !parsed.Value("--simulate")) {
    return std::string("--check and --dump need a DEVICE (") + kDeviceExample + ") or --simulate IMAGE";
  }
  if (parsed.Has("--yes")) return "--yes does not apply to --check and --dump: they ask nothing";
  return "";
}

std::string OptionPairingFault(const ParsedArgs& parsed, bool check, bool dump) {
  if (parsed.Has("--json") && !check && !parsed.Has("--list")) return "--json applies to --check and --list only";
  if (parsed.Has("--full") && !check) return "--full applies to --check only";
  if (parsed.Has("--force") && !dump) return "--force applies to --dump only";
  return "";
}

// --dry-run and --restore go with a format of a DEVICE or a simulated card.
std::string FormatOptionFault(const ParsedArgs& parsed, bool otherWork) {
  const bool dryRun = parsed.Has("--dry-run");
  if (!dryRun && !parsed.Value("--restore")) return "";
  if (otherWork) return "--dry-run and --restore go with a format, not with --check, --dump, --list or --logical";
  if (!dryRun) return "";
  if (parsed.positional.empty() && !parsed.Value("--simulate")) {
    return std::string("--dry-run needs a DEVICE (") + kDeviceExample + ") or --simulate IMAGE";
  }
  if (parsed.Has("--yes")) return "--yes does not apply to --dry-run: it asks nothing";
  return "";
}

}  // namespace

int SmformatMain(const std::vector<std::string>& args, CliContext& context) {
  const ParsedArgs parsed = ParseArgs(
      args, {"--simulate", "--geometry", "--logical", "--trace", "--dump", "--restore"},
      {"--yes", "--help", "--list", "--version", "--check", "--json", "--force", "--full", "--dry-run", "--quiet"});
  if (!parsed.error.empty()) return UsageError(context, parsed.error);
  context.quiet = parsed.Has("--quiet");
  if (parsed.Has("--help")) {
    context.out << kUsage << "\n" << Help();
    return kExitSuccess;
  }
  if (parsed.Has("--version")) {
    context.out << "smformat " SMFORMAT_VERSION_STRING "\n";
    return kExitSuccess;
  }
  const std::optional<std::string> image = parsed.Value("--simulate");
  const std::optional<std::string> logical = parsed.Value("--logical");
  const bool list = parsed.Has("--list");
  const bool check = parsed.Has("--check");
  const std::optional<std::string> dump = parsed.Value("--dump");
  if (parsed.positional.size() > 1 || (!parsed.positional.empty() && (image || logical || list))) {
    return UsageError(context, "unexpected argument '" + parsed.positional.back() + "'");
  }
  if (const std::string fault = OptionPairingFault(parsed, check, dump.has_value()); !fault.empty()) {
    return UsageError(context, fault);
  }
  if (check || dump) {
    const std::string fault = CardReadUsageFault(parsed, check, dump.has_value(), list || logical.has_value());
    if (!fault.empty()) return UsageError(context, fault);
  }
  if (const std::string fault = FormatOptionFault(parsed, check || dump || list || logical); !fault.empty()) {
    return UsageError(context, fault);
  }
  if (int{image.has_value()} + int{logical.has_value()} + int{list} > 1) {
    return UsageError(context, "give one of DEVICE, --list, --logical TARGET and --simulate IMAGE");
  }
  if (parsed.Value("--geometry") && !image) return UsageError(context, "--geometry applies to --simulate only");
  if (parsed.Value("--trace") && image) return UsageError(context, "--trace applies to real readers and --logical");
  const bool explicitTarget = image || logical || !parsed.positional.empty();
  if (parsed.Has("--yes") && !explicitTarget) {
    return UsageError(context,
                      list ? "--yes does not apply to --list"
                           : std::string("--yes needs an explicit DEVICE (smformat --yes ") + kDeviceExample + ")");
  }

  const std::optional<CardRead> read =
      check || dump
          ? std::optional<CardRead>(CardRead{dump, parsed.Has("--json"), parsed.Has("--force"), parsed.Has("--full")})
          : std::nullopt;
  if (image) {
    std::optional<card::CardGeometry> geometry;
    if (const auto text = parsed.Value("--geometry")) {
      std::string error;
      geometry = ParseGeometry(*text, error);
      if (!geometry) return UsageError(context, error);
    }
    if (read) return ReadSimulatedCard(*image, geometry, *read, context);
    const SimulatedFormat format{*image, geometry, parsed.Has("--yes"), parsed.Value("--restore")};
    return parsed.Has("--dry-run") ? RehearseSimulatedFormat(format, context) : FormatSimulatedCard(format, context);
  }
  if (!parsed.positional.empty()) {
    if (const std::string near = DeviceIsAFile(parsed.positional[0]); !near.empty()) return UsageError(context, near);
  }
  RealReaderOptions options;
  options.assumeYes = parsed.Has("--yes");
  options.tracePath = parsed.Value("--trace");
  options.arguments = args;
  options.json = parsed.Has("--json");
  if (list) return ListReaders(options, context);
  if (logical) {
    options.target = logical;
    return FormatLogical(options, context);
  }
  if (!parsed.positional.empty()) options.target = parsed.positional[0];
  options.restorePath = parsed.Value("--restore");
  if (parsed.Has("--dry-run")) {
    CardRead forecast;
    forecast.forecast = true;
    forecast.restorePath = options.restorePath;
    options.read = forecast;
    return ReadCard(options, context);
  }
  if (read) {
    options.read = read;
    return ReadCard(options, context);
  }
  return FormatReader(options, context);
}
