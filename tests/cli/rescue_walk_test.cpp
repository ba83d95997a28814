// The rescue path, walked on the damaged cards it exists for: a card whose
// photos mtools put there is harmed as cards are harmed, then checked,
// dumped (the dump interrupted by a pulled card, then continued), rehearsed
// on a copy, formatted with its files put back from the dump, and checked
// again; each step must say what the row says, and every file the damage
// did not reach must come back byte for byte.
#include <gtest/gtest.h>

#include <fcntl.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>

#include "app/cli/card_read.h"
#include "app/cli/smcard_cli.h"
#include "app/cli/smformat_cli.h"
#include "card/card_files.h"
#include "card/card_tools.h"
#include "engine/byte_order.h"
#include "engine/fat_reader.h"
#include "tests/cli/planted_card.h"
#include "tests/cli/real_cli_bench.h"
#include "tests/cli/tool_run.h"
#include "tests/support/fat_tools.h"
#include "tests/support/temp_dir.h"

namespace {

using clirun::Smcard;
using clirun::Smformat;
using clirun::Tool;
using clirun::ToolRun;

std::string Slurp(const std::string& path) { return fat_tools::ReadAll(path); }
void Spit(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}
bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

constexpr std::uint32_t kPagesPerBlock = 16;  // of a 4 MB card
constexpr int kRootFiles = 40;                // three sectors of the root directory

// The card under test: an image, what its files hold, and where they lie.
class Walk {
 public:
  explicit Walk(const TempDir& dir) : dir(dir), image(dir.File("card.img")) {}

  // A 4 MB card with the SmartMedia layout, a folder of three photos and
  // kRootFiles small files in the root directory, all put there by mtools.
  void MakePhotoCard() {
    ASSERT_EQ(Smcard({"create", image, "--size", "4M", "--fill", "random"}).status, 0);
    ASSERT_EQ(Smformat({"--simulate", image, "--yes"}).status, 0);
    const std::string logical = dir.File("logical.img");
    ASSERT_EQ(Smcard({"export", image, logical}).status, 0);
    Mtools(logical, "mmd", "::DCIM");
    for (int i = 1; i <= 3; ++i) AddFile(logical, "DCIM/P" + std::to_string(i) + ".JPG", 9000 * i);
    for (int i = 1; i <= kRootFiles; ++i) AddFile(logical, "R" + std::to_string(i) + ".TXT", 100 + i);
    ASSERT_EQ(Smcard({"import", image, logical}).status, 0);
  }

  void AddFile(const std::string& logical, const std::string& path, std::size_t size) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 31 + path.size() * 7 + i / 512) & 0xFF);
    files[path] = bytes;
    Spit(dir.File("upload"), bytes);
    Mtools(logical, "mcopy", fat_tools::Quote(dir.File("upload")) + " ::" + path);
  }

  void Mtools(const std::string& logical, const std::string& tool, const std::string& arguments) {
    const fat_tools::Result made = fat_tools::RunTool(
        tool, "-i " + fat_tools::Quote(logical) + "@@" + std::to_string(Offset(logical)) + " " + arguments);
    ASSERT_EQ(made.status, 0) << made.output;
  }

  // The byte offset of the volume in a logical image (the MBR's first partition, or none).
  static std::uint64_t Offset(const std::string& logical) {
    const std::string head = Slurp(logical).substr(0, 512);
    if (head[510] != '\x55' || head[446 + 4] == 0) return 0;
    return std::uint64_t{LoadLe32(reinterpret_cast<const std::uint8_t*>(head.data()) + 446 + 8)} * 512;
  }

  // The physical page of unit 0 that holds a logical sector.
  std::uint32_t PageOf(std::uint64_t sector) {
    card::CardOpen card = card::OpenCardImage(image, card::Access::ReadOnly);
    const auto block = card::Firmware(card.card->Media()).Locate(static_cast<std::uint32_t>(sector / kPagesPerBlock));
    EXPECT_TRUE(block) << "sector " << sector << " is not stored";
    return block ? block->block * kPagesPerBlock + static_cast<std::uint32_t>(sector % kPagesPerBlock) : 0;
  }

  // Where the volume's parts are, and a file's first sector, read as a host reads them.
  struct Layout {
    FatVolume volume;
    std::map<std::string, std::uint64_t> firstSector;
  };
  Layout Find() {
    card::CardOpen card = card::OpenCardImage(image, card::Access::ReadOnly);
    card::FaultPlan none;
    card::CardSectors sectors(*card.card, none);
    FatReader fat(sectors.Reader(), sectors.Count());
    EXPECT_EQ(fat.Open(), "");
    Layout layout{*fat.Volume(), {}};
    const std::uint64_t data = layout.volume.RootStart() + layout.volume.RootSectors();
    for (const FatItem& item : fat.Walk().items) {
      layout.firstSector[item.path] = data + std::uint64_t{item.firstCluster - 2} * layout.volume.clusterSectors;
    }
    return layout;
  }

  void Unreadable(std::uint32_t page) { faults += "unreadable-page 0:" + std::to_string(page) + "\n"; }
  void SaveFaults() { Spit(card::FaultSidecarPath(image), faults); }

  // The files as the card presents them now, by mtools on its export.
  std::map<std::string, std::string> FilesNow() {
    const std::string logical = dir.File("after.img");
    std::filesystem::remove(logical);
    EXPECT_EQ(Smcard({"export", image, logical}).status, 0);
    std::map<std::string, std::string> now;
    for (const auto& [path, bytes] : files) {
      std::filesystem::remove(dir.File("download"));
      const fat_tools::Result got =
          fat_tools::RunTool("mcopy", "-n -i " + fat_tools::Quote(logical) + "@@" + std::to_string(Offset(logical)) +
                                          " ::" + path + " " + fat_tools::Quote(dir.File("download")));
      if (got.status == 0) now[path] = Slurp(dir.File("download"));
    }
    return now;
  }

  const TempDir& dir;
  std::string image;
  std::string faults;
  std::map<std::string, std::string> files;  // path on the card -> what it holds
};

