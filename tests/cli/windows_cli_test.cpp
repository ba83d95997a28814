// smformat.exe on the model of the system's volumes C: to Z: with simulated
// readers: E: and --list through the pass-through backend, and the logical
// format of an image file.
#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "app/cli/smcard_cli.h"
#include "app/cli/smformat_cli.h"
#include "card/firmware.h"
#include "engine/byte_order.h"
#include "sim/reader.h"
#include "tests/cli/planted_card.h"
#include "tests/passthrough/fake_volume_api.h"
#include "tests/sim/sim_bench.h"
#include "tests/support/temp_dir.h"
#include "transport/passthrough/pass_through_request.h"

namespace {

struct ToolRun {
  int status = -1;
  std::string out;
  std::string err;
};

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

class Volumes : public ::testing::Test {
 public:
  sim::Reader& AddReader(char letter, card::FaultPlan plan = {}) {
    return Attach(letter, simtest::MakeCard(simtest::Standard("1M"), plan, true, card::Fill::Random), plan);
  }

  sim::Reader& Attach(char letter, std::unique_ptr<card::Card> card, card::FaultPlan plan) {
    cards.push_back(std::move(card));
    readers.push_back(std::make_unique<sim::Reader>(*cards.back(), std::move(plan)));
    volumes.AddReader(letter, *readers.back());
    return *readers.back();
  }

  ToolRun Smformat(const std::vector<std::string>& args, const std::string& input = "") {
    std::ostringstream out, err;
    std::istringstream in(input);
    std::atomic<int> stopFlag{1};
    // Ctrl-C at the format's first pause of a second, if asked for.
    const auto sleep = [&](std::uint32_t ms) {
      if (stopAtPause && ms == 1000) stopFlag.store(1);
      if (atPause) atPause(ms, stopFlag);
    };
    CliContext context{out, err, in, false, sleep, stopFlag};
    context.volumeApi = &volumes;
    ToolRun run;
    run.status = SmformatMain(args, context);
    run.out = out.str();
    run.err = err.str();
    return run;
  }

  // The volume was locked before the first command of the format; closing
  // the handle releases the lock (the format ends by dropping it).
  bool LockedBeforeTheFormat() const {
    for (const auto& request : volumes.Requests()) {
      if (request.controlCode == passthrough::kLockVolume) return request.result != FALSE;
      if (request.reachedDevice && request.cdb[0] == 0xE8) return false;
    }
    return false;
  }

  void TearDown() override {
    for (const std::string& problem : volumes.Misuse()) ADD_FAILURE() << problem;
    EXPECT_EQ(volumes.OpenHandles(), 0);
  }

