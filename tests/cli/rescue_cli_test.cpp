// The rescue path on damaged cards: volumes that mkfs.fat, the SmartMedia
// format, mmd and mcopy make, damaged by unreadable pages and by bytes that
// lie, then listed with smcard files, copied out with smcard extract and
// compared with diff -r, and exported with the unreadable sectors listed.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <atomic>
#include <csignal>
#include <ctime>
#include <filesystem>
#include <iostream>
#include <sstream>

#include "app/cli/smcard_cli.h"
#include "app/cli/smformat_cli.h"
#include "card/card.h"
#include "card/card_tools.h"
#include "card/firmware.h"
#include "engine/byte_order.h"
#include "engine/fat_layout.h"
#include "engine/fat_reader.h"
#include "tests/cli/tool_run.h"
#include "tests/support/fat_tools.h"
#include "tests/support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using fat_tools::Quote;
using fat_tools::ReadAll;
using fat_tools::RunTool;

constexpr std::size_t kSector = 512;

using clirun::Smcard;
using clirun::Smformat;
using clirun::Tool;
using clirun::ToolRun;

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// What goes on the card, in this order: folders (size -1) and files of
// pseudo-random bytes. The root directory's first sector holds the first
// sixteen entries; README.TXT is the seventeenth.
struct Entry {
  const char* path;
  int size;
};
constexpr Entry kTree[] = {
    {"DCIM", -1},
    {"A", -1},
    {"DCIM/100OLYMP", -1},
    {"DCIM/100OLYMP/P1010001.JPG", 20000},
    {"DCIM/100OLYMP/P1010002.JPG", 7000},
    {"DCIM/Holiday at the beach.jpg", 3000},
    {"DCIM/zebra.jpg", 500},  // its 8.3 entry says "lower case"
    {"DCIM/A name of 255 characters, the longest a long name can be, wr"
     "itten in twenty pieces of thirteen characters; a reader that takes nineteen pieces at most shows onl"
     "y its eight-dot-three name instead of this one, which is exactly as long as it can be,  end.jpg",
     200},
    {"A/B", -1},
    {"A/B/C", -1},
    {"A/B/C/D", -1},
    {"A/B/C/D/E", -1},
    {"A/B/C/D/E/F", -1},
    {"A/B/C/D/E/F/G", -1},
    {"A/B/C/D/E/F/G/deep file.txt", 1234},
};
constexpr int kNotes = 14;  // NOTE01.TXT ... in the root directory, after DCIM and A

// When every file was last changed: two seconds apart, as FAT keeps them.
constexpr int kYear = 2021, kMonth = 6, kDay = 15, kHour = 10, kMinute = 20, kSecond = 30;

enum class Layout { SmartMedia1M, Mkfs16M };

// Where the card is damaged.
enum class Damage {
  None,
  PageInFile,        // the page of bytes 4096-4607 of P1010001.JPG
  PageInFirstFat,    // the first sector of FAT 1: FAT 2 stands in
  PageInBothFats,    // the first sector of each FAT
  PageInRoot,        // the root directory's second sector
  PageInSubfolder,   // the sector of 100OLYMP that lists its files
  ChainLoops,        // P1010001.JPG's third cluster leads back to its second
  ChainLeaves,       // ... leads to the first cluster beyond the volume
  FolderLeaves,      // 100OLYMP's entry leads to the first cluster beyond the volume
  ChainToAFreeOne,   // ... leads to a free cluster
  ChainToABadOne,    // ... leads to a cluster marked bad
  ShortLoopingFile,  // P1010001.JPG says 100 bytes, and its chain loops after them
  SizeBeyondChain,   // P1010002.JPG says 40000 bytes more than its chain holds
  SizeBeyondVolume,  // P1010002.JPG says 2 GB
  LongNameChecksum,  // the long name's checksum is not its 8.3 name's
  FolderLoop,        // 100OLYMP's entry leads to DCIM's cluster
  NamesThatLie,      // NOTE02.TXT holds a '/', NOTE03.TXT a blank, NOTE04.TXT starts with 05 (for E5),
                     // NOTE05.TXT is NOTE06.TXT
};