struct WalkCase {
  const char* name;
  std::function<void(Walk&)> harm;
  std::vector<std::string> check;  // the check's options
  int checkStatus;
  std::vector<const char*> checkSays;
  int restoreStatus;  // of the rehearsal and of the format with --restore alike
  const char* restoreSays;
  std::vector<std::string> lost;  // files that do not come back whole
};

void PrintTo(const WalkCase& c, std::ostream* os) { *os << c.name; }

class RescueWalk : public ::testing::TestWithParam<WalkCase> {};

TEST_P(RescueWalk, SaysAtEachStepWhatBecomesOfTheFiles) {
  const WalkCase& c = GetParam();
  TempDir dir;
  Walk walk(dir);
  ASSERT_NO_FATAL_FAILURE(walk.MakePhotoCard());
  c.harm(walk);
  walk.SaveFaults();
  const std::string image = walk.image, dump = dir.File("dump.img");

  // The check.
  std::vector<std::string> check = c.check;
  check.insert(check.end(), {"--simulate", image});
  const ToolRun checked = Smformat(check);
  EXPECT_EQ(checked.status, c.checkStatus) << checked.out;
  for (const char* part : c.checkSays) EXPECT_TRUE(Has(checked.out, part)) << checked.out;

  // The dump, stopped by a card pulled out half way, then continued.
  Spit(card::FaultSidecarPath(image), walk.faults + "remove-after 4000\n");
  const ToolRun pulled = Smformat({"--dump", dump, "--simulate", image});
  EXPECT_EQ(pulled.status, 1);
  EXPECT_TRUE(Has(pulled.err, "taken out of the reader during the dump")) << pulled.err;
  EXPECT_FALSE(std::filesystem::exists(dump));
  walk.SaveFaults();
  const ToolRun resumed = Smformat({"--dump", dump, "--simulate", image});
  EXPECT_EQ(resumed.status, Has(walk.faults, "unreadable-page") ? kExitIncomplete : kExitSuccess) << resumed.err;
  EXPECT_TRUE(Has(resumed.err, "going on with the dump in " + dump + ".part")) << resumed.err;
  card::FaultPlan sidecar = card::ParseFaultPlan(walk.faults).plan;
  std::string expected = Slurp(image);
  for (const card::PageRef& page : sidecar.unreadablePages) expected.replace(page.page * 528, 528, 528, '\xFF');
  EXPECT_TRUE(Slurp(dump) == expected) << "the continued dump is not the card";
  EXPECT_EQ(card::PathExists(dump + ".faults") ? Slurp(dump + ".faults") : "", walk.faults);

  // (smcard files and smcard extract of the dump go here.)

  // The rehearsal, which leaves the card as it was, then the format itself.
  // The format erases every block: the walk takes the pages that could not
  // be read as mended by that.
  std::filesystem::remove(card::FaultSidecarPath(image));
  const std::string before = Slurp(image);
  const ToolRun rehearsal = Smformat({"--simulate", image, "--dry-run", "--restore", dump});
  EXPECT_EQ(rehearsal.status, c.restoreStatus) << rehearsal.err;
  EXPECT_TRUE(Has(rehearsal.All(), c.restoreSays)) << rehearsal.All();
  EXPECT_TRUE(Slurp(image) == before) << "the rehearsal changed the card";
  const ToolRun format = Smformat({"--simulate", image, "--yes", "--restore", dump});
  EXPECT_EQ(format.status, c.restoreStatus) << format.err;
  EXPECT_TRUE(Has(format.err, c.restoreSays)) << format.err;
  if (c.restoreStatus != 0) {
    EXPECT_TRUE(Slurp(image) == before) << "a refused restore changed the card";
    return;
  }

  const ToolRun after = Smformat({"--check", "--full", "--simulate", image});
  EXPECT_EQ(after.status, 0) << after.out;
  EXPECT_TRUE(Has(after.out, "File system:     the SmartMedia layout")) << after.out;
  const std::map<std::string, std::string> now = walk.FilesNow();
  for (const auto& [path, bytes] : walk.files) {
    const bool lost = std::find(c.lost.begin(), c.lost.end(), path) != c.lost.end();
    const auto got = now.find(path);
    EXPECT_EQ(got != now.end() && got->second == bytes, !lost) << path;
  }
}

