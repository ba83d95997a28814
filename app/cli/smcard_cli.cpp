#include "app/cli/smcard_cli.h"

#include <cstdint>
#include <map>
#include <ostream>
#include <set>
#include <sstream>

#include "app/cli/arguments.h"
#include "app/cli/card_options.h"
#include "app/cli/card_read.h"
#include "app/cli/smcard_serve.h"
#include "sim/card.h"
#include "sim/card_check.h"
#include "sim/card_files.h"
#include "sim/card_tools.h"
#include "smformat_version.h"

namespace {

constexpr const char* kUsage =
    "Usage: smcard create IMAGE (--size SIZE | --geometry G) [--bad-blocks LIST] [--no-cis]\n"
    "                    [--fill erased|random] [--seed N] [--write-protect] [--force]\n"
    "       smcard info IMAGE [--geometry G]\n"
    "       smcard export IMAGE OUT [--geometry G] [--force]\n"
    "       smcard import IMAGE IN [--geometry G]\n"
    "       smcard check IMAGE [--geometry G] [--json]\n"
    "       smcard serve --reader SLOT[,SLOT...] ...   (smcard serve --help)\n"
    "       smcard [COMMAND] --help\n"
    "       smcard --version\n";

constexpr const char* kHelp =
    "Makes and inspects simulated SmartMedia cards: raw card images of 528-byte\n"
    "pages (512 data bytes and 16 redundant bytes) in physical order, as a reader\n"
    "would see the card's flash memory.\n"
    "\n"
    "Commands:\n"
    "  create IMAGE   make a fresh card: every block erased, the card information\n"
    "                 structure (CIS) in the first good block\n"
    "      --size SIZE        1M 2M 4M 8M 16M 32M 64M or 128M\n"
    "      --geometry G       any other card: units of BLOCKSxPAGES joined by '+'\n"
    "      --bad-blocks LIST  factory bad blocks: N,M,... (unit 0) or UNIT:N\n"
    "      --no-cis           leave the card without a CIS\n"
    "      --fill random      fill every logical sector with pseudo-random data\n"
    "                         (a used card); --fill erased is the default\n"
    "      --seed N           seed of the random fill\n"
    "      --write-protect    set the card's write-protect tab (kept in IMAGE.faults)\n"
    "      --force            replace an existing IMAGE (only once the new card\n"
    "                         is complete)\n"
    "  info IMAGE     print the geometry, bad blocks, CIS block and how many\n"
    "                 logical blocks hold data\n"
    "  export IMAGE OUT\n"
    "                 write the logical image the reader presents (all of its\n"
    "                 sectors) to OUT; --force replaces an existing OUT (never\n"
    "                 the card's own image or IMAGE.faults)\n"
    "  import IMAGE IN\n"
    "                 write the logical image IN (a file of whole sectors) onto\n"
    "                 the card through the reader's firmware, from sector 0\n"
    "  check IMAGE    read the card as a host would and report what is wrong:\n"
    "                 the CIS and its ECC, factory and retired bad blocks, pages\n"
    "                 whose ECC does not match their data (correctable single-bit\n"
    "                 errors apart from uncorrectable ones), unreadable pages,\n"
    "                 block addresses with bad parity or differing copies, two\n"
    "                 blocks claiming one logical block, the write-protect tab,\n"
    "                 whether the logical image holds the SmartMedia file system\n"
    "                 of its capacity (or what it holds instead) and the files in\n"
    "                 its root directory; exit status 1 when anything is found;\n"
    "                 --json prints one JSON object for scripts\n"
    "  serve          offer cards as a USB card reader over USB/IP (Linux), for a\n"
    "                 real kernel to drive: see smcard serve --help\n"
    "\n"
    "Standard sizes are recognised by the image's size; give --geometry for any\n"
    "other card. Faults to simulate (write protection, failing commands, a card\n"
    "pulled mid-format ...) are read from the text file IMAGE.faults if present;\n"
    "one that is there but cannot be read refuses the card. Of them, import and\n"
    "export meet the card's own: write protection, unreadable pages, failing\n"
    "erase and program; check meets write protection and unreadable pages.\n"
    "info, export and check only read the image.\n"
    "\n"
    "Exit status: 0 done; 1 the work failed; 2 the command line was wrong.\n";

int UsageError(CliContext& context, const std::string& problem) {
  context.err << "smcard: " << problem << "\n" << kUsage << "Try 'smcard --help'.\n";
  return kExitUsage;
}

int Failure(CliContext& context, const std::string& problem) {
  context.err << "smcard: " << problem << "\n";
  return kExitFailure;
}

bool FileExists(const std::string& path) { return sim::PathExists(path); }

// --geometry, when given; `error` tells a malformed one.
std::optional<sim::CardGeometry> GeometryOption(const ParsedArgs& parsed, std::string& error) {
  const auto text = parsed.Value("--geometry");
  return text ? ParseGeometry(*text, error) : std::nullopt;
}

std::string BlockList(const std::vector<sim::BlockRef>& blocks) {
  if (blocks.empty()) return "none";
  std::ostringstream text;
  for (std::size_t i = 0; i < blocks.size(); ++i) {
    text << (i ? ", " : "") << unsigned{blocks[i].unit} << ":" << blocks[i].block;
  }
  return text.str();
}

std::string CheckBadBlocks(const std::vector<sim::BlockRef>& blocks, const sim::CardGeometry& geometry) {
  for (const sim::BlockRef& b : blocks) {
    if (b.unit >= geometry.units.size() || b.block >= geometry.units[b.unit].blocks) {
      return "bad block " + std::to_string(b.unit) + ":" + std::to_string(b.block) + " is not on the card";
    }
  }
  return "";
}

int Create(const ParsedArgs& parsed, CliContext& context) {
  if (parsed.positional.size() != 2) return UsageError(context, "create takes one IMAGE");
  const std::string& image = parsed.positional[1];
  const auto size = parsed.Value("--size");
  if (size.has_value() == parsed.Value("--geometry").has_value()) {
    return UsageError(context, "create needs exactly one of --size and --geometry");
  }
  std::string error;
  std::optional<sim::CardGeometry> geometry;
  if (size) {
    geometry = sim::StandardGeometry(*size);
    if (!geometry) return UsageError(context, "unknown size '" + *size + "' (1M 2M 4M 8M 16M 32M 64M 128M)");
  } else {
    geometry = GeometryOption(parsed, error);
    if (!geometry) return UsageError(context, error);
  }

  sim::CreateOptions options;
  options.geometry = *geometry;
  options.withCis = !parsed.Has("--no-cis");
  options.plan.writeProtected = parsed.Has("--write-protect");
  if (const auto list = parsed.Value("--bad-blocks")) {
    options.plan.factoryBadBlocks = ParseBlockList(*list, error);
    if (!error.empty()) return UsageError(context, error);
    error = CheckBadBlocks(options.plan.factoryBadBlocks, *geometry);
    if (!error.empty()) return UsageError(context, error);
  }
  const std::string fill = parsed.Value("--fill").value_or("erased");
  if (fill != "erased" && fill != "random") return UsageError(context, "--fill takes erased or random");
  options.fill = fill == "random" ? sim::Fill::Random : sim::Fill::Erased;
  if (const auto seed = parsed.Value("--seed")) {
    // Any 64-bit number.
    constexpr std::size_t kMaxSeedDigits = 20;
    if (seed->empty() || seed->size() > kMaxSeedDigits || seed->find_first_not_of("0123456789") != std::string::npos ||
        (seed->size() == kMaxSeedDigits && *seed > std::to_string(UINT64_MAX))) {
      return UsageError(context, "--seed takes a number from 0 to " + std::to_string(UINT64_MAX));
    }
    options.seed = std::stoull(*seed);
  }
  if (!parsed.Has("--force") && FileExists(image)) {
    return Failure(context, image + " exists; give --force to replace it");
  }

  const sim::CardOpen created = sim::CreateCardImage(image, options);
  if (!created) return Failure(context, created.error);
  context.out << "created " << image << ": " << sim::Describe(*geometry) << "\n";
  return kExitSuccess;
}

int Info(const ParsedArgs& parsed, CliContext& context) {
  if (parsed.positional.size() != 2) return UsageError(context, "info takes one IMAGE");
  std::string error;
  const auto geometry = GeometryOption(parsed, error);
  if (!error.empty()) return UsageError(context, error);
  const std::string& image = parsed.positional[1];
  sim::CardAndPlan opened = sim::OpenCardAndPlan(image, geometry, sim::Access::ReadOnly, context.openImage);
  if (!opened) return Failure(context, opened.error);

  const sim::CardReport report = sim::Inspect(*opened.card);
  const std::string name = report.standardName.empty() ? "" : report.standardName + ", ";
  context.out << "Image:          " << image << "\n"
              << "Geometry:       " << name << report.geometry.units.size()
              << " unit(s): " << sim::Describe(report.geometry) << " (" << report.geometry.ImageBytes() << " bytes)\n"
              << "Bad blocks:     " << BlockList(report.badBlocks) << "\n"
              << "CIS block:      " << (report.cisBlock ? std::to_string(*report.cisBlock) : "none") << "\n"
              << "Logical blocks: " << report.logicalBlocks << " (" << report.logicalSectors << " sectors), "
              << report.mappedBlocks << " holding data\n";
  if (!opened.plan.Empty()) {
    std::istringstream faults(sim::FormatFaultPlan(opened.plan));
    for (std::string line; std::getline(faults, line);) {
      if (!line.empty()) context.out << "Fault:          " << line << "\n";
    }
  }
  return kExitSuccess;
}

int Transfer(const ParsedArgs& parsed, CliContext& context, bool exporting) {
  const char* command = exporting ? "export" : "import";
  if (parsed.positional.size() != 3) {
    return UsageError(context, std::string(command) + " takes IMAGE and " + (exporting ? "OUT" : "IN"));
  }
  std::string error;
  const auto geometry = GeometryOption(parsed, error);
  if (!error.empty()) return UsageError(context, error);
  const std::string& image = parsed.positional[1];
  const std::string& file = parsed.positional[2];
  if (exporting && !parsed.Has("--force") && FileExists(file)) {
    return Failure(context, file + " exists; give --force to replace it");
  }
  sim::CardAndPlan opened = sim::OpenCardAndPlan(
      image, geometry, exporting ? sim::Access::ReadOnly : sim::Access::ReadWrite, context.openImage);
  if (!opened) return Failure(context, opened.error);
  error = exporting ? sim::ExportLogicalFile(*opened.card, file, opened.plan)
                    : sim::ImportLogicalFile(*opened.card, file, opened.plan);
  if (!error.empty()) return Failure(context, error);
  context.out << (exporting ? "exported " : "imported ") << file << "\n";
  return kExitSuccess;
}

// The card's flash as a host reads it. Of the sidecar's faults, those a
// reading host meets apply: unreadable pages and the write-protect tab.
int Check(const ParsedArgs& parsed, CliContext& context) {
  if (parsed.positional.size() != 2) return UsageError(context, "check takes one IMAGE");
  std::string error;
  const auto geometry = GeometryOption(parsed, error);
  if (!error.empty()) return UsageError(context, error);
  const std::string& image = parsed.positional[1];
  sim::CardAndPlan opened = sim::OpenCardAndPlan(image, geometry, sim::Access::ReadOnly, context.openImage);
  if (!opened) return Failure(context, opened.error);
  sim::ImagePages pages(opened.card->Media(), &opened.plan);
  const sim::CardCheck check = sim::CheckCard(pages);
  PrintCardCheck(context.out, check, "Image:", image, opened.card->Geometry(), parsed.Has("--json"));
  return CheckStatus(check);
}

// The options each command takes; any other is a usage error.
const std::map<std::string, std::set<std::string>> kCommandOptions = {
    {"create", {"--size", "--geometry", "--bad-blocks", "--no-cis", "--fill", "--seed", "--write-protect", "--force"}},
    {"info", {"--geometry"}},
    {"export", {"--geometry", "--force"}},
    {"import", {"--geometry"}},
    {"check", {"--geometry", "--json"}},
};

std::string OptionNotFor(const ParsedArgs& parsed, const std::set<std::string>& allowed) {
  for (const auto& [name, value] : parsed.values) {
    if (!allowed.count(name)) return name;
  }
  for (const std::string& flag : parsed.flags) {
    if (!allowed.count(flag)) return flag;
  }
  return "";
}

}  // namespace