struct RescueCase {
  const char* name;
  Layout layout;
  Damage damage;
  int filesStatus, extractStatus, exportStatus;
  const char* says;  // by files and extract on stderr
  const char* diff;  // diff -r src out, lines sorted
};

void PrintTo(const RescueCase& c, std::ostream* os) { *os << c.name; }

std::uint64_t Find(const std::string& bytes, const std::string& needle) {
  const std::size_t at = bytes.find(needle);
  EXPECT_NE(at, std::string::npos) << "not on the card: " << needle;
  EXPECT_EQ(bytes.find(needle, at + 1), std::string::npos) << "twice on the card: " << needle;
  return at;
}

class RescueBench : public ::testing::Test {
 protected:
  void Build(const RescueCase& c) {
    param = c;
    src = dir.File("src");
    logical = dir.File("logical.img");
    image = dir.File("card.img");
    MakeSources();
    MakeVolume();
    Harm();
    ASSERT_EQ(Smcard({"create", image, "--size", param.layout == Layout::Mkfs16M ? "16M" : "1M"}).status, 0);
    ASSERT_EQ(Smcard({"import", image, logical}).status, 0);
    std::string faults;
    for (const std::uint64_t sector : unreadable)
      faults += "unreadable-page 0:" + std::to_string(PageOf(sector)) + "\n";
    std::ofstream(image + ".faults") << faults;
  }

  void MakeSources() {
    std::tm when{};
    when.tm_year = kYear - 1900, when.tm_mon = kMonth - 1, when.tm_mday = kDay;
    when.tm_hour = kHour, when.tm_min = kMinute, when.tm_sec = kSecond, when.tm_isdst = -1;
    const timespec times[2] = {{std::mktime(&when), 0}, {std::mktime(&when), 0}};
    unsigned seed = 1;
    auto file = [&](const std::string& path, int size) {
      std::string bytes(static_cast<std::size_t>(size), '\0');
      for (char& c : bytes) c = static_cast<char>((seed = seed * 1103515245u + 12345u) >> 16);
      std::ofstream(src + "/" + path, std::ios::binary) << bytes;
      utimensat(AT_FDCWD, (src + "/" + path).c_str(), times, 0);
    };
    fs::create_directories(src);
    for (const Entry& e : kTree) {
      if (e.size < 0) fs::create_directories(src + "/" + e.path);
    }
    for (const Entry& e : kTree) {
      if (e.size >= 0) file(e.path, e.size);
    }
    for (int n = 1; n <= kNotes; ++n)
      file("NOTE" + std::string(n < 10 ? "0" : "") + std::to_string(n) + ".TXT", 100 + n);
    file("README.TXT", 600);
  }

  void MakeVolume() {
    const std::uint64_t sectors = param.layout == Layout::Mkfs16M ? 32000 : 2000;
    std::ofstream(logical).close();
    fs::resize_file(logical, sectors * kSector);
    if (param.layout == Layout::Mkfs16M) {
      ASSERT_EQ(RunTool("mkfs.fat", "-F 16 " + Quote(logical)).status, 0);
    } else {
      ASSERT_EQ(Tool(SmformatMain, {"--logical", logical, "--yes"}).status, 0);
      const std::string mbr = ReadAll(logical).substr(0, kSector);
      volumeStart = LoadLe32(reinterpret_cast<const std::uint8_t*>(mbr.data()) + MbrOffset::kPartitionEntry +
                             PartitionEntryOffset::kFirstSector);
    }
    const std::string volume = "-i " + Quote(logical + "@@" + std::to_string(volumeStart * kSector)) + " ";
    auto copy = [&](const std::string& path) {
      const auto run = RunTool("mcopy", "-m " + volume + Quote(src + "/" + path) + " " + Quote("::/" + path));
      EXPECT_EQ(run.status, 0) << run.output;
    };
    for (const Entry& e : kTree) {
      if (e.size < 0) {
        EXPECT_EQ(RunTool("mmd", volume + Quote("::/" + std::string(e.path))).status, 0);
      } else {
        copy(e.path);
      }
      if (std::string(e.path) == "A") {
        for (int n = 1; n <= kNotes; ++n) copy("NOTE" + std::string(n < 10 ? "0" : "") + std::to_string(n) + ".TXT");
      }
    }
    copy("README.TXT");
    // A deleted file is no file.
    std::ofstream(dir.File("GONE.TXT")) << "gone";
    EXPECT_EQ(RunTool("mcopy", volume + Quote(dir.File("GONE.TXT")) + " ::/DCIM/GONE.TXT").status, 0);
    EXPECT_EQ(RunTool("mdel", volume + "::/DCIM/GONE.TXT").status, 0);
  }

