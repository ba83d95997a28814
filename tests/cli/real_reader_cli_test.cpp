// smformat on real readers, without root and without hardware: the model of
// a Linux machine stands in for the system. Each refusal ends with its
// message and exit status and leaves the card as it was.
#include <fcntl.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <ostream>

#include "tests/cli/planted_card.h"
#include "tests/cli/real_cli_bench.h"
#include "tests/support/temp_dir.h"

namespace {

using clitest::Contains;

constexpr FakeSgSystem::UsbId kMemoryStick{0x0781, 0x5567};

struct RefusalCase {
  const char* name;
  std::function<void(clitest::Machine&)> setUp;  // the reader is /dev/sdb
  std::vector<std::string> args;
  std::string input;
  std::vector<const char*> says;
  bool reachesVendorCommands;  // whether anything beyond INQUIRY may reach the reader
  int status = kExitFailure;
};

void PrintTo(const RefusalCase& c, std::ostream* os) { *os << c.name; }

class Refusal : public clitest::Machine, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(Refusal, EndsWithItsMessageAndLeavesTheCardAlone) {
  system.AddSystemDisk("sda", 1 << 20);
  AddReader("sdb", simtest::Standard("1M"), {}, FakeSgSystem::kSupportedReader, card::Fill::Random);
  const auto before = cards[0]->Media().Bytes();
  GetParam().setUp(*this);
  const clitest::ToolRun run = Smformat(GetParam().args, GetParam().input);
  EXPECT_EQ(run.status, GetParam().status) << run.err;
  for (const char* part : GetParam().says) EXPECT_TRUE(Contains(run.err, part)) << run.err;
  EXPECT_FALSE(Contains(run.err, "Format Complete!"));
  EXPECT_TRUE(cards[0]->Media().Bytes() == before) << "the card was changed";
  EXPECT_TRUE(system.SgCallsTo("sda").empty()) << "the system disk got a command";
  if (!GetParam().reachesVendorCommands) {
    for (const auto& call : system.SgCalls()) {
      EXPECT_TRUE(!call.reachedDevice || call.cdb[0] == 0x12) << "a command beyond INQUIRY reached " << call.device;
    }
  }
}

const std::vector<std::string> kFormatSdb{"--yes", "/dev/sdb"};

INSTANTIATE_TEST_SUITE_P(
    Cases, Refusal,
    ::testing::Values(
        RefusalCase{"SystemDisk", [](auto&) {}, {"--yes", "/dev/sda"}, "", {"/dev/sda", "is not behind USB"}, false},
        RefusalCase{"OtherUsbDisk",
                    [](auto& m) { m.system.AddUsbDisk("sdc", kMemoryStick, "SanDisk", "Cruzer", 4000000); },
                    {"--yes", "/dev/sdc"},
                    "",
                    {"/dev/sdc (USB 0781:5567, SanDisk Cruzer) is not a supported SmartMedia reader",
                     "smformat --logical /dev/sdc"},
                    false},
        RefusalCase{"InquiryMismatch",
                    [](auto& m) { m.readers[0]->Plan().inquiryId = "Other   STORAGE DEVICE"; },
                    kFormatSdb,
                    "",
                    {"/dev/sdb answers INQUIRY as \"Other STORAGE DEVICE\", not as a supported reader"},
                    false},
        RefusalCase{"Partition",
                    [](auto& m) { m.system.AddPartition("sdb", 1); },
                    {"--yes", "/dev/sdb1"},
                    "",
                    {"/dev/sdb1 is a partition; give the reader's whole disk, /dev/sdb"},
                    false},
        RefusalCase{"MountedPartition",
                    [](auto& m) {
                      m.system.AddPartition("sdb", 1);
                      m.system.Mount("sdb1", "/media/alice/CARD");
                    },
                    kFormatSdb,
                    "",
                    {"/dev/sdb1 is mounted on /media/alice/CARD", "Unmount it first"},
                    false},
        RefusalCase{"Missing", [](auto&) {}, {"--yes", "/dev/sdz"}, "", {"/dev/sdz: No such file or directory"}, false},
        RefusalCase{"CheckOfAMountedCard",
                    [](auto& m) {
                      m.system.AddPartition("sdb", 1);
                      m.system.Mount("sdb1", "/media/alice/CARD");
                    },
                    {"--check", "/dev/sdb"},
                    "",
                    {"/dev/sdb1 is mounted on /media/alice/CARD", "Unmount it first"},
                    false},
        RefusalCase{"DumpOntoADisk",
                    [](auto&) {},
                    {"--dump", "/dev/sda", "/dev/sdb"},
                    "",
                    {"/dev/sda is a disk; the dump goes into a file"},
                    false},
        RefusalCase{"NotRoot",
                    [](auto& m) { m.system.SetCanOpenDisks(false); },
                    kFormatSdb,
                    "",
                    {"cannot open /dev/sdb: Permission denied", "CAP_SYS_RAWIO", "Run: sudo smformat --yes /dev/sdb"},
                    false},
        RefusalCase{"NoRawIo",
                    [](auto& m) { m.system.SetRawIo(false); },
                    kFormatSdb,
                    "",
                    {"the system refused the reader's vendor commands on /dev/sdb", "CAP_SYS_RAWIO",
                     "Run: sudo smformat --yes /dev/sdb"},
                    false},
        RefusalCase{"Busy",
                    [](auto& m) { m.system.HoldExclusively("sdb"); },
                    kFormatSdb,
                    "",
                    {"/dev/sdb is busy: another program holds it"},
                    false},
        RefusalCase{"NoCard",
                    [](auto& m) { m.readers[0]->RemoveCard(); },
                    kFormatSdb,
                    "",
                    {"no SmartMedia card in the reader /dev/sdb"},
                    true},
        RefusalCase{"ReaderUnpluggedAfterInquiry",
                    [](auto& m) { m.system.UnplugAfter("sdb", 1); },
                    kFormatSdb,
                    "",
                    {"/dev/sdb is gone: the reader was unplugged"},
                    true},
        RefusalCase{"WriteProtected",
                    [](auto& m) { m.readers[0]->Plan().writeProtected = true; },
                    kFormatSdb,
                    "",
                    {"Error: The disk cannot be formatted! The switched is in write protect mode."},
                    true},
        RefusalCase{"Declined",
                    [](auto&) {},
                    {"/dev/sdb"},
                    "n\n",
                    {"Continue? [y/N] Nothing was done.\n"},
                    true,
                    kExitDeclined},
        RefusalCase{"NoReaderFound",
                    [](auto& m) { m.readers[0]->Plan().inquiryId = "Other   STORAGE DEVICE"; },
                    {},
                    "",
                    {"no supported SmartMedia reader found"},
                    false},
        RefusalCase{"TwoReadersWithCards",
                    [](auto& m) { m.AddReader("sdc"); },
                    {},
                    "y\n",
                    {"Error: Please make sure only one usb storage device is plug ing!",
                     "readers with a card: /dev/sdb /dev/sdc"},
                    true}),
    [](const auto& info) { return std::string(info.param.name); });

using Format = clitest::Machine;

TEST_F(Format, NamedReaderIsFormattedAfterAConfirmationThatShowsIt) {
  system.AddSystemDisk("sda", 1 << 20);
  AddReader("sdb", simtest::Standard("16M"), {}, FakeSgSystem::kSupportedReader, card::Fill::Random);
  system.AddPartition("sdb", 1);
  const clitest::ToolRun run = Smformat({"/dev/sdb"}, "y\n");
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(Contains(run.err,
                       "Device: /dev/sdb, Generic STORAGE DEVICE (USB 1d6b:5301), 16 MB card, 32000 sectors\n"
                       "Warning: Format disk will erase all data on the device. Continue? [y/N]"))
      << run.err;
  EXPECT_TRUE(Contains(run.err, "Information: Format Complete!"));
  EXPECT_EQ(run.slept, 2000u) << "the two pauses after the format-end commands";
  EXPECT_EQ(system.PartitionRereads("sdb"), 1);
  const auto& opens = system.Opens();
  const auto formatOpen = std::find_if(opens.begin(), opens.end(), [](const auto& o) { return o.path == "/dev/sdb"; });
  ASSERT_NE(formatOpen, opens.end());
  EXPECT_EQ(formatOpen->flags & (O_EXCL | O_ACCMODE), O_EXCL | O_RDWR);
  EXPECT_TRUE(system.SgCallsTo("sda").empty());
}

TEST_F(Format, WithoutADeviceTheOneReaderHoldingACardIsFormatted) {
  AddReader("sdb").RemoveCard();
  system.AddUsbDisk("sdc", kMemoryStick, "SanDisk", "Cruzer", 4000000);
  AddReader("sdd", simtest::Standard("2M"));
  const clitest::ToolRun run = Smformat({}, "y\n");
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(Contains(run.err, "Device: /dev/sdd,")) << run.err;
  EXPECT_TRUE(system.SgCallsTo("sdc").empty());
}

// A card pulled or a reader unplugged mid-format: explained, with no pause
// after the failed commands and no promise of a new volume.
struct GoneCase {
  const char* name;
  std::function<void(clitest::Machine&, sim::Reader&)> cause;
  const char* backendSays;
  const char* engineSays;
};

void PrintTo(const GoneCase& c, std::ostream* os) { *os << c.name; }

class Gone : public clitest::Machine, public ::testing::WithParamInterface<GoneCase> {};

TEST_P(Gone, MidFormatIsExplainedAtOnce) {
  GetParam().cause(*this, AddReader("sdb"));
  const clitest::ToolRun run = Smformat({"--yes", "/dev/sdb"});
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(Contains(run.err, GetParam().backendSays)) << run.err;
  EXPECT_TRUE(Contains(run.err, GetParam().engineSays)) << run.err;
  EXPECT_FALSE(Contains(run.err, "smformat: the")) << "said twice: " << run.err;
  EXPECT_FALSE(Contains(run.err, "Format Complete!"));
  EXPECT_FALSE(Contains(run.err, "new volume")) << run.err;
  EXPECT_EQ(run.slept, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Gone,
    ::testing::Values(GoneCase{"CardPulled", [](auto&, auto& r) { r.Plan().removeAfterCommands = 200; },
                               ": No card in the reader!",
                               "Error: The card was taken out of the reader during the format. Put it back"},
                      GoneCase{"ReaderUnplugged", [](auto& m, auto&) { m.system.UnplugAfter("sdb", 200); },
                               ": The reader is gone!",
                               "Error: The reader was unplugged during the format. Plug it in again"}),
    [](const auto& info) { return std::string(info.param.name); });

// --check and --dump through SG_IO on a disk opened for reading only: the
// check says what smcard check says of the card, the dump is its image with
// the unreadable pages listed, each of which costs the backend's pause, and
// no command that writes reaches the reader.
class PlantedReader : public clitest::Machine, public ::testing::WithParamInterface<planted::PlantedCard (*)()> {};

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST_P(PlantedReader, IsCheckedAndDumpedWithoutAWrite) {
  planted::PlantedCard card = GetParam()();
  const std::string report = planted::CheckReport(card);
  const std::vector<std::uint8_t> image = planted::DumpOf(card);
  const std::string sidecar = planted::DumpSidecarOf(card);
  const std::uint64_t pauses = 1000 * card.plan.unreadablePages.size();
  Attach("sdb", std::move(card.card), card.plan);
  TempDir dir;
  const clitest::ToolRun check = Smformat({"--check", "--full", "/dev/sdb"});
  EXPECT_EQ(check.status, 1);
  EXPECT_EQ(check.out.substr(check.out.find('\n') + 1), report) << check.err;
  EXPECT_EQ(check.slept, pauses);
  const clitest::ToolRun dump = Smformat({"--dump", dir.File("copy.img"), "/dev/sdb"});
  EXPECT_EQ(dump.status, sidecar.find("unreadable") == std::string::npos ? kExitSuccess : kExitIncomplete) << dump.err;
  EXPECT_TRUE(Slurp(dir.File("copy.img")) == std::string(image.begin(), image.end()));
  EXPECT_EQ(Slurp(dir.File("copy.img.faults")), sidecar);
  for (const auto& call : system.SgCallsTo("sdb")) {
    EXPECT_TRUE(std::string("\x12\xED\xE7\xEA").find(static_cast<char>(call.cdb[0])) != std::string::npos)
        << "command " << int{call.cdb[0]} << " reached the reader";
  }
  for (const auto& open : system.Opens()) EXPECT_EQ(open.flags & (O_EXCL | O_ACCMODE), O_EXCL | O_RDONLY);
}

INSTANTIATE_TEST_SUITE_P(Cards, PlantedReader, ::testing::Values(&planted::EveryFault, &planted::NoCisNoLayout));

TEST_F(Format, ACardPulledOrAReaderUnpluggedEndsACheckOrADumpAtOnce) {
  TempDir dir;
  struct Case {
    const char* disk;
    std::vector<std::string> args;
    const char* says;
  };
  struct Pull {
    const char* disk;
    std::vector<std::string> args;
    const char* says;
    std::uint32_t after;  // commands
  };
  // The quick check's pass over 256 first pages is over after 270 commands: the card goes while the file
  // system's sectors are read.
  for (const Pull& c :
       {Pull{"sdb",
             {"--dump", dir.File("copy.img"), "/dev/sdb"},
             "the card was taken out of the reader during the dump; put it back",
             500},
        Pull{"sdc", {"--check", "--full", "/dev/sdc"}, "the reader was unplugged during the check; plug it in", 500},
        Pull{"sdd", {"--check", "/dev/sdd"}, "the card was taken out of the reader during the check", 270}}) {
    sim::Reader& reader =
        AddReader(c.disk, simtest::Standard("1M"), {}, FakeSgSystem::kSupportedReader, card::Fill::Random);
    if (c.args[0] == "--check" && c.after == 500) system.UnplugAfter(c.disk, 500);
    reader.Plan().removeAfterCommands = c.after;
    const clitest::ToolRun run = Smformat(c.args);
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(Contains(run.err, c.says)) << run.err;
    EXPECT_EQ(run.slept, 0u);
    EXPECT_FALSE(std::filesystem::exists(dir.File("copy.img")));
  }
}

TEST_F(Format, UsageErrorsOfTheRealReaderOptions) {
  struct Case {
    std::vector<std::string> args;
    const char* complaint;
  };
  for (const Case& c : {Case{{"--yes"}, "--yes needs an explicit DEVICE (smformat --yes /dev/sdc)"},
                        Case{{"--list", "--yes"}, "--yes does not apply to --list"},
                        Case{{"--list", "/dev/sdb"}, "unexpected argument '/dev/sdb'"},
                        Case{{"--list", "--logical", "x.img"}, "give one of DEVICE, --list"},
                        Case{{"--geometry", "16M", "/dev/sdb"}, "--geometry applies to --simulate only"},
                        Case{{"--simulate", "a.img", "--trace", "t.txt"}, "--trace applies to real readers"},
                        Case{{"/dev/sdb", "/dev/sdc"}, "unexpected argument '/dev/sdc'"}}) {
    const clitest::ToolRun run = Smformat(c.args);
    EXPECT_EQ(run.status, 2) << c.complaint;
    EXPECT_TRUE(Contains(run.err, c.complaint)) << run.err;
  }
  EXPECT_TRUE(system.Opens().empty());
}

using List = clitest::Machine;

TEST_F(List, ShowsEachUsbDiskWithWhatItHolds) {
  system.AddSystemDisk("sda", 1 << 20);
  card::FaultPlan protectedCard;
  protectedCard.writeProtected = true;
  AddReader("sdb", simtest::Standard("16M"), protectedCard);
  AddReader("sdc").RemoveCard();
  system.AddUsbDisk("sdd", kMemoryStick, "SanDisk", "Cruzer", 4000000);
  card::FaultPlan other;
  other.inquiryId = "Other   STORAGE DEVICE";
  AddReader("sde", simtest::Standard("1M"), other);
  const clitest::ToolRun run = Smformat({"--list"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out,
            "/dev/sdb  1d6b:5301  Generic STORAGE DEVICE  16 MB card, 32000 sectors, write-protected\n"
            "/dev/sdc  1d6b:5301  Generic STORAGE DEVICE  no card\n"
            "/dev/sdd  0781:5567  SanDisk Cruzer  unsupported: its USB identifier is not one of the supported readers\n"
            "/dev/sde  1d6b:5301  Other STORAGE DEVICE  unsupported: its INQUIRY names another device\n");
  EXPECT_TRUE(system.SgCallsTo("sdd").empty());
  ASSERT_EQ(system.SgCallsTo("sde").size(), 1u);
  EXPECT_EQ(system.SgCallsTo("sde")[0].cdb[0], 0x12);
  EXPECT_TRUE(run.err.empty()) << run.err;
  const clitest::ToolRun json = Smformat({"--list", "--json"});
  EXPECT_EQ(json.status, 0) << json.err;
  for (const char* entry :
       {"{\"disks\": [{\"device\": \"/dev/sdb\", \"usbId\": \"1d6b:5301\", \"name\": \"Generic STORAGE DEVICE\", "
        "\"supported\": true, \"state\": \"16 MB card, 32000 sectors, write-protected\"}, ",
        "{\"device\": \"/dev/sdd\", \"usbId\": \"0781:5567\", \"name\": \"SanDisk Cruzer\", \"supported\": false, "
        "\"state\": \"unsupported: its USB identifier is not one of the supported readers\"}, ",
        "\"supported\": false, \"state\": \"unsupported: its INQUIRY names another device\"}]}\n"}) {
    EXPECT_TRUE(Contains(json.out, entry)) << json.out;
  }
}

TEST_F(List, SaysHowToRunItWhenTheSystemRefuses) {
  AddReader("sdb");
  system.SetRawIo(false);
  const clitest::ToolRun run = Smformat({"--list"});
  EXPECT_EQ(run.out,
            "/dev/sdb  1d6b:5301  Generic STORAGE DEVICE  card unknown: the system refused the reader's commands "
            "(run as root: sudo smformat --list)\n");
}

TEST_F(List, TraceLogsEveryCommandWithItsAnswer) {
  AddReader("sdb").RemoveCard();
  TempDir dir;
  const std::string trace = dir.File("trace.txt");
  const clitest::ToolRun run = Smformat({"--list", "--trace", trace});
  EXPECT_EQ(run.status, 0) << run.err;
  std::ifstream in(trace);
  const std::string log((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_TRUE(Contains(log, "smformat trace: --list --trace")) << log;
  EXPECT_TRUE(Contains(log, "open /dev/sdb read-only non-blocking -> ok")) << log;
  EXPECT_TRUE(Contains(log,
                       "#1 /dev/sdb Inquiry [12 00 00 00 24 00 00 00 00 00 00 00] in 36 B, timeout 3000 ms -> GOOD, "
                       "2 ms\n"))
      << log;
  EXPECT_TRUE(Contains(log, "#2 /dev/sdb GetCardType [ED 00 00 00 00 00] in 1 B, timeout 3000 ms -> GOOD, 2 ms\n"))
      << log;
  EXPECT_TRUE(Contains(log, "close /dev/sdb -> ok")) << log;
}

TEST_F(List, TraceShowsSenseAndRefusals) {
  sim::Reader& reader = AddReader("sdb");
  TempDir dir;
  const std::string trace = dir.File("trace.txt");
  reader.Plan().removeAfterCommands = 42;  // the next command is a page read
  Smformat({"--yes", "/dev/sdb", "--trace", trace});
  std::ifstream in(trace);
  const std::string log((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_TRUE(Contains(log,
                       "-> CHECK CONDITION, host 0000 driver 0008, resid 528, sense [70 00 02 00 00 00 00 0A 00 "
                       "00 00 00 3A 00 00 00 00 00] NOT READY ASC 3A ASCQ 00, 2 ms"))
      << log;
  EXPECT_TRUE(Contains(log, "re-read partition table /dev/sdb -> ok")) << log;
}

TEST_F(List, TraceFileThatCannotBeWrittenStopsBeforeAnyCommand) {
  AddReader("sdb");
  const clitest::ToolRun run = Smformat({"--list", "--trace", "/nonexistent-dir/trace.txt"});
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(Contains(run.err, "cannot write the trace file /nonexistent-dir/trace.txt")) << run.err;
  EXPECT_TRUE(system.SgCalls().empty());
}

}  // namespace
