// smformat --logical: the SmartMedia file system alone, on image files of
// every standard size and of computed sizes, and on block devices of the
// machine model. The layout is the full format's, and the real tools accept
// it; a size that takes no layout is refused before anything is written.
#include <fcntl.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <ostream>

#include "app/cli/card_read.h"
#include "card/card_tools.h"
#include "engine/byte_order.h"
#include "engine/fat_layout.h"
#include "engine/low_level_format.h"
#include "sim/sim_reader_device.h"
#include "tests/cli/real_cli_bench.h"
#include "tests/support/fat_tools.h"
#include "tests/support/memory_reader.h"
#include "tests/support/recording_host.h"
#include "tests/support/temp_dir.h"

namespace {

using clitest::Contains;

constexpr std::size_t kSector = 512;

// The first `bytes` bytes of a file (fewer when it is shorter).
std::string ReadHead(const std::string& path, std::size_t bytes) {
  std::ifstream in(path, std::ios::binary);
  std::string head(bytes, '\0');
  in.read(head.data(), static_cast<std::streamsize>(bytes));
  head.resize(static_cast<std::size_t>(in.gcount()));
  return head;
}

// The image is sparse and its layout ends within its first sectors: the
// partition file is the layout's part of the image, made as long as the
// partition with zeros, which is what the rest of the image holds.
void ExtractPartitionHead(const std::string& image, std::uint32_t start, std::uint32_t size, std::uint32_t layoutEnd,
                          const std::filesystem::path& partition) {
  const std::string head = ReadHead(image, std::size_t{layoutEnd + 1} * kSector).substr(std::size_t{start} * kSector);
  std::ofstream(partition, std::ios::binary | std::ios::trunc)
      .write(head.data(), static_cast<std::streamsize>(head.size()));
  std::filesystem::resize_file(partition, std::uint64_t{size} * kSector);
}

// The size of a file and its first MiB, far beyond anything the logical
// format writes.
std::string Fingerprint(const std::string& path) {
  return std::to_string(std::filesystem::file_size(path)) + ":" + ReadHead(path, 1 << 20);
}

// A sparse image file of `sectors` zero sectors.
std::string MakeImage(const TempDir& dir, std::uint64_t sectors, const std::string& name = "card.img") {
  const std::string path = dir.File(name);
  std::ofstream(path, std::ios::binary | std::ios::trunc).close();
  std::filesystem::resize_file(path, sectors * kSector);
  return path;
}

// Where the layout ends: the last sector of the root directory.
std::uint32_t LayoutEnd(const std::string& image) {
  const std::string bytes = ReadHead(image, 64 * 1024);
  const auto* mbr = reinterpret_cast<const std::uint8_t*>(bytes.data());
  const std::uint32_t start = LoadLe32(mbr + MbrOffset::kPartitionEntry + PartitionEntryOffset::kFirstSector);
  const std::uint8_t* boot = mbr + std::size_t{start} * kSector;
  const std::uint32_t fat = LoadLe16(boot + BootSectorOffset::kSectorsPerFat);
  const std::uint32_t root = LoadLe16(boot + BootSectorOffset::kRootEntries) / 16;
  return start + 2 * fat + root;
}

struct SizeCase {
  const char* name;
  card::CardGeometry geometry;  // a card whose logical size is the image's
  std::uint32_t sectors;
  // Whether the reference is a whole simulated format (the larger cards take
  // seconds under the sanitizers) or the same layout writers alone on a card
  // in memory, which is what the format's file-system stage runs.
  bool wholeFormat;
};

// The first `count` sectors the full format leaves on a fresh card.
std::vector<std::uint8_t> FormattedSectors(const SizeCase& c, std::uint32_t count) {
  std::vector<std::uint8_t> sectors(std::size_t{count} * kSector);
  RecordingHost host;
  if (!c.wholeFormat) {
    MemoryReader reader(host);
    reader.SetCapacityKey(c.sectors);
    reader.SetPartitionSectors(c.sectors - 32);
    EXPECT_EQ(reader.WriteMbr(), 1);
    EXPECT_EQ(reader.WriteBootSector(), 1);
    for (std::uint32_t i = 0; i < count; ++i) {
      const SectorBuffer sector = reader.Sector(static_cast<std::uint16_t>(i));
      std::copy(sector.begin(), sector.end(), sectors.begin() + std::size_t{i} * kSector);
    }
    return sectors;
  }
  auto card = simtest::MakeCard(c.geometry);
  sim::Reader reader(*card);
  CSimReader device(host, reader);
  char found = 0;
  EXPECT_EQ(device.FindDevice(found), 1);
  const std::atomic<int> stop{0};
  EXPECT_EQ(LowLevelFormat(device, stop, host), 1);
  EXPECT_TRUE(reader.Logical().ReadSectors(0, count, sectors.data()));
  return sectors;
}

void PrintTo(const SizeCase& c, std::ostream* os) { *os << c.name; }

class LogicalSizes : public clitest::Machine, public ::testing::WithParamInterface<SizeCase> {};

// The full format of a fresh card of the same size, through the simulated
// backend, writes the same sectors the logical format writes.
TEST_P(LogicalSizes, LayoutIsTheFullFormatsAndTheToolsAcceptIt) {
  const SizeCase& c = GetParam();
  TempDir dir;
  const std::string image = MakeImage(dir, c.sectors);
  const clitest::ToolRun run = Smformat({"--logical", image, "--yes"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(Contains(run.err, "Information: Format Complete!")) << run.err;
  EXPECT_EQ(std::filesystem::file_size(image), std::uint64_t{c.sectors} * kSector) << "the image keeps its size";

  const std::uint32_t end = LayoutEnd(image);
  const std::vector<std::uint8_t> formatted = FormattedSectors(c, end + 1);
  // The layout, and a MiB beyond it that nothing may have written.
  const std::size_t checked = (end + 1) * kSector + (1 << 20);
  const std::string written = ReadHead(image, checked);
  const auto differ = std::mismatch(formatted.begin(), formatted.end(), written.begin(),
                                    [](std::uint8_t a, char b) { return a == static_cast<std::uint8_t>(b); });
  EXPECT_TRUE(differ.first == formatted.end()) << "layouts differ at byte " << (differ.first - formatted.begin());
  EXPECT_EQ(written.find_first_not_of('\0', (end + 1) * kSector), std::string::npos)
      << "a sector beyond the layout was written";

  const fat_tools::Result sfdisk = fat_tools::RunTool("sfdisk", "--dump " + fat_tools::Quote(image));
  const std::uint32_t start = LoadLe32(reinterpret_cast<const std::uint8_t*>(written.data()) +
                                       MbrOffset::kPartitionEntry + PartitionEntryOffset::kFirstSector);
  const std::uint32_t size = LoadLe32(reinterpret_cast<const std::uint8_t*>(written.data()) +
                                      MbrOffset::kPartitionEntry + PartitionEntryOffset::kSectorCount);
  EXPECT_TRUE(Contains(sfdisk.output, "start=" + std::string(12 - std::to_string(start).size(), ' ') +
                                          std::to_string(start) + ", size="))
      << sfdisk.output;
  EXPECT_EQ(start + size, c.sectors) << "the partition ends at the last sector";
  const std::filesystem::path partition = dir.Path() / "partition.img";
  ExtractPartitionHead(image, start, size, end, partition);
  fat_tools::ExpectCleanFsck(partition, {"0 files"});
  const fat_tools::Result mdir = fat_tools::RunTool("mdir", "-i " + fat_tools::Quote(partition) + " ::");
  EXPECT_EQ(mdir.status, 0) << mdir.output;
  EXPECT_TRUE(Contains(mdir.output, "No files")) << mdir.output;
}

INSTANTIATE_TEST_SUITE_P(
    Images, LogicalSizes,
    ::testing::Values(
        SizeCase{"1MB", simtest::Standard("1M"), 2000, true}, SizeCase{"2MB", simtest::Standard("2M"), 4000, true},
        SizeCase{"4MB", simtest::Standard("4M"), 8000, true}, SizeCase{"8MB", simtest::Standard("8M"), 16000, true},
        SizeCase{"16MB", simtest::Standard("16M"), 32000, true},
        SizeCase{"32MB", simtest::Standard("32M"), 64000, false},
        SizeCase{"64MB", simtest::Standard("64M"), 128000, false},
        SizeCase{"128MB", simtest::Standard("128M"), 256000, false},
        SizeCase{"Computed24000", card::CardGeometry{{{512, 32}, {256, 32}}}, 24000, true},
        SizeCase{"Computed40000", card::CardGeometry{{{1024, 32}, {256, 32}}}, 40000, true},
        SizeCase{"Computed96000", card::CardGeometry{{{2048, 32}, {1024, 32}}}, 96000, false},
        SizeCase{"Computed300000", card::CardGeometry{{{8192, 32}, {1024, 32}, {256, 32}, {128, 32}}}, 300000, false}),
    [](const auto& info) { return std::string(info.param.name); });

struct RefusedCase {
  const char* name;
  std::uint64_t bytes;
  const char* says;
};

void PrintTo(const RefusedCase& c, std::ostream* os) { *os << c.name; }

class RefusedSizes : public clitest::Machine, public ::testing::WithParamInterface<RefusedCase> {};

TEST_P(RefusedSizes, LeaveTheTargetUnchanged) {
  TempDir dir;
  const std::string image = dir.File("card.img");
  {
    std::ofstream out(image, std::ios::binary);
    for (std::uint64_t i = 0; i < std::min<std::uint64_t>(GetParam().bytes, 64 * 1024); ++i) {
      out.put(static_cast<char>(i * 7));
    }
  }
  std::filesystem::resize_file(image, GetParam().bytes);
  const std::string before = Fingerprint(image);
  const clitest::ToolRun run = Smformat({"--logical", image, "--yes"});
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(Contains(run.err, GetParam().says)) << run.err;
  EXPECT_FALSE(Contains(run.err, "Continue?")) << "refused before the question";
  EXPECT_TRUE(Fingerprint(image) == before);
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, RefusedSizes,
    ::testing::Values(RefusedCase{"Empty", 0, "it holds no sectors"},
                      RefusedCase{"NotAMultipleOf1000", 31999 * kSector, "31999 sectors is not the logical size"},
                      RefusedCase{"PartSector", 32000 * kSector + 100, "not a whole number of sectors"},
                      RefusedCase{"TooFewClusters", 1000 * kSector, "outside 4085 to 65524 clusters"},
                      RefusedCase{"TooManyClusters", 5000000 * kSector, "The file system was not written."}),
    [](const auto& info) { return std::string(info.param.name); });

using LogicalDevice = clitest::Machine;

constexpr FakeSgSystem::UsbId kOtherReader{0x058F, 0x6362};

TEST_F(LogicalDevice, AnyReaderTakesTheLayoutThroughBlockIo) {
  system.AddUsbDisk("sdc", kOtherReader, "Generic", "CF SM Reader", 32000);
  const clitest::ToolRun run = Smformat({"--logical", "/dev/sdc"}, "y\n");
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(Contains(run.err, "Target: /dev/sdc, 16 MB card layout (standard, FAT12, 32000 sectors)\n")) << run.err;
  EXPECT_TRUE(system.SgCalls().empty()) << "plain block I/O only";
  const auto mbr = system.DiskSector("sdc", 0);
  EXPECT_EQ(LoadLe16(mbr.data() + MbrOffset::kSignature), 0xAA55);
  EXPECT_EQ(system.DiskSector("sdc", 41)[0], 0xEB) << "the boot sector of the 16 MB layout";
  EXPECT_EQ(system.PartitionRereads("sdc"), 1);
  ASSERT_FALSE(system.Opens().empty());
  EXPECT_EQ(system.Opens().back().flags & (O_EXCL | O_ACCMODE), O_EXCL | O_RDWR);
}

TEST_F(LogicalDevice, ReaderWithASimulatedCardReadsItBack) {
  sim::Reader& reader =
      AddReader("sdb", simtest::Standard("2M"), {}, FakeSgSystem::kSupportedReader, card::Fill::Random);
  const clitest::ToolRun run = Smformat({"--logical", "/dev/sdb", "--yes"});
  EXPECT_EQ(run.status, 0) << run.err;
  SectorBuffer mbr{};
  ASSERT_TRUE(reader.Logical().ReadSectors(0, 1, mbr.data()));
  EXPECT_EQ(mbr, BuildTableMbr(*FindCapacityRow(4000)));
}

struct DeviceRefusal {
  const char* name;
  std::function<void(clitest::Machine&)> setUp;
  std::vector<std::string> args;
  std::string input;
  const char* says;
  int status = kExitFailure;
};

void PrintTo(const DeviceRefusal& c, std::ostream* os) { *os << c.name; }

class LogicalDeviceRefusal : public clitest::Machine, public ::testing::WithParamInterface<DeviceRefusal> {};

TEST_P(LogicalDeviceRefusal, WritesNothing) {
  system.AddUsbDisk("sdc", kOtherReader, "Generic", "CF SM Reader", 32000);
  GetParam().setUp(*this);
  const clitest::ToolRun run = Smformat(GetParam().args, GetParam().input);
  EXPECT_EQ(run.status, GetParam().status);
  EXPECT_TRUE(Contains(run.err, GetParam().says)) << run.err;
  EXPECT_EQ(system.DiskSector("sdc", 0), std::vector<std::uint8_t>(kSector, 0));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LogicalDeviceRefusal,
    ::testing::Values(
        DeviceRefusal{"Mounted",
                      [](auto& m) { m.system.Mount("sdc", "/media/card"); },
                      {"--logical", "/dev/sdc", "--yes"},
                      "",
                      "/dev/sdc is mounted on /media/card"},
        DeviceRefusal{"Partition",
                      [](auto& m) { m.system.AddPartition("sdc", 1); },
                      {"--logical", "/dev/sdc1", "--yes"},
                      "",
                      "/dev/sdc1 is a partition; give the whole card, /dev/sdc"},
        DeviceRefusal{"Declined",
                      [](auto&) {},
                      {"--logical", "/dev/sdc"},
                      "no\n",
                      "Continue? [y/N] Nothing was done.",
                      kExitDeclined},
        DeviceRefusal{"NotRoot",
                      [](auto& m) { m.system.SetCanOpenDisks(false); },
                      {"--logical", "/dev/sdc", "--yes"},
                      "",
                      "cannot open /dev/sdc: Permission denied. Run: sudo smformat --logical /dev/sdc --yes"},
        DeviceRefusal{"Busy",
                      [](auto& m) { m.system.HoldExclusively("sdc"); },
                      {"--logical", "/dev/sdc", "--yes"},
                      "",
                      "/dev/sdc is busy"},
        DeviceRefusal{"WrongSize",
                      [](auto& m) { m.system.AddUsbDisk("sdd", kOtherReader, "Generic", "Stick", 31999); },
                      {"--logical", "/dev/sdd", "--yes"},
                      "",
                      "/dev/sdd cannot take the SmartMedia format: 31999 sectors"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace

namespace {

struct WriteFault {
  const char* name;
  card::CommandFault fault;
  const char* says;
};

void PrintTo(const WriteFault& c, std::ostream* os) { *os << c.name; }

class LogicalFailure : public clitest::Machine, public ::testing::WithParamInterface<WriteFault> {};

// A write the layout writers ignore, or a sector that does not read back,
// ends the logical format as failed.
TEST_P(LogicalFailure, IsNeverReportedAsSuccess) {
  AddReader("sdb", simtest::Standard("2M")).Plan().commandFaults = {GetParam().fault};
  const clitest::ToolRun run = Smformat({"--logical", "/dev/sdb", "--yes"});
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(Contains(run.err, GetParam().says)) << run.err;
  EXPECT_FALSE(Contains(run.err, "Format Complete!")) << run.err;
}

INSTANTIATE_TEST_SUITE_P(
    Faults, LogicalFailure,
    ::testing::Values(WriteFault{"MbrWrite", {0x2A, std::nullopt, 1, false}, "Error: Write MBR error!"},
                      WriteFault{"ZeroFillWrite",
                                 {0x2A, std::nullopt, 5, false},
                                 "Error: Write file system error: 1 sector could not be written."},
                      WriteFault{"ReadBack",
                                 // The first read is the look for files before the question.
                                 {0x28, std::nullopt, 2, false},
                                 "Error: Verify file system error: sector 0 (MBR) cannot be read back."}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace

namespace {

struct TraceCase {
  const char* name;
  // The --trace path, beside the image in `dir`; may make links or a file there.
  std::function<std::string(const TempDir& dir, const std::string& image)> trace;
  std::string input;
  int status;
  const char* says;
  bool formatted;          // the image got the layout; otherwise it is unchanged
  const char* traceHolds;  // what the trace file then begins with, or null
};

void PrintTo(const TraceCase& c, std::ostream* os) { *os << c.name; }

std::string Existing(const TempDir& dir, const char* text) {
  const std::string path = dir.File("reader.log");
  std::ofstream(path) << text;
  return path;
}

class Trace : public clitest::Machine, public ::testing::WithParamInterface<TraceCase> {};

// The trace never harms the target, nor a file it was not asked to replace,
// and a trace that cannot be written changes nothing of the format's result.
TEST_P(Trace, NeverHarmsWhatItExplains) {
  const TraceCase& c = GetParam();
  system.AddUsbDisk("sdc", kOtherReader, "Generic", "CF SM Reader", 32000);
  TempDir dir;
  const std::string image = MakeImage(dir, 32000);
  std::ofstream(image, std::ios::binary | std::ios::in) << "user data";
  const std::string before = Fingerprint(image);
  const std::string trace = c.trace(dir, image);
  const clitest::ToolRun run = Smformat({"--logical", image, "--trace", trace}, c.input);
  EXPECT_EQ(run.status, c.status) << run.err;
  EXPECT_TRUE(Contains(run.err, c.says)) << run.err;
  EXPECT_EQ(Fingerprint(image) != before, c.formatted) << run.err;
  if (c.traceHolds) {
    EXPECT_EQ(ReadHead(trace, 64).rfind(c.traceHolds, 0), 0u) << ReadHead(trace, 64);
  }
  EXPECT_EQ(system.DiskSector("sdc", 0), std::vector<std::uint8_t>(kSector, 0));
}

std::string Named(const TempDir&, const std::string& image) { return image; }

INSTANTIATE_TEST_SUITE_P(
    Cases, Trace,
    ::testing::Values(
        TraceCase{"IsTheTarget", Named, "n\n", 1, "card.img, what the run works on; give another file", false, nullptr},
        TraceCase{"LinksToTheTarget",
                  [](const TempDir& dir, const std::string& image) {
                    std::filesystem::create_symlink(image, dir.File("link.log"));
                    return dir.File("link.log");
                  },
                  "y\n", 1, "what the run works on; give another file", false, nullptr},
        TraceCase{"IsAHardLinkOfTheTarget",
                  [](const TempDir& dir, const std::string& image) {
                    std::filesystem::create_hard_link(image, dir.File("hard.log"));
                    return dir.File("hard.log");
                  },
                  "y\n", 1, "what the run works on; give another file", false, nullptr},
        TraceCase{"IsADisk", [](const TempDir&, const std::string&) { return std::string("/dev/sdc"); }, "y\n", 1,
                  "the trace file /dev/sdc is a disk or volume", false, nullptr},
        // The answer No keeps the file that was there.
        TraceCase{"ExistingFileKeptWhenAnsweredNo",
                  [](const TempDir& dir, const std::string&) { return Existing(dir, "the last trace\n"); }, "n\n",
                  kExitDeclined, "warning: the trace was not written", false, "the last trace\n"},
        TraceCase{"ExistingFileReplacedWhenTheFormatStarts",
                  [](const TempDir& dir, const std::string&) { return Existing(dir, "the last trace\n"); }, "y\n", 0,
                  "Format Complete!", true, "smformat trace: --logical"},
        TraceCase{"FailedWriteIsAWarningAtTheEnd",
                  [](const TempDir&, const std::string&) { return std::string("/dev/full"); }, "y\n", 0,
                  "Format Complete!\nsmformat: warning: the trace is incomplete: /dev/full: cannot write it: No space "
                  "left on device (the exit status is the format's own)\n",
                  true, nullptr}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace

namespace {

struct HostFault {
  const char* name;
  int openError;
  int writeError;
  const char* says;
};

// Image files on a host whose file system fails: an immutable file, a full disk.
class FailingFiles : public FakeSgSystem {
 public:
  explicit FailingFiles(const HostFault& fault) : fault(fault) {}
  int Open(const std::string& path, int flags) override {
    return fault.openError != 0 ? -fault.openError : FakeSgSystem::Open(path, flags);
  }
  long WriteAt(int fd, const void* buffer, std::size_t length, std::uint64_t offset) override {
    return fault.writeError != 0 ? -fault.writeError : FakeSgSystem::WriteAt(fd, buffer, length, offset);
  }
  const HostFault& fault;
};

void PrintTo(const HostFault& c, std::ostream* os) { *os << c.name; }

class LogicalHostFault : public ::testing::TestWithParam<HostFault> {};

// The operator hears the system's reason and what to do about it.
TEST_P(LogicalHostFault, SaysTheSystemsReason) {
  TempDir dir;
  const std::string image = MakeImage(dir, 2000);
  FailingFiles files(GetParam());
  std::ostringstream out, err;
  std::istringstream in;
  std::atomic<int> stopFlag{1};
  CliContext context{out, err, in, false, [](std::uint32_t) {}, stopFlag};
  context.sgSystem = &files;
  EXPECT_EQ(SmformatMain({"--logical", image, "--yes"}, context), 1);
  EXPECT_TRUE(Contains(err.str(), GetParam().says)) << err.str();
  EXPECT_FALSE(Contains(err.str(), "sudo")) << err.str();
}

INSTANTIATE_TEST_SUITE_P(
    Faults, LogicalHostFault,
    ::testing::Values(HostFault{"ImmutableFile", EPERM, 0,
                                "Operation not permitted. The file is immutable or append-only ('lsattr "},
                      HostFault{"FullDisk", 0, ENOSPC,
                                "Error: Write MBR error!\nError: The system refused a read or write of the target: No "
                                "space left on device\n"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace

// What --check says a card holds when the real tools, not the SmartMedia
// format, laid its file system; and a card in use, files and all, is sound.
struct HoldsCase {
  const char* name;
  const char* partitions;          // an sfdisk script ("" none), or null: the SmartMedia layout (--logical)
  std::vector<std::string> tools;  // names and arguments; LOGICAL stands for the image, PHOTO for a file
  int status;
  std::vector<const char*> says;
  const char* logicalFormatSays = "Continue? [y/N] Nothing was done.\n";  // answered No
};

void PrintTo(const HoldsCase& c, std::ostream* os) { *os << c.name; }

class WhatTheCardHolds : public clitest::Machine, public ::testing::WithParamInterface<HoldsCase> {};

TEST_P(WhatTheCardHolds, IsToldByTheCheck) {
  TempDir dir;
  const std::string logical = MakeImage(dir, 32000, "logical.img");
  std::ofstream(dir.File("photo.jpg")) << "a photo";
  const char* partitions = GetParam().partitions;
  std::ofstream(dir.File("table")) << (partitions ? partitions : "");
  if (!partitions) {
    ASSERT_EQ(Smformat({"--logical", logical, "--yes"}).status, 0);
  }
  if (partitions && *partitions) {
    ASSERT_EQ(fat_tools::RunTool("sfdisk", "-q '" + logical + "' < '" + dir.File("table") + "'").status, 0);
  }
  for (std::size_t i = 0; i < GetParam().tools.size(); i += 2) {
    std::string arguments = GetParam().tools[i + 1];
    for (const auto& [name, path] :
         {std::pair<std::string, std::string>{"LOGICAL", logical}, {"PHOTO", dir.File("photo.jpg")}}) {
      const std::size_t at = arguments.find(name);
      if (at != std::string::npos) arguments.replace(at, name.size(), "'" + path + "'");
    }
    const fat_tools::Result made = fat_tools::RunTool(GetParam().tools[i], arguments);
    ASSERT_EQ(made.status, 0) << made.output;
  }
  sim::Reader& reader = AddReader("sdb", simtest::Standard("16M"));
  ASSERT_EQ(card::ImportLogicalFile(reader.HeldCard(), logical), "");
  const clitest::ToolRun run = Smformat({"--check", "/dev/sdb"});
  EXPECT_EQ(run.status, GetParam().status) << run.out;
  for (const char* part : GetParam().says) EXPECT_TRUE(Contains(run.out, part)) << run.out;
  const clitest::ToolRun declined = Smformat({"--logical", logical}, "n\n");
  EXPECT_EQ(declined.status, kExitDeclined);
  EXPECT_TRUE(Contains(declined.err, GetParam().logicalFormatSays)) << declined.err;
}

INSTANTIATE_TEST_SUITE_P(
    Tools, WhatTheCardHolds,
    ::testing::Values(HoldsCase{"WholeCardFat16",
                                "",
                                {"mkfs.fat", "-F 16 LOGICAL"},
                                kExitLayoutDiffers,
                                {"it holds a FAT16 file system with no partition table (sector 0 is its boot sector)",
                                 "Result:          no fault of the card; 5 differences from the SmartMedia layout, "
                                 "which a format mends\n"}},
                      HoldsCase{"PartitionFromSector63",
                                "start=63, type=01\n",
                                {"mkfs.fat", "-F 12 --offset 63 LOGICAL"},
                                kExitLayoutDiffers,
                                {"it holds a partition table and a FAT12 file system from sector 63"}},
                      HoldsCase{
                          "SmartMediaLayoutInUse",
                          nullptr,
                          {"mmd", "-i LOGICAL@@20992 ::DCIM", "mcopy", "-i LOGICAL@@20992 PHOTO ::PHOTO.JPG"},
                          0,
                          {"File system:     the SmartMedia layout of capacity 32000\n"
                           "Files:           1 file and 1 folder in the root directory, 32 KB in use\n"},
                          "\nThe card holds files: 1 file and 1 folder in the root directory, 32 KB in use. "
                          "The format erases them; smformat --dump saves the whole card first.\nWarning: Format"}),
    [](const auto& info) { return std::string(info.param.name); });