  // Changes the logical image, and names the sectors to be unreadable.
  void Harm() {
    std::string bytes = ReadAll(logical);
    auto* at = reinterpret_cast<std::uint8_t*>(bytes.data());
    const std::uint8_t* boot = at + volumeStart * kSector;
    const std::uint64_t fat1 = volumeStart + LoadLe16(boot + BootSectorOffset::kReservedSectors);
    const std::uint64_t fatSectors = LoadLe16(boot + BootSectorOffset::kSectorsPerFat);
    const std::uint64_t root = fat1 + 2 * fatSectors;
    const std::string p1 = ReadAll(src + "/DCIM/100OLYMP/P1010001.JPG");
    const std::uint64_t p1Entry = Find(bytes, "P1010001JPG");
    const std::uint64_t p2Entry = Find(bytes, "P1010002JPG");
    const std::uint16_t p1Cluster = LoadLe16(at + p1Entry + 26);
    // The first cluster number beyond the volume.
    const std::uint64_t data = volumeStart + LoadLe16(boot + BootSectorOffset::kTotalSectors16) - root -
                               LoadLe16(boot + BootSectorOffset::kRootEntries) / 16;
    const auto beyond = static_cast<std::uint16_t>(data / boot[BootSectorOffset::kSectorsPerCluster] + 2);
    auto setFat16 = [&](std::uint32_t cluster, std::uint16_t value) {
      for (std::uint64_t fat : {fat1, fat1 + fatSectors}) StoreLe16(at + fat * kSector + 2 * cluster, value);
    };
    switch (param.damage) {
      case Damage::None:
        break;
      case Damage::PageInFile:
        unreadable = {Find(bytes, p1.substr(4096, 64)) / kSector};
        break;
      case Damage::PageInFirstFat:
        unreadable = {fat1};
        break;
      case Damage::PageInBothFats:
        unreadable = {fat1, fat1 + fatSectors};
        break;
      case Damage::PageInRoot:
        unreadable = {root + 1};
        break;
      case Damage::PageInSubfolder:
        unreadable = {p1Entry / kSector};
        break;
      case Damage::ChainLoops:
      case Damage::ShortLoopingFile:
        setFat16(p1Cluster + 2, static_cast<std::uint16_t>(p1Cluster + 1));
        if (param.damage == Damage::ShortLoopingFile) StoreLe32(at + p1Entry + 28, 100);
        break;
      case Damage::ChainLeaves:
        setFat16(p1Cluster + 2, beyond);
        break;
      case Damage::FolderLeaves:
        StoreLe16(at + Find(bytes, "100OLYMP   ") + 26, beyond);
        break;
      case Damage::ChainToAFreeOne:
      case Damage::ChainToABadOne:
        setFat16(p1Cluster + 2, param.damage == Damage::ChainToAFreeOne ? 0 : 0xFFF7);
        break;
      case Damage::SizeBeyondChain:
        StoreLe32(at + p2Entry + 28, 7000 + 40000);
        break;
      case Damage::SizeBeyondVolume:
        StoreLe32(at + p2Entry + 28, 0x7FFFFFFF);
        break;
      case Damage::LongNameChecksum:
        ++at[Find(bytes, std::string("H\0o\0l\0i\0d\0", 10)) - 1 + 13];
        break;
      case Damage::NamesThatLie:
        at[Find(bytes, "NOTE02  TXT") + 2] = '/';
        at[Find(bytes, "NOTE03  TXT") + 2] = ' ';
        at[Find(bytes, "NOTE04  TXT")] = 0x05;
        std::copy_n("NOTE06", 6, at + Find(bytes, "NOTE05  TXT"));  // two of one name
        // An entry after the end of the root directory (README.TXT is the 17th): no entry.
        std::copy_n(at + Find(bytes, "NOTE01  TXT"), 32, at + root * kSector + 18 * 32);
        break;
      case Damage::FolderLoop:
        StoreLe16(at + Find(bytes, "100OLYMP   ") + 26, LoadLe16(at + Find(bytes, "DCIM       ") + 26));
        break;
    }
    std::ofstream(logical, std::ios::binary) << bytes;
  }