// The page of the file's second sector, of the first FAT's first, of the root directory's first.
void IntoFile(Walk& w) { w.Unreadable(w.PageOf(w.Find().firstSector["DCIM/P2.JPG"] + 1)); }
void IntoFat(Walk& w) { w.Unreadable(w.PageOf(w.Find().volume.firstSector + 1)); }
void IntoRoot(Walk& w) { w.Unreadable(w.PageOf(w.Find().volume.RootStart())); }

// Two flipped bits of a photo's sector: the ECC cannot mend them.
void Uncorrectable(Walk& w) {
  const std::uint32_t page = w.PageOf(w.Find().firstSector["DCIM/P3.JPG"] + 2);
  card::CardOpen card = card::OpenCardImage(w.image);
  planted::FlipDataBits(*card.card, page, 2);
  ASSERT_EQ(card.card->Flush(), "");
}

// A format that a pulled card stopped in its erase pass.
void StoppedMidFormat(Walk& w) {
  Spit(card::FaultSidecarPath(w.image), "remove-after 300\n");
  ASSERT_EQ(Smformat({"--simulate", w.image, "--yes"}).status, 1);
}

// What a PC makes of the card: mkfs.fat over the whole logical image, and a file.
void MadeByMkfs(Walk& w) {
  const std::string logical = w.dir.File("pc.img");
  ASSERT_EQ(Smcard({"export", w.image, logical}).status, 0);
  ASSERT_EQ(fat_tools::RunTool("mkfs.fat", "-F 12 " + fat_tools::Quote(logical)).status, 0);
  w.files.clear();
  w.AddFile(logical, "PC.TXT", 5000);
  ASSERT_EQ(Smcard({"import", w.image, logical}).status, 0);
}

const std::vector<std::string> kQuick = {"--check"}, kFull = {"--check", "--full"};

INSTANTIATE_TEST_SUITE_P(
    DamagedCards, RescueWalk,
    ::testing::Values(
        // The quick check reads no photo: only the full check and the dump meet the page.
        WalkCase{"UnreadablePageInAFile",
                 IntoFile,
                 kQuick,
                 0,
                 {"Result:          no fault found"},
                 0,
                 "1 sector could not be read from the dump",
                 {"DCIM/P2.JPG"}},
        WalkCase{"UnreadablePageInAFileFullCheck",
                 IntoFile,
                 kFull,
                 1,
                 {"1 pages unreadable", "1 fault of the card"},
                 0,
                 "they are not written as data",
                 {"DCIM/P2.JPG"}},
        WalkCase{"UnreadablePageInTheFat",
                 IntoFat,
                 kQuick,
                 1,
                 {"Faults of the card:\n  unit 0 page", "cannot be read\nResult:          1 fault of the card\n"},
                 0,
                 "of the FATs the dump could read in one FAT only: taken from the other",
                 {}},
        WalkCase{
            "UnreadablePageInTheRootDirectory",
            IntoRoot,
            kQuick,
            1,
            {"1 pages unreadable"},
            0,
            "1 sector of the root directory could not be read from the dump (sectors 32): they go back as "
            "deleted entries, so that the entries after them still show",
            {"DCIM/P1.JPG", "DCIM/P2.JPG", "DCIM/P3.JPG", "R1.TXT", "R2.TXT", "R3.TXT", "R4.TXT", "R5.TXT", "R6.TXT",
             "R7.TXT", "R8.TXT", "R9.TXT", "R10.TXT", "R11.TXT", "R12.TXT", "R13.TXT", "R14.TXT", "R15.TXT"}},
        WalkCase{"UncorrectableEcc",
                 Uncorrectable,
                 kFull,
                 1,
                 {"0 correctable and 1 uncorrectable errors"},
                 0,
                 "1 sector could not be read from the dump",
                 {"DCIM/P3.JPG"}},
        WalkCase{"StoppedMidFormat",
                 StoppedMidFormat,
                 kQuick,
                 kExitLayoutDiffers,
                 {"it holds no partition table and no file system, but",
                  "(as on a card whose format stopped "
                  "part-way)",
                  "Result:          no fault of the card; 5 differences from the SmartMedia layout"},
                 1,
                 "does not hold the SmartMedia file system of capacity 8000",
                 {}},
        WalkCase{"PcFormatted",
                 MadeByMkfs,
                 {"--check", "--json"},
                 kExitLayoutDiffers,
                 {"\"result\": \"layout-differs\"",
                  "\"faults\": [], \"layoutDifferences\": [{\"kind\": "
                  "\"layout-differs\", \"region\": \"MBR\", \"sector\": 0, "
                  "\"sectors\": 1,"},
                 1,
                 "Take its files with 'smcard extract",
                 {}}),
    [](const auto& info) { return std::string(info.param.name); });

