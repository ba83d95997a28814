#include "app/cli/smcard_cli.h"

#include <cctype>
#include <cstdint>
#include <functional>
#include <iomanip>
#include <map>
#include <ostream>
#include <set>
#include <sstream>

#include "app/cli/arguments.h"
#include "app/cli/card_options.h"
#include "app/cli/card_read.h"
#include "app/cli/smcard_serve.h"
#include "card/card.h"
#include "card/card_check.h"
#include "card/card_extract.h"
#include "card/card_files.h"
#include "card/card_tools.h"
#include "smformat_version.h"

namespace {

constexpr const char* kUsage =
    "Usage: smcard create IMAGE (--size SIZE | --geometry G) [--bad-blocks LIST] [--no-cis]\n"
    "                    [--fill erased|random] [--seed N] [--write-protect] [--force]\n"
    "       smcard info IMAGE [--geometry G]\n"
    "       smcard export IMAGE OUT [--geometry G] [--force]\n"
    "       smcard import IMAGE IN [--geometry G]\n"
    "       smcard check IMAGE [--geometry G] [--json]\n"
    "       smcard files IMAGE [--geometry G | --logical]\n"
    "       smcard extract IMAGE DEST [PATH...] [--geometry G | --logical] [--force]\n"
    "       smcard serve --reader SLOT[,SLOT...] ...   (smcard serve --help)\n"
    "       smcard [COMMAND] -h | --help\n"
    "       smcard -V | --version\n";

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
    "                 the card's own image or IMAGE.faults). A sector stored in\n"
    "                 an unreadable page is written as zeros and named on stderr\n"
    "                 and in OUT.unreadable.txt; the export is then incomplete\n"
    "                 (exit status 5)\n"
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
    "                 its root directory; exit status 1 for faults of the card,\n"
    "                 4 for differences from the layout alone;\n"
    "                 --json prints one JSON object for scripts\n"
    "  files IMAGE    list the files and folders of the card's FAT file system:\n"
    "                 date, size, path (long names, the 8.3 name in parentheses when\n"
    "                 it differs), and on stderr every file that cannot be read\n"
    "                 whole and every folder that cannot be read whole\n"
    "  extract IMAGE DEST [PATH...]\n"
    "                 copy the files (or only the files and folders named by PATH,\n"
    "                 e.g. DCIM/100OLYMP) into the folder DEST, with their dates;\n"
    "                 a file with unreadable sectors is still written, with zeros\n"
    "                 in their place, and named on stderr. Nothing is written\n"
    "                 when a file is already there, unless --force\n"
    "      --logical          IMAGE is a logical image (from export, or a copy of a\n"
    "                         card's disk); the sectors IMAGE.unreadable.txt lists\n"
    "                         beside it count as unreadable\n"
    "  serve          offer cards as a USB card reader over USB/IP (Linux), for a\n"
    "                 real kernel to drive: see smcard serve --help\n"
    "\n"
    "Standard sizes are recognised by the image's size; give --geometry for any\n"
    "other card. Faults to simulate (write protection, failing commands, a card\n"
    "pulled mid-format ...) are read from the text file IMAGE.faults if present;\n"
    "one that is there but cannot be read refuses the card. Of them, import and\n"
    "export meet the card's own: write protection, unreadable pages, failing\n"
    "erase and program; check, files and extract meet write protection and\n"
    "unreadable pages. info, export, check, files and extract only read the\n"
    "image.\n"
    "\n";

int UsageError(CliContext& context, const std::string& problem) {
  context.err << "smcard: " << problem << "\n" << kUsage << "Try 'smcard --help'.\n";
  return kExitUsage;
}

int Failure(CliContext& context, const std::string& problem) {
  context.err << "smcard: " << problem << "\n";
  return kExitFailure;
}

bool FileExists(const std::string& path) { return card::PathExists(path); }

// --geometry, when given; `error` tells a malformed one.
std::optional<card::CardGeometry> GeometryOption(const ParsedArgs& parsed, std::string& error) {
  const auto text = parsed.Value("--geometry");
  return text ? ParseGeometry(*text, error) : std::nullopt;
}

std::string BlockList(const std::vector<card::BlockRef>& blocks) {
  if (blocks.empty()) return "none";
  std::ostringstream text;
  for (std::size_t i = 0; i < blocks.size(); ++i) {
    text << (i ? ", " : "") << unsigned{blocks[i].unit} << ":" << blocks[i].block;
  }
  return text.str();
}

std::string CheckBadBlocks(const std::vector<card::BlockRef>& blocks, const card::CardGeometry& geometry) {
  for (const card::BlockRef& b : blocks) {
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
  std::optional<card::CardGeometry> geometry;
  if (size) {
    geometry = card::StandardGeometry(*size);
    if (!geometry) return UsageError(context, "unknown size '" + *size + "' (1M 2M 4M 8M 16M 32M 64M 128M)");
  } else {
    geometry = GeometryOption(parsed, error);
    if (!geometry) return UsageError(context, error);
  }

  card::CreateOptions options;
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
  options.fill = fill == "random" ? card::Fill::Random : card::Fill::Erased;
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

  const card::CardOpen created = card::CreateCardImage(image, options);
  if (!created) return Failure(context, created.error);
  context.out << "created " << image << ": " << card::Describe(*geometry) << "\n";
  return kExitSuccess;
}

int Info(const ParsedArgs& parsed, CliContext& context) {
  if (parsed.positional.size() != 2) return UsageError(context, "info takes one IMAGE");
  std::string error;
  const auto geometry = GeometryOption(parsed, error);
  if (!error.empty()) return UsageError(context, error);
  const std::string& image = parsed.positional[1];
  card::CardAndPlan opened = card::OpenCardAndPlan(image, geometry, card::Access::ReadOnly, context.openImage);
  if (!opened) return Failure(context, opened.error);

  const card::CardReport report = card::Inspect(*opened.card);
  const std::string name = report.standardName.empty() ? "" : report.standardName + ", ";
  context.out << "Image:          " << image << "\n"
              << "Geometry:       " << name << report.geometry.units.size()
              << " unit(s): " << card::Describe(report.geometry) << " (" << report.geometry.ImageBytes() << " bytes)\n"
              << "Bad blocks:     " << BlockList(report.badBlocks) << "\n"
              << "CIS block:      " << (report.cisBlock ? std::to_string(*report.cisBlock) : "none") << "\n"
              << "Logical blocks: " << report.logicalBlocks << " (" << report.logicalSectors << " sectors), "
              << report.mappedBlocks << " holding data\n";
  if (!opened.plan.Empty()) {
    std::istringstream faults(card::FormatFaultPlan(opened.plan));
    for (std::string line; std::getline(faults, line);) {
      if (!line.empty()) context.out << "Fault:          " << line << "\n";
    }
  }
  return kExitSuccess;
}

// At most this many runs of unreadable sectors are told on stderr; the list
// beside the export holds them all.
constexpr std::size_t kRunsTold = 10;

std::string SectorRunText(const FatRun& run) {
  return run.count == 1 ? "sector " + std::to_string(run.first)
                        : "sectors " + std::to_string(run.first) + " to " + std::to_string(run.first + run.count - 1);
}

std::uint64_t RunTotal(const std::vector<FatRun>& runs) {
  std::uint64_t total = 0;
  for (const FatRun& run : runs) total += run.count;
  return total;
}

int Import(const ParsedArgs& parsed, CliContext& context) {
  if (parsed.positional.size() != 3) return UsageError(context, "import takes IMAGE and IN");
  std::string error;
  const auto geometry = GeometryOption(parsed, error);
  if (!error.empty()) return UsageError(context, error);
  card::CardAndPlan opened =
      card::OpenCardAndPlan(parsed.positional[1], geometry, card::Access::ReadWrite, context.openImage);
  if (!opened) return Failure(context, opened.error);
  error = card::ImportLogicalFile(*opened.card, parsed.positional[2], opened.plan);
  if (!error.empty()) return Failure(context, error);
  context.out << "imported " << parsed.positional[2] << "\n";
  return kExitSuccess;
}

int Export(const ParsedArgs& parsed, CliContext& context) {
  if (parsed.positional.size() != 3) return UsageError(context, "export takes IMAGE and OUT");
  std::string error;
  const auto geometry = GeometryOption(parsed, error);
  if (!error.empty()) return UsageError(context, error);
  const std::string& file = parsed.positional[2];
  for (const std::string& output : {file, card::UnreadableListPath(file)}) {
    if (!parsed.Has("--force") && FileExists(output)) {
      return Failure(context, output + " exists; give --force to replace it");
    }
  }
  card::CardAndPlan opened =
      card::OpenCardAndPlan(parsed.positional[1], geometry, card::Access::ReadOnly, context.openImage);
  if (!opened) return Failure(context, opened.error);
  const card::ExportResult result = card::ExportLogicalFile(*opened.card, file, opened.plan);
  const std::vector<FatRun>& runs = result.unreadable;
  for (std::size_t i = 0; i < runs.size() && i < kRunsTold; ++i) {
    context.err << "smcard: logical " << SectorRunText(runs[i]) << " cannot be read (an unreadable page)\n";
  }
  if (runs.size() > kRunsTold) context.err << "smcard: and " << runs.size() - kRunsTold << " more runs\n";
  if (!result.error.empty()) return Failure(context, result.error);
  if (runs.empty()) {
    context.out << "exported " << file << "\n";
    return kExitSuccess;
  }
  context.err << "smcard: " << file << " is incomplete: " << RunTotal(runs) << " of its "
              << card::LogicalSectorCount(opened.card->Geometry())
              << " sectors could not be read and hold zeros; they are listed in " << card::UnreadableListPath(file)
              << "\n";
  context.out << "exported " << file << " (incomplete)\n";
  return kExitIncomplete;
}

// --- The files of a card's file system -------------------------------------------------------------

// At most this many runs of a file's bytes are told.
constexpr std::size_t kFileRunsTold = 4;

std::string ByteRunsText(const std::vector<FatRun>& runs, const char* unit) {
  std::string text;
  for (std::size_t i = 0; i < runs.size() && i < kFileRunsTold; ++i) {
    text += (i ? ", " : "") + std::to_string(runs[i].first);
    if (runs[i].count > 1) text += " to " + std::to_string(runs[i].first + runs[i].count - 1);
  }
  if (runs.size() > kFileRunsTold) text += " and " + std::to_string(runs.size() - kFileRunsTold) + " more runs";
  return std::string(unit) + (runs.size() == 1 && runs[0].count == 1 ? " " : "s ") + text;
}

// What of a file cannot be read: "its cluster chain loops back to cluster
// 7; bytes 8192 to 9999 hold zeros", "bytes 16384 to 18431 hold zeros
// (unreadable sectors 1968 to 1971)".
std::string FileDamageText(std::uint32_t size, const FatFileRead& read) {
  std::string text = read.problem;
  if (read.bytes < size) text += "; only the " + std::to_string(read.bytes) + " bytes its clusters hold are kept";
  if (!read.filled.empty()) {
    text += (text.empty() ? "" : "; ") + ByteRunsText(read.filled, "byte") + " hold zeros";
    if (!read.sectors.empty()) text += " (unreadable " + ByteRunsText(read.sectors, "sector") + ")";
  }
  return text;
}

std::string FolderName(const FatDamage& damage) { return damage.path.empty() ? "the root directory" : damage.path; }

// "  (HOLIDA~1.JPG)" after a long name that differs from the 8.3 one by more than case.
std::string ShortNameNote(const FatItem& item) {
  auto lower = [](std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
  };
  return lower(item.name) == lower(item.shortName) ? "" : "  (" + item.shortName + ")";
}

std::string FilesSummary(std::uint32_t files, std::uint32_t folders, std::uint64_t bytes) {
  return std::to_string(files) + (files == 1 ? " file" : " files") + " (" + ByteSizeText(bytes) + ") and " +
         std::to_string(folders) + (folders == 1 ? " folder" : " folders");
}

int ListFiles(const FatReader& reader, CliContext& context) {
  const FatTree tree = reader.Walk();
  std::uint32_t files = 0, folders = 0, damaged = 0;
  std::uint64_t bytes = 0;
  for (const FatItem& item : tree.items) {
    context.out << item.modified.Text() << "  ";
    if (item.folder) {
      ++folders;
      context.out << "  <folder>  " << item.path << "/" << ShortNameNote(item) << "\n";
      continue;
    }
    ++files;
    bytes += item.size;
    context.out << std::setw(10) << item.size << "  " << item.path << ShortNameNote(item) << "\n";
    const FatFileRead read = reader.ReadFile(item, nullptr);
    if (!read.Whole()) {
      ++damaged;
      context.err << "smcard: " << item.path << " cannot be read whole: " << FileDamageText(item.size, read) << "\n";
    }
  }
  for (const FatDamage& damage : tree.damage)
    context.err << "smcard: " << FolderName(damage) << ": " << damage.what << "\n";
  context.out << FilesSummary(files, folders, bytes) << "\n";
  if (damaged == 0 && tree.damage.empty()) return kExitSuccess;
  if (damaged != 0) {
    context.err << "smcard: " << damaged << (damaged == 1 ? " file cannot" : " files cannot")
                << " be read whole; smcard extract writes what can be read, with zeros for the rest\n";
  }
  return kExitIncomplete;
}

int ExtractFiles(const ParsedArgs& parsed, const FatReader& reader, CliContext& context) {
  card::ExtractRequest request;
  request.destination = parsed.positional[2];
  request.paths.assign(parsed.positional.begin() + 3, parsed.positional.end());
  request.replace = parsed.Has("--force");
  std::uint32_t damaged = 0, failed = 0;
  const card::ExtractReport report = card::ExtractFiles(reader, request, [&](const card::ExtractedItem& item) {
    if (!item.error.empty()) {
      ++failed;
      context.err << "smcard: " << item.error << "\n";
      return;
    }
    context.out << item.hostPath << "\n";
    if (item.renamed) context.err << "smcard: " << item.path << " is written as " << item.hostPath << "\n";
    if (!item.folder && !item.read.Whole()) {
      ++damaged;
      context.err << "smcard: " << item.path << " is incomplete: " << FileDamageText(item.size, item.read) << "\n";
    }
  });
  if (!report.error.empty()) return Failure(context, report.error + "; nothing was written");
  for (const FatDamage& damage : report.damage)
    context.err << "smcard: " << FolderName(damage) << ": " << damage.what << "\n";
  context.out << "Extracted " << FilesSummary(report.files, report.folders, report.bytes) << " into "
              << request.destination << "\n";
  if (damaged != 0) {
    context.err << "smcard: " << damaged << (damaged == 1 ? " file is" : " files are")
                << " written with zeros in place of what could not be read\n";
  }
  if (failed != 0) {
    return Failure(context, std::to_string(failed) + (failed == 1 ? " file or folder" : " files or folders") +
                                " could not be written");
  }
  return damaged != 0 || !report.damage.empty() ? kExitIncomplete : kExitSuccess;
}

// Runs `work` on the file system of IMAGE: a card image read through the
// reader's firmware, its sidecar's unreadable pages unreadable; with
// --logical a logical image, the sectors of its list unreadable.
int OnFileSystem(const ParsedArgs& parsed, CliContext& context,
                 const std::function<int(const FatReader&, CliContext&)>& work) {
  std::string error;
  const auto geometry = GeometryOption(parsed, error);
  if (!error.empty()) return UsageError(context, error);
  const std::string& image = parsed.positional[1];
  auto run = [&](const LogicalSectorReader& read, std::uint64_t count, const std::function<std::string()>& hostError) {
    FatReader reader(read, count);
    const std::string why = reader.Open();
    if (!why.empty()) return Failure(context, image + ": " + why);
    const int status = work(reader, context);
    const std::string host = hostError();
    return host.empty() ? status : Failure(context, host);
  };
  if (parsed.Has("--logical")) {
    if (geometry) return UsageError(context, "--geometry is for card images; a logical image needs none");
    card::LogicalFileSectors sectors;
    error = sectors.Open(image);
    if (!error.empty()) return Failure(context, error);
    return run(sectors.Reader(), sectors.Count(), [&sectors] { return sectors.HostError(); });
  }
  card::CardAndPlan opened = card::OpenCardAndPlan(image, geometry, card::Access::ReadOnly, context.openImage);
  if (!opened) return Failure(context, opened.error);
  card::CardSectors sectors(*opened.card, opened.plan);
  return run(sectors.Reader(), sectors.Count(), [&opened] { return opened.card->Media().HostError(); });
}

int Files(const ParsedArgs& parsed, CliContext& context) {
  if (parsed.positional.size() != 2) return UsageError(context, "files takes one IMAGE");
  return OnFileSystem(parsed, context, ListFiles);
}

int Extract(const ParsedArgs& parsed, CliContext& context) {
  if (parsed.positional.size() < 3) return UsageError(context, "extract takes IMAGE, DEST and any PATHs");
  return OnFileSystem(parsed, context,
                      [&parsed](const FatReader& reader, CliContext& c) { return ExtractFiles(parsed, reader, c); });
}

// The card's flash as a host reads it. Of the sidecar's faults, those a
// reading host meets apply: unreadable pages and the write-protect tab.
int Check(const ParsedArgs& parsed, CliContext& context) {
  if (parsed.positional.size() != 2) return UsageError(context, "check takes one IMAGE");
  std::string error;
  const auto geometry = GeometryOption(parsed, error);
  if (!error.empty()) return UsageError(context, error);
  const std::string& image = parsed.positional[1];
  card::CardAndPlan opened = card::OpenCardAndPlan(image, geometry, card::Access::ReadOnly, context.openImage);
  if (!opened) return Failure(context, opened.error);
  card::ImagePages pages(opened.card->Media(), &opened.plan);
  const card::CardCheck check = card::CheckCard(pages);
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
    {"files", {"--geometry", "--logical"}},
    {"extract", {"--geometry", "--logical", "--force"}},
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
  const ParsedArgs parsed =
      ParseArgs(args, {"--size", "--geometry", "--bad-blocks", "--fill", "--seed"},
                {"--no-cis", "--write-protect", "--force", "--json", "--logical", "--help", "--version"});
  if (!parsed.error.empty()) return UsageError(context, parsed.error);
  if (parsed.Has("--help")) {
    context.out << kUsage << "\n" << kHelp << kExitStatusHelp;
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
  if (command == "export") return Export(parsed, context);
  if (command == "check") return Check(parsed, context);
  if (command == "files") return Files(parsed, context);
  if (command == "extract") return Extract(parsed, context);
  return Import(parsed, context);
}