  std::uint64_t PageOf(std::uint64_t sector) {
    card::CardOpen opened = card::OpenCardImage(image, card::Access::ReadOnly);
    card::Firmware firmware(opened.card->Media());
    const std::uint32_t pages = opened.card->Geometry().units[0].pagesPerBlock;
    const auto block = firmware.Locate(static_cast<std::uint32_t>(sector / pages));
    EXPECT_TRUE(block.has_value()) << "sector " << sector << " is stored nowhere";
    return block ? std::uint64_t{block->block} * pages + sector % pages : 0;
  }

  const RescueCase& GetParam() const { return param; }

  // The sectors in use of a sound volume: a copy of only them (and what lies
  // before the volume) reads the same, and they hold the clusters of every
  // file and folder and no more.
  void ExpectSectorsInUseCarryTheFiles() {
    card::LogicalFileSectors sectors;
    ASSERT_EQ(sectors.Open(logical), "");
    FatReader fat(sectors.Reader(), sectors.Count());
    ASSERT_EQ(fat.Open(), "");
    const std::string bytes = ReadAll(logical);
    std::string copy(bytes.size(), '\0');
    copy.replace(0, volumeStart * kSector, bytes, 0, volumeStart * kSector);
    std::uint64_t inUse = 0;
    for (const FatRun& run : fat.SectorsInUse()) {
      copy.replace(run.first * kSector, run.count * kSector, bytes, run.first * kSector, run.count * kSector);
      inUse += run.count;
    }
    std::ofstream(dir.File("copy.img"), std::ios::binary) << copy;
    EXPECT_EQ(Smcard({"files", "--logical", dir.File("copy.img")}).out, Smcard({"files", "--logical", logical}).out);
    const FatVolume& volume = *fat.Volume();
    const std::uint64_t clusterBytes = volume.clusterSectors * kSector;
    std::uint64_t clusters = kNotes + 1;  // each note and README.TXT fit one cluster
    for (const Entry& e : kTree) clusters += e.size < 0 ? 1 : (e.size + clusterBytes - 1) / clusterBytes;
    EXPECT_EQ(inUse, volume.RootStart() + volume.RootSectors() - volumeStart + clusters * volume.clusterSectors);
  }

  RescueCase param{};
  TempDir dir;
  std::string src, logical, image;
  std::uint64_t volumeStart = 0;
  std::vector<std::uint64_t> unreadable;
};

class RescueCard : public RescueBench, public ::testing::WithParamInterface<RescueCase> {
 protected:
  void SetUp() override { Build(::testing::WithParamInterface<RescueCase>::GetParam()); }
  using ::testing::WithParamInterface<RescueCase>::GetParam;
};