  std::vector<std::unique_ptr<card::Card>> cards;
  std::vector<std::unique_ptr<sim::Reader>> readers;
  FakeVolumeApi volumes;
  bool stopAtPause = false;
  std::function<void(std::uint32_t ms, std::atomic<int>& stopFlag)> atPause;
};

// What the volume model saw: 'l' a lock refused, 'L' a lock granted, 'D' a
// dismount, 'U' an unlock, '*' a run of commands to the reader.
std::string VolumeControls(const FakeVolumeApi& volumes) {
  std::string seen;
  for (const auto& request : volumes.Requests()) {
    const std::map<DWORD, char> codes{{0x90018, request.result ? 'L' : 'l'}, {0x90020, 'D'}, {0x9001C, 'U'}};
    const char code = codes.count(request.controlCode) != 0 ? codes.at(request.controlCode) : '*';
    if (code != '*' || seen.empty() || seen.back() != '*') seen += code;
  }
  return seen;
}

struct LockCase {
  const char* name;
  int refusals;  // -1: another program keeps the volume open
  const char* answers;
  bool stop, writesFail;
  int status;
  std::string controls;
};

void PrintTo(const LockCase& c, std::ostream* os) { *os << c.name; }

class VolumeLock : public Volumes, public ::testing::WithParamInterface<LockCase> {};

TEST_P(VolumeLock, IsTakenAfterTheQuestionAndGivenUpAfterTheFormat) {
  card::FaultPlan plan;
  if (GetParam().writesFail) plan.commandFaults = {{0x2A, std::nullopt, 1, true}};
  AddReader('E', plan);
  const auto before = cards[0]->Media().Bytes();
  const HANDLE other = GetParam().refusals < 0 ? volumes.Open("\\\\.\\E:", GENERIC_READ, 3, OPEN_EXISTING, 0) : nullptr;
  volumes.FailLocks('E', std::max(GetParam().refusals, 0));
  stopAtPause = GetParam().stop;
  const ToolRun run = Smformat({"E:"}, GetParam().answers);
  if (other != nullptr) volumes.Close(other);
  EXPECT_EQ(run.status, GetParam().status) << run.err;
  EXPECT_EQ(VolumeControls(volumes), GetParam().controls);
  EXPECT_EQ(Contains(run.err,
                     "Warning: Another program is using drive E:, so it cannot be locked for the format. "
                     "Format anyway? [y/N]"),
            GetParam().refusals < 0)
      << run.err;
  EXPECT_EQ(cards[0]->Media().Bytes() == before, GetParam().refusals < 0 && GetParam().status != 0);
}

const std::string kNeverLocked = "*" + std::string(50, 'l');

INSTANTIATE_TEST_SUITE_P(Cases, VolumeLock,
                         ::testing::Values(LockCase{"GrantedAfterThreeRefusals", 3, "y\n", false, false, 0, "*lllLD*U"},
                                           LockCase{"BusyAndNo", -1, "y\nn\n", false, false, kExitDeclined,
                                                    kNeverLocked},
                                           LockCase{"BusyAndYes", -1, "y\ny\n", false, false, 0, kNeverLocked + "*"},
                                           LockCase{"StopUnlocks", 0, "y\n", true, false, kExitDeclined, "*LD*U"},
                                           LockCase{"FailureUnlocks", 0, "y\n", false, true, 1, "*LD*U"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Volumes, NamedDriveIsFormattedUnderTheVolumeLock) {
  volumes.AddSystemDisk('C');
  AddReader('E');
  const ToolRun run = Smformat({"e:"}, "y\n");
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(Contains(run.err,
                       "Device: E:, Generic STORAGE DEVICE, 1 MB card, 2000 sectors\n"
                       "Warning: Format disk will erase all data on the device. Continue?"))
      << run.err;
  EXPECT_TRUE(Contains(run.err, "Information: Format Complete!")) << run.err;
  EXPECT_TRUE(LockedBeforeTheFormat());
  for (const auto& request : volumes.PassThroughRequests()) EXPECT_EQ(request.letter, 'E');
}

TEST_F(Volumes, WithoutADriveTheOneReaderIsFound) {
  volumes.AddSystemDisk('C');
  AddReader('F');
  const ToolRun run = Smformat({}, "y\n");
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(Contains(run.err, "Device: F:, 1 MB card, 2000 sectors")) << run.err;
}

struct RefusalCase {
  const char* name;
  std::vector<std::string> args;
  const char* says;
  int status = kExitFailure;
};

class Refusals : public Volumes, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(Refusals, LeaveTheCardAlone) {
  volumes.AddSystemDisk('C');
  card::FaultPlan noCard;
  noCard.cardType = 0;
  AddReader('E');
  AddReader('G', noCard);
  volumes.FailLocks('E', 50);
  const auto before = cards[0]->Media().Bytes();
  const ToolRun run = Smformat(GetParam().args);
  EXPECT_EQ(run.status, GetParam().status);
  EXPECT_TRUE(Contains(run.err, GetParam().says)) << run.err;
  EXPECT_TRUE(cards[0]->Media().Bytes() == before);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Refusals,
    ::testing::Values(RefusalCase{"SystemDisk", {"--yes", "C:"}, "C: answers INQUIRY as \"ATA HARD DISK 500G\""},
                      RefusalCase{"NoVolume", {"--yes", "Q:"}, "there is no drive Q:, or its reader was unplugged"},
                      RefusalCase{"NoCard", {"--yes", "G:"}, "no SmartMedia card in the reader G:"},
                      RefusalCase{"VolumeInUse",
                                  {"--yes", "E:"},
                                  "[y/N] no (--yes answers only the confirmation)\nNothing was done.\n",
                                  kExitDeclined},
                      RefusalCase{"NotADrive", {"--yes", "E1"}, "'E1' is not a drive letter"},
                      RefusalCase{"LogicalOnADrive", {"--logical", "E:", "--yes"}, "--logical takes an image file"},
                      RefusalCase{"DumpOntoTheCard", {"--dump", "e:\\copy.img", "E:"}, "is on the card itself (E:)"},
                      RefusalCase{"RestoreFromTheCard",
                                  {"--yes", "--restore", "E:\\copy.img", "E:"},
                                  "is on the card itself (E:), which the format erases"},
                      RefusalCase{"CheckOfTheSystemDisk", {"--check", "C:"}, "C: answers INQUIRY as"}),
    [](const auto& info) { return std::string(info.param.name); });

// --check and --dump through SCSI pass-through: the check says what smcard
// check says of the card, the dump is its image with the unreadable pages
// listed, and no command that writes reaches the reader.
class PlantedVolume : public Volumes, public ::testing::WithParamInterface<planted::PlantedCard (*)()> {};

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST_P(PlantedVolume, IsCheckedAndDumpedWithoutAWrite) {
  planted::PlantedCard card = GetParam()();
  const std::string report = planted::CheckReport(card);
  const std::vector<std::uint8_t> image = planted::DumpOf(card);
  const std::string sidecar = planted::DumpSidecarOf(card);
  Attach('E', std::move(card.card), card.plan);
  TempDir dir;
  const ToolRun check = Smformat({"--check", "--full", "E:"});
  EXPECT_EQ(check.status, 1);
  EXPECT_EQ(check.out.substr(check.out.find('\n') + 1), report) << check.err;
  const ToolRun dump = Smformat({"--dump", dir.File("copy.img"), "E:"});
  EXPECT_EQ(dump.status, sidecar.find("unreadable") == std::string::npos ? kExitSuccess : kExitIncomplete) << dump.err;
  EXPECT_TRUE(Slurp(dir.File("copy.img")) == std::string(image.begin(), image.end()));
  EXPECT_EQ(Slurp(dir.File("copy.img.faults")), sidecar);
  for (const auto& request : volumes.PassThroughRequests()) {
    EXPECT_TRUE(std::string("\x12\xED\xE7\xEA").find(static_cast<char>(request.cdb[0])) != std::string::npos)
        << "command " << int{request.cdb[0]} << " reached the reader";
  }
}

INSTANTIATE_TEST_SUITE_P(Cards, PlantedVolume, ::testing::Values(&planted::EveryFault, &planted::NoCisNoLayout));

// The files of a dump go back onto the card in E: after its format, with
// the volume locked again while they are written.
TEST_F(Volumes, RestoreWritesUnderTheVolumeLock) {
  TempDir dir;
  const std::string dump = dir.File("dump.img");
  std::unique_ptr<card::Card> source = simtest::MakeCard(simtest::Standard("1M"));
  AddReader('E');
  Attach('F', std::move(source), {});
  ASSERT_EQ(Smformat({"--yes", "F:"}).status, 0);
  card::Firmware firmware(cards[1]->Media());
  const std::vector<std::uint8_t> photo = simtest::Pattern(512, 7);
  // One file of one cluster (sector 32 of the 1 MB layout) in the root directory (sector 16) and the FAT (14).
  std::vector<std::uint8_t> root(512, 0), fat(512, 0);
  ASSERT_TRUE(firmware.ReadSectors(14, 1, fat.data()));
  const std::string entry =
      std::string("PHOTO   JPG\x20", 12) + std::string(14, '\0') + std::string("\x02\0\0\x02\0\0", 6);
  std::copy(entry.begin(), entry.end(), root.begin());
  fat[3] = 0xFF, fat[4] = 0x0F;  // cluster 2: the end of its chain
  ASSERT_TRUE(firmware.WriteSectors(14, 1, fat.data()) && firmware.WriteSectors(15, 1, fat.data()));
  ASSERT_TRUE(firmware.WriteSectors(16, 1, root.data()) && firmware.WriteSectors(32, 1, photo.data()));
  ASSERT_EQ(Smformat({"--dump", dump, "F:"}).status, 0);
  const ToolRun run = Smformat({"--yes", "--restore", dump, "E:"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(Contains(run.err, "Restored 1 file and 0 folders in the root directory")) << run.err;
  std::vector<std::uint8_t> read(512);
  ASSERT_TRUE(card::Firmware(cards[0]->Media()).ReadSectors(32, 1, read.data()));
  EXPECT_TRUE(read == photo);
  // The format's lock given up, then the restore's taken (with its dismount) and given up.
  const std::string controls = VolumeControls(volumes);
  EXPECT_EQ(controls.substr(controls.size() - 5), "ULD*U") << controls;
  // Ctrl-C while the restore's lock is refused: the restore is not begun.
  int seconds = 0;
  atPause = [&](std::uint32_t ms, std::atomic<int>& stopFlag) {
    if (ms == 1000 && ++seconds == 2) volumes.FailLocks('E', 50);
    if (ms == 100 && seconds == 2) stopFlag.store(1);
  };
  const ToolRun stopped = Smformat({"--yes", "--restore", dump, "E:"});
  EXPECT_EQ(stopped.status, kExitDeclined) << stopped.err;
  EXPECT_TRUE(Contains(stopped.err, "the files were not put back")) << stopped.err;
  const std::string after = VolumeControls(volumes).substr(controls.size());
  EXPECT_EQ(after.substr(after.size() - 2), "Ul") << after;  // one try, then the stop
}

TEST_F(Volumes, TwoReadersWithCardsAreRefused) {
  AddReader('E');
  AddReader('F');
  const ToolRun run = Smformat({}, "y\n");
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(Contains(run.err, "Error: Please make sure only one usb storage device is plug ing!")) << run.err;
  EXPECT_FALSE(Contains(run.err, "Continue?"));
}

TEST_F(Volumes, ListShowsEveryVolumeThatAnswers) {
  volumes.AddSystemDisk('C');
  card::FaultPlan protectedCard;
  protectedCard.writeProtected = true;
  AddReader('E', protectedCard);
  card::FaultPlan noCard;
  noCard.cardType = 0;
  AddReader('G', noCard);
  const ToolRun run = Smformat({"--list"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out,
            "C:  ATA HARD DISK 500G  unsupported: its INQUIRY names another device\n"
            "E:  Generic STORAGE DEVICE  1 MB card, 2000 sectors, write-protected\n"
            "G:  Generic STORAGE DEVICE  no card\n");
  EXPECT_TRUE(Contains(Smformat({"--list", "--json"}).out,
                       "{\"device\": \"E:\", \"usbId\": null, \"name\": \"Generic STORAGE DEVICE\", \"supported\": "
                       "true, \"state\": \"1 MB card, 2000 sectors, write-protected\"}"));
  for (const auto& request : volumes.PassThroughRequests()) {
    if (request.letter == 'C') {
      EXPECT_EQ(request.cdb[0], 0x12) << "the system disk got more than INQUIRY";
    }
  }
}

TEST_F(Volumes, TraceLogsThePassThroughRequests) {
  AddReader('E');
  TempDir dir;
  const std::string trace = dir.File("trace.txt");
  const ToolRun run = Smformat({"--list", "--trace", trace});
  EXPECT_EQ(run.status, 0) << run.err;
  std::ifstream in(trace);
  const std::string log((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_TRUE(Contains(log, "\\\\.\\E: Inquiry [12 00 00 00 24 00 00 00 00 00 00 00] in 36 B, timeout 3000 ms -> GOOD"))
      << log;
  EXPECT_TRUE(Contains(log, "\\\\.\\E: GetCardType [ED 00 00 00 00 00] in 1 B, timeout 3000 ms -> GOOD")) << log;
}

TEST_F(Volumes, LogicalFormatOfAnImageFile) {
  TempDir dir;
  const std::string image = dir.File("card.img");
  std::ofstream(image, std::ios::binary).close();
  std::filesystem::resize_file(image, 2000 * 512);
  const ToolRun run = Smformat({"--logical", image, "--yes"});
  EXPECT_EQ(run.status, 0) << run.err;
  std::ifstream in(image, std::ios::binary);
  std::vector<std::uint8_t> mbr(512);
  in.read(reinterpret_cast<char*>(mbr.data()), 512);
  EXPECT_EQ(LoadLe16(&mbr[510]), 0xAA55);
  EXPECT_EQ(mbr[446 + 8], 13) << "the 1 MB layout's partition starts at sector 13";
  std::filesystem::resize_file(image, 1999 * 512);
  EXPECT_EQ(Smformat({"--logical", image, "--yes"}).status, 1);
}

// smcard.exe on a dump with an unreadable page in a photo: the files are
// listed with their long and 8.3 names, and come out under backslashed
// paths, the photo with zeros for its unreadable sector, a name that Windows
// takes for a device made safe, every file with its date.
TEST(SmcardFiles, ComeOutOfADamagedDumpUnderNamesWindowsTakes) {
  auto smcard = [](const std::vector<std::string>& args) {
    std::ostringstream out, err;
    std::istringstream in;
    std::atomic<int> stop{0};
    CliContext context{out, err, in, false, [](std::uint32_t) {}, stop, [](std::uint32_t) {}};
    const int status = SmcardMain(args, context);
    return ToolRun{status, out.str(), err.str()};
  };
  const std::string volume = SMFORMAT_RESCUE_VOLUME;
  TempDir dir;
  const std::string image = dir.File("card.img");
  ASSERT_EQ(smcard({"create", image, "--size", "1M"}).status, 0);
  ASSERT_EQ(smcard({"import", image, volume + "/logical.img"}).status, 0);
  const std::string photo = Slurp(volume + "/src/DCIM/100OLYMP/P1010001.JPG");
  const std::size_t sector = Slurp(volume + "/logical.img").find(photo.substr(4096, 64)) / 512;
  {
    card::CardOpen card = card::OpenCardImage(image, card::Access::ReadOnly);
    const auto block = card::Firmware(card.card->Media()).Locate(static_cast<std::uint32_t>(sector / 8));
    ASSERT_TRUE(block.has_value());
    std::ofstream(image + ".faults") << "unreadable-page 0:" << block->block * 8 + sector % 8 << "\n";
  }
  const ToolRun files = smcard({"files", image});
  EXPECT_EQ(files.status, kExitIncomplete);
  EXPECT_TRUE(Contains(files.out, "2021-06-15 10:20:30        3492  DCIM/Holiday at the beach.jpg  (HOLIDA~1.JPG)\n"))
      << files.out;
  EXPECT_TRUE(Contains(files.err, "DCIM/100OLYMP/P1010001.JPG cannot be read whole: bytes 4096 to 4607 hold zeros"))
      << files.err;

  const std::string out = dir.File("out");
  const ToolRun extract = smcard({"extract", image, out});
  EXPECT_EQ(extract.status, kExitIncomplete) << extract.err;
  EXPECT_TRUE(Contains(extract.out, out + "\\DCIM\\100OLYMP\\P1010001.JPG\n")) << extract.out;
  EXPECT_TRUE(Contains(extract.err, "AUX.TXT is written as " + out + "\\AUX_.TXT")) << extract.err;
  std::string damaged = photo;
  std::fill(damaged.begin() + 4096, damaged.begin() + 4608, '\0');
  EXPECT_TRUE(Slurp(out + "\\DCIM\\100OLYMP\\P1010001.JPG") == damaged);
  EXPECT_EQ(Slurp(out + "\\AUX_.TXT"), Slurp(volume + "/src/aux-source.txt"));
  const std::string holiday = "\\DCIM\\Holiday at the beach.jpg";
  EXPECT_EQ(Slurp(out + holiday), Slurp(volume + "/src/DCIM/Holiday at the beach.jpg"));
  WIN32_FILE_ATTRIBUTE_DATA copied{}, original{};
  ASSERT_TRUE(GetFileAttributesExA((out + holiday).c_str(), GetFileExInfoStandard, &copied));
  ASSERT_TRUE(
      GetFileAttributesExA((volume + "/src/DCIM/Holiday at the beach.jpg").c_str(), GetFileExInfoStandard, &original));
  EXPECT_EQ(CompareFileTime(&copied.ftLastWriteTime, &original.ftLastWriteTime), 0) << "the file keeps its date";
}

}  // namespace