int SmcardMain(const std::vector<std::string>& args, CliContext& context) {
  // serve has readers of its own on its command line.
  if (!args.empty() && args[0] == "serve") return ServeMain({args.begin() + 1, args.end()}, context);
  const ParsedArgs parsed = ParseArgs(args, {"--size", "--geometry", "--bad-blocks", "--fill", "--seed"},
                                      {"--no-cis", "--write-protect", "--force", "--json", "--help", "--version"});
  if (!parsed.error.empty()) return UsageError(context, parsed.error);
  if (parsed.Has("--help")) {
    context.out << kUsage << "\n" << kHelp;
    return kExitSuccess;
  }
  if (parsed.Has("--version")) {
    context.out << "smcard " SMFORMAT_VERSION_STRING "\n";
    return kExitSuccess;
  }
  if (parsed.positional.empty()) return UsageError(context, "no command given");
  const std::string& command = parsed.positional[0];
  const auto options = kCommandOptions.find(command);
  if (options == kCommandOptions.end()) return UsageError(context, "unknown command '" + command + "'");
  const std::string stray = OptionNotFor(parsed, options->second);
  if (!stray.empty()) return UsageError(context, "option " + stray + " does not apply to " + command);
  if (command == "create") return Create(parsed, context);
  if (command == "info") return Info(parsed, context);
  if (command == "export") return Transfer(parsed, context, true);
  if (command == "check") return Check(parsed, context);
  return Transfer(parsed, context, false);
}