std::string SortedDiff(const std::string& a, const std::string& b) {
  const auto diff = RunTool("diff", "-r " + Quote(a) + " " + Quote(b));
  std::vector<std::string> lines;
  std::istringstream in(diff.output);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  std::sort(lines.begin(), lines.end());
  std::string text;
  for (const std::string& line : lines) text += line + "\n";
  return text;
}

TEST_P(RescueCard, IsListedExtractedAndExported) {
  const RescueCase& c = GetParam();
  const ToolRun files = Smcard({"files", image});
  EXPECT_EQ(files.status, c.filesStatus) << files.err;
  EXPECT_TRUE(Contains(files.err, c.says)) << files.err;
  EXPECT_TRUE(Contains(files.out, "2021-06-15 10:20:30        1234  A/B/C/D/E/F/G/deep file.txt  (DEEPFI~1.TXT)\n"))
      << files.out;

  const std::string out = dir.File("out");
  const ToolRun extract = Smcard({"extract", image, out});
  EXPECT_EQ(extract.status, c.extractStatus) << extract.err;
  EXPECT_TRUE(Contains(extract.err, c.says)) << extract.err;
  std::string diff = c.diff;
  for (std::size_t at; (at = diff.find("SRC")) != std::string::npos;) diff.replace(at, 3, src);
  for (std::size_t at; (at = diff.find("OUT")) != std::string::npos;) diff.replace(at, 3, out);
  EXPECT_EQ(SortedDiff(src, out), diff);
  struct stat copied {};
  struct stat original {};
  ASSERT_EQ(stat((out + "/NOTE01.TXT").c_str(), &copied), 0);
  ASSERT_EQ(stat((src + "/NOTE01.TXT").c_str(), &original), 0);
  EXPECT_EQ(copied.st_mtime, original.st_mtime) << "the file keeps its date";
  if (c.damage == Damage::PageInFile) {
    std::string expected = ReadAll(src + "/DCIM/100OLYMP/P1010001.JPG");
    std::fill(expected.begin() + 4096, expected.begin() + 4608, '\0');
    EXPECT_TRUE(ReadAll(out + "/DCIM/100OLYMP/P1010001.JPG") == expected) << "the rest of the photo is kept";
  }
  if (c.damage == Damage::NamesThatLie) {
    EXPECT_TRUE(Contains(extract.err, "smcard: NOTE06.TXT is written as " + out + "/NOTE06.TXT (2)\n")) << extract.err;
  }
  if (c.damage == Damage::SizeBeyondChain) {
    EXPECT_EQ(ReadAll(out + "/DCIM/100OLYMP/P1010002.JPG").find_first_not_of('\0', 8192), std::string::npos)
        << "beyond its chain a file holds zeros";
  }
  if (c.damage == Damage::SizeBeyondVolume) {
    EXPECT_LT(fs::file_size(out + "/DCIM/100OLYMP/P1010002.JPG"), 1u << 20);
  }

  // The export lists what it could not read, and a logical image with its
  // list reads as the card does.
  const std::string exported = dir.File("exported.img");
  const ToolRun exportRun = Smcard({"export", image, exported});
  EXPECT_EQ(exportRun.status, c.exportStatus) << exportRun.err;
  std::string error;
  const std::vector<FatRun> listed = card::ParseUnreadableList(
      fs::exists(exported + ".unreadable.txt") ? ReadAll(exported + ".unreadable.txt") : "", error);
  std::vector<std::uint64_t> sectors;
  for (const FatRun& run : listed) {
    for (std::uint64_t s = run.first; s < run.first + run.count; ++s) sectors.push_back(s);
  }
  std::sort(unreadable.begin(), unreadable.end());
  EXPECT_EQ(sectors, unreadable);
  const ToolRun again = Smcard({"files", "--logical", exported});
  EXPECT_EQ(again.out + again.err, files.out + files.err);
  if (c.damage == Damage::None) ExpectSectorsInUseCarryTheFiles();
}

constexpr const char* kWhole = "";