// The same card in a reader of the model of a Linux machine: the dry run
// sends the reader only commands that read, and says what a format would
// do; the format with --restore puts the files back through SG_IO.
using ThroughAReader = clitest::Machine;

TEST_F(ThroughAReader, TheDryRunOnlyReadsAndTheRestorePutsTheFilesBack) {
  TempDir dir;
  Walk walk(dir);
  ASSERT_NO_FATAL_FAILURE(walk.MakePhotoCard());
  const std::string dump = dir.File("dump.img");
  ASSERT_EQ(Smformat({"--dump", dump, "--simulate", walk.image}).status, 0);
  card::CardOpen card = card::OpenCardImage(walk.image);
  card::FaultPlan plan;
  plan.unreadablePages = {{0, 7 * kPagesPerBlock}, {0, 7 * kPagesPerBlock + 1}};  // the first page of block 7
  Attach("sdb", std::move(card.card), plan);
  const std::string before = Slurp(walk.image);

  const clitest::ToolRun dry = Smformat({"--dry-run", "--restore", dump, "/dev/sdb"});
  EXPECT_EQ(dry.status, 0) << dry.err;
  EXPECT_TRUE(Has(dry.out,
                  "Dry run: nothing was written to the card. A format would\n"
                  "  keep the CIS in block 0 as it is\n"
                  "  erase 511 blocks, "))
      << dry.out;
  EXPECT_TRUE(Has(dry.out,
                  "  read again the 1 block whose first page cannot be read now (0:7) and mark each bad "
                  "that still cannot be read"))
      << dry.out;
  EXPECT_TRUE(Has(dry.out, "  and so erase what the card holds: 40 files and 1 folder in the root directory"))
      << dry.out;
  EXPECT_TRUE(Has(dry.err, "would go back onto the card:\n  the dump holds 40 files and 1 folder")) << dry.err;
  for (const auto& call : system.SgCallsTo("sdb")) {
    EXPECT_TRUE(Has("\x12\xED\xE7\xEA", std::string(1, static_cast<char>(call.cdb[0]))))
        << "command " << int{call.cdb[0]} << " reached the reader";
  }
  for (const auto& open : system.Opens()) EXPECT_EQ(open.flags & O_ACCMODE, O_RDONLY);
  ASSERT_EQ(cards[0]->Flush(), "");
  EXPECT_TRUE(Slurp(walk.image) == before) << "the dry run changed the card";

  readers[0]->Plan().unreadablePages.clear();
  const clitest::ToolRun run = Smformat({"--yes", "--restore", dump, "/dev/sdb"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(Has(run.err, "Restored 40 files and 1 folder in the root directory")) << run.err;
  card::FaultPlan none;
  card::CardSectors sectors(*cards[0], none);
  FatReader fat(sectors.Reader(), sectors.Count());
  ASSERT_EQ(fat.Open(), "");
  std::map<std::string, std::string> now;
  for (const FatItem& item : fat.Walk().items) {
    fat.ReadFile(item, [&](const std::uint8_t* bytes, std::size_t count) {
      now[item.path].append(reinterpret_cast<const char*>(bytes), count);
      return true;
    });
  }
  for (const auto& [path, bytes] : walk.files) EXPECT_TRUE(now[path] == bytes) << path << " did not come back";
}

}  // namespace
