// Finding readers: the sysfs walk to the USB identifiers, the INQUIRY and
// card tests, the media information, and what is (not) sent to other disks.
#include <algorithm>
#include <cerrno>

#include "tests/sgio/sgio_bench.h"
#include "tests/support/temp_dir.h"
#include "transport/sgio/sg_discovery.h"

namespace {

constexpr FakeSgSystem::UsbId kMemoryStick{0x0781, 0x5567};

std::vector<std::uint8_t> Opcodes(const std::vector<FakeSgSystem::SgCall>& calls) {
  std::vector<std::uint8_t> out;
  for (const auto& call : calls) out.push_back(call.cdb.empty() ? 0 : call.cdb[0]);
  return out;
}

bool Opened(const FakeSgSystem& system, const std::string& path) {
  const auto& opens = system.Opens();
  return std::any_of(opens.begin(), opens.end(), [&](const auto& open) { return open.path == path; });
}

using Discovery = sgtest::SgBench;

TEST_F(Discovery, ReaderWithACardIsReportedWithItsSizeAndState) {
  system.AddSystemDisk("sda", 1 << 20);
  card::FaultPlan plan;
  plan.writeProtected = true;
  AddReader("sdb", simtest::Standard("16M"), plan);
  const auto reports = sgio::SurveyUsbDisks(system, host);
  ASSERT_EQ(reports.size(), 1u) << "the system disk is not behind USB";
  const sgio::ReaderReport& r = reports[0];
  EXPECT_EQ(r.disk.devicePath, "/dev/sdb");
  EXPECT_EQ(sgio::UsbIdShort(r.disk.usbVendor, r.disk.usbProduct), "1d6b:5301");
  EXPECT_TRUE(r.Supported());
  EXPECT_TRUE(r.HoldsCard());
  EXPECT_EQ(r.probe.inquiryText, "Generic STORAGE DEVICE");
  EXPECT_EQ(r.capacityKey, 32000u);
  EXPECT_TRUE(r.probe.stateRead);
  EXPECT_TRUE(r.probe.writeProtected);
  EXPECT_EQ(Opcodes(system.SgCallsTo("sdb")), (std::vector<std::uint8_t>{0x12, 0xED, 0xE7, 0xE7}));
  EXPECT_FALSE(Opened(system, "/dev/sda"));
  EXPECT_TRUE(host.Messages().empty());
}

TEST_F(Discovery, EmptySlotStopsAtTheCardType) {
  AddReader("sdb").RemoveCard();
  const auto reports = sgio::SurveyUsbDisks(system, host);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_TRUE(reports[0].Supported());
  EXPECT_FALSE(reports[0].HoldsCard());
  EXPECT_EQ(reports[0].probe.verdict, ProbeVerdict::NoCard);
  EXPECT_EQ(Opcodes(system.SgCallsTo("sdb")), (std::vector<std::uint8_t>{0x12, 0xED}));
}

TEST_F(Discovery, OtherUsbDiskGetsNothing) {
  system.AddUsbDisk("sdc", kMemoryStick, "SanDisk", "Cruzer Blade", 4000000);
  const auto reports = sgio::SurveyUsbDisks(system, host);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].verdict, sgio::ReaderVerdict::UnsupportedUsbId);
  EXPECT_FALSE(reports[0].Supported());
  EXPECT_EQ(reports[0].disk.vendor, "SanDisk");
  EXPECT_EQ(reports[0].disk.model, "Cruzer Blade");
  EXPECT_TRUE(system.SgCalls().empty());
  EXPECT_FALSE(Opened(system, "/dev/sdc"));
}

// The identifiers pass but the device answers INQUIRY as something else:
// it gets the INQUIRY and nothing more, no vendor command above all.
TEST_F(Discovery, InquiryMismatchGetsOnlyTheInquiry) {
  card::FaultPlan plan;
  plan.inquiryId = "Other   STORAGE DEVICE";
  AddReader("sdb", simtest::Standard("1M"), plan);
  const auto reports = sgio::SurveyUsbDisks(system, host);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].probe.verdict, ProbeVerdict::UnsupportedInquiry);
  EXPECT_EQ(reports[0].probe.inquiryText, "Other STORAGE DEVICE");
  EXPECT_FALSE(reports[0].Supported());
  EXPECT_EQ(Opcodes(system.SgCallsTo("sdb")), (std::vector<std::uint8_t>{0x12}));
}

TEST_F(Discovery, TwoReadersWithCardsAreBothFound) {
  AddReader("sdb", simtest::Standard("1M"));
  AddReader("sdc", simtest::Standard("64M"), {}, FakeSgSystem::UsbId{0x2F4A, 0x0C02});
  const auto reports = sgio::SurveyUsbDisks(system, host);
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_TRUE(reports[0].HoldsCard());
  EXPECT_TRUE(reports[1].HoldsCard());
  EXPECT_EQ(reports[0].capacityKey, 2000u);
  EXPECT_EQ(reports[1].capacityKey, 128000u);
}

TEST_F(Discovery, WithoutPermissionTheReaderCannotBeOpened) {
  AddReader("sdb");
  system.SetCanOpenDisks(false);
  const auto reports = sgio::SurveyUsbDisks(system, host);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].verdict, sgio::ReaderVerdict::CannotOpen);
  EXPECT_EQ(reports[0].openError, EACCES);
  EXPECT_TRUE(system.SgCalls().empty());
}

TEST_F(Discovery, MountsOfTheDiskAndItsPartitionsAreFound) {
  AddReader("sdb");
  system.AddPartition("sdb", 1);
  system.AddSystemDisk("sda", 1 << 20);
  system.AddPartition("sda", 2);
  system.Mount("sda2", "/");
  system.Mount("sdb1", "/media/my card");
  const auto lookup = sgio::FindDiskOfNode(system, "/dev/sdb");
  ASSERT_TRUE(lookup.disk) << lookup.error;
  const auto mounts = sgio::MountsOn(system, *lookup.disk);
  ASSERT_EQ(mounts.size(), 1u);
  EXPECT_EQ(mounts[0].mountPoint, "/media/my card");
  EXPECT_EQ(mounts[0].source, "/dev/sdb1");
}

TEST_F(Discovery, NodesAreTracedToTheirDisk) {
  AddReader("sdb");
  system.AddPartition("sdb", 1);
  const auto partition = sgio::FindDiskOfNode(system, "/dev/sdb1");
  ASSERT_TRUE(partition.disk);
  EXPECT_TRUE(partition.partition);
  EXPECT_EQ(partition.disk->devicePath, "/dev/sdb");
  EXPECT_EQ(sgio::FindDiskOfNode(system, "/dev/sdz").error, "No such file or directory");
  TempDir dir;
  const std::string file = dir.File("card.img");
  std::ofstream(file) << "x";
  EXPECT_EQ(sgio::FindDiskOfNode(system, file).error, "not a block device");
}

}  // namespace