// What extract is asked for, and what it must leave in DEST.
struct Choice {
  const char* name;
  std::vector<std::string> args;  // after IMAGE DEST
  const char* before;             // what DEST holds first: "note" a NOTE01.TXT of ours, "link" DCIM a link
  int status;
  std::vector<std::string> says;
  std::vector<std::string> there, notThere;
};

TEST_F(RescueBench, ExtractTakesWhatIsAskedForAndNothingElse) {
  Build({"Sound", Layout::SmartMedia1M, Damage::None, 0, 0, 0, "", ""});
  const std::string out = dir.File("out");
  const std::string elsewhere = dir.File("elsewhere");
  const Choice choices[] = {
      {"Folder",
       {"dcim\\100olymp\\"},
       "",
       0,
       {},
       {"DCIM/100OLYMP/P1010002.JPG"},
       {"NOTE01.TXT", "DCIM/Holiday at the beach.jpg"}},
      {"ShortName",
       {"/DCIM//HOLIDA~1.JPG", "readme.txt"},
       "",
       0,
       {},
       {"DCIM/Holiday at the beach.jpg", "README.TXT"},
       {"A"}},
      {"NotOnTheCard",
       {"DCIM", "NOPE"},
       "",
       1,
       {"NOPE: no such file or folder on the card; nothing was written"},
       {},
       {""}},
      {"FileThere",
       {},
       "note",
       1,
       {"/NOTE01.TXT exists; give --force to replace files that are there"},
       {},
       {"README.TXT"}},
      {"FileReplaced", {"--force"}, "note", 0, {}, {"README.TXT"}, {}},
      {"LinkOnTheWay",
       {},
       "link",
       1,
       {"/DCIM: a link, not a folder: nothing is written through it",
        "/DCIM/100OLYMP: not written: its folder could not be made"},
       {"NOTE01.TXT"},
       {}},
  };
  for (const Choice& c : choices) {
    SCOPED_TRACE(c.name);
    fs::remove_all(out);
    fs::remove_all(elsewhere);
    fs::create_directories(elsewhere);
    if (*c.before) fs::create_directories(out);
    if (std::string(c.before) == "note") std::ofstream(out + "/NOTE01.TXT") << "ours";
    if (std::string(c.before) == "link") fs::create_directory_symlink(elsewhere, out + "/DCIM");
    std::vector<std::string> args{"extract", image, out};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const ToolRun run = Smcard(args);
    EXPECT_EQ(run.status, c.status) << run.err;
    for (const std::string& says : c.says) EXPECT_TRUE(Contains(run.err, says)) << run.err;
    for (const std::string& path : c.there) EXPECT_TRUE(fs::exists(out + "/" + path)) << path;
    for (const std::string& path : c.notThere) EXPECT_FALSE(fs::exists(out + "/" + path)) << path;
    if (*c.before == 'n') {
      EXPECT_EQ(ReadAll(out + "/NOTE01.TXT") == "ours", c.status != 0);
    }
    EXPECT_TRUE(fs::is_empty(elsewhere)) << "written through a link";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cards, RescueCard,
    ::testing::Values(
        RescueCase{"SoundSmartMedia", Layout::SmartMedia1M, Damage::None, 0, 0, 0, "", kWhole},
        RescueCase{"SoundMkfs", Layout::Mkfs16M, Damage::None, 0, 0, 0, "", kWhole},
        RescueCase{"PageInFile", Layout::SmartMedia1M, Damage::PageInFile, 5, 5, 5,
                   "bytes 4096 to 4607 hold zeros (unreadable sector 176)",
                   "Binary files SRC/DCIM/100OLYMP/P1010001.JPG and OUT/DCIM/100OLYMP/P1010001.JPG differ\n"},
        RescueCase{"PageInFirstFat", Layout::SmartMedia1M, Damage::PageInFirstFat, 0, 0, 5, "", kWhole},
        RescueCase{"PageInBothFats", Layout::SmartMedia1M, Damage::PageInBothFats, 5, 5, 5,
                   "DCIM/: the FAT entry of its cluster ",
                   "Binary files SRC/DCIM/100OLYMP/P1010001.JPG and OUT/DCIM/100OLYMP/P1010001.JPG differ\n"
                   "Binary files SRC/DCIM/100OLYMP/P1010002.JPG and OUT/DCIM/100OLYMP/P1010002.JPG differ\n"},
        RescueCase{"PageInRoot", Layout::Mkfs16M, Damage::PageInRoot, 5, 5, 5, "the root directory: sector ",
                   "Only in SRC: README.TXT\n"},
        RescueCase{"PageInSubfolder", Layout::SmartMedia1M, Damage::PageInSubfolder, 5, 5, 5, "DCIM/100OLYMP/: sector ",
                   "Only in SRC/DCIM/100OLYMP: P1010001.JPG\nOnly in SRC/DCIM/100OLYMP: P1010002.JPG\n"},
        RescueCase{"ChainLoops", Layout::Mkfs16M, Damage::ChainLoops, 5, 5, 0,
                   "its cluster chain loops back to cluster",
                   "Binary files SRC/DCIM/100OLYMP/P1010001.JPG and OUT/DCIM/100OLYMP/P1010001.JPG differ\n"},
        RescueCase{"ChainLeaves", Layout::Mkfs16M, Damage::ChainLeaves, 5, 5, 0, ", outside the volume",
                   "Binary files SRC/DCIM/100OLYMP/P1010001.JPG and OUT/DCIM/100OLYMP/P1010001.JPG differ\n"},
        RescueCase{"FolderLeaves", Layout::Mkfs16M, Damage::FolderLeaves, 5, 5, 0,
                   "DCIM/100OLYMP/: its entry leads to cluster ",
                   "Only in SRC/DCIM/100OLYMP: P1010001.JPG\nOnly in SRC/DCIM/100OLYMP: P1010002.JPG\n"},
        RescueCase{"ChainToAFreeOne", Layout::Mkfs16M, Damage::ChainToAFreeOne, 5, 5, 0,
                   "its cluster chain runs into a free cluster after cluster",
                   "Binary files SRC/DCIM/100OLYMP/P1010001.JPG and OUT/DCIM/100OLYMP/P1010001.JPG differ\n"},
        RescueCase{"ChainToABadOne", Layout::Mkfs16M, Damage::ChainToABadOne, 5, 5, 0,
                   "its cluster chain runs into a cluster marked bad after cluster",
                   "Binary files SRC/DCIM/100OLYMP/P1010001.JPG and OUT/DCIM/100OLYMP/P1010001.JPG differ\n"},
        RescueCase{"ShortLoopingFile", Layout::Mkfs16M, Damage::ShortLoopingFile, 0, 0, 0, "",
                   "Binary files SRC/DCIM/100OLYMP/P1010001.JPG and OUT/DCIM/100OLYMP/P1010001.JPG differ\n"},
        RescueCase{"SizeBeyondChain", Layout::Mkfs16M, Damage::SizeBeyondChain, 5, 5, 0,
                   "its cluster chain ends after 4 of the 23 clusters its size needs; bytes 8192 to 46999 hold zeros",
                   "Binary files SRC/DCIM/100OLYMP/P1010002.JPG and OUT/DCIM/100OLYMP/P1010002.JPG differ\n"},
        RescueCase{"SizeBeyondVolume", Layout::SmartMedia1M, Damage::SizeBeyondVolume, 5, 5, 0,
                   "its size of 2147483647 bytes is more than the volume holds; only the 8192 bytes its clusters hold "
                   "are kept",
                   "Binary files SRC/DCIM/100OLYMP/P1010002.JPG and OUT/DCIM/100OLYMP/P1010002.JPG differ\n"},
        RescueCase{"LongNameChecksum", Layout::SmartMedia1M, Damage::LongNameChecksum, 0, 0, 0, "",
                   "Only in OUT/DCIM: HOLIDA~1.JPG\nOnly in SRC/DCIM: Holiday at the beach.jpg\n"},
        RescueCase{"FolderLoop", Layout::Mkfs16M, Damage::FolderLoop, 5, 5, 0,
                   "DCIM/100OLYMP/: its entry leads to a folder already read",
                   "Only in SRC/DCIM/100OLYMP: P1010001.JPG\nOnly in SRC/DCIM/100OLYMP: P1010002.JPG\n"},
        RescueCase{"NamesThatLie", Layout::SmartMedia1M, Damage::NamesThatLie, 0, 0, 0, "",
                   "Binary files SRC/NOTE06.TXT and OUT/NOTE06.TXT differ\nOnly in OUT: NO E03.TXT\n"
                   "Only in OUT: NOTE06.TXT (2)\nOnly in OUT: _OTE04.TXT\nOnly in SRC: NOTE02.TXT\n"
                   "Only in SRC: NOTE03.TXT\nOnly in SRC: NOTE04.TXT\nOnly in SRC: NOTE05.TXT\n"}),
    [](const auto& info) { return std::string(info.param.name); });

// A destination that takes no file beyond 10000 bytes: the photo that does
// not fit is named and nothing of it is left, the others come out.
TEST_F(RescueBench, AFileTheHostCannotTakeIsNamedAndTheRestComeOut) {
  Build({"Sound", Layout::SmartMedia1M, Damage::None, 0, 0, 0, "", ""});
  const std::string out = dir.File("out");
  const auto extractUnderLimit = [&] {
    const rlimit fileSize{10000, 10000};
    setrlimit(RLIMIT_FSIZE, &fileSize);
    std::signal(SIGXFSZ, SIG_IGN);
    const ToolRun run = Smcard({"extract", image, out});
    std::cerr << run.err;
    std::_Exit(run.status);
  };
  EXPECT_EXIT(extractUnderLimit(), ::testing::ExitedWithCode(1),
              "P1010001.JPG: cannot write the file: File too large(.|\n)*1 file or folder could not be written");
  EXPECT_FALSE(fs::exists(out + "/DCIM/100OLYMP/P1010001.JPG"));
  EXPECT_EQ(ReadAll(out + "/DCIM/100OLYMP/P1010002.JPG"), ReadAll(src + "/DCIM/100OLYMP/P1010002.JPG"));
  for (const auto& entry : fs::recursive_directory_iterator(out)) {
    EXPECT_EQ(entry.path().filename().string().find(".new"), std::string::npos) << entry.path();
  }
}

// Volumes the reader does not read, and the largest root directory it does.
TEST(VolumesNotRead, AreRefusedWithTheReason) {
  const struct {
    const char* mkfs;  // none: a blank card
    std::uint64_t sectors;
    int status;
    const char* says;
  } cases[] = {
      {nullptr, 2000, 1, "logical.img: no file system: the card is blank"},
      {"-F 32 -s 1", 70000, 1, "a FAT32 file system, which no SmartMedia card holds: it is not read"},
      {"-F 16 -r 4096", 32000, 1, "a FAT16 file system larger than any SmartMedia card's: it is not read"},
      {"-F 16 -r 2048", 32000, 0, "0 files (0 bytes) and 0 folders"},
  };
  TempDir dir;
  const std::string image = dir.File("logical.img");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.mkfs ? c.mkfs : "blank");
    fs::remove(image);
    std::ofstream(image).close();
    fs::resize_file(image, c.sectors * kSector);
    if (c.mkfs) {
      ASSERT_EQ(RunTool("mkfs.fat", std::string(c.mkfs) + " " + Quote(image)).status, 0);
    }
    const ToolRun run = Smcard({"files", "--logical", image});
    EXPECT_EQ(run.status, c.status);
    EXPECT_TRUE(Contains(run.out + run.err, c.says)) << run.out << run.err;
  }
}

}  // namespace
