#include <functional>
#include <ostream>
#include <string>

#include "tests/passthrough/passthrough_bench.h"

namespace {

using pttest::BackendError;

constexpr const char* kSecondReader = "Please make sure only one usb storage device is plug ing!";
constexpr const char* kMediaInfoFails = "Read media information fail!";

struct SearchCase {
  const char* name;
  std::function<void(pttest::PassThroughBench&)> machine;  // C: always holds the system disk
  int result;
  char letter;  // drive letter of the accepted reader
  std::vector<HostMessage> messages;
  std::uint64_t slept;
  char lastLetterTried;
};

void PrintTo(const SearchCase& c, std::ostream* os) { *os << c.name; }

class FindDevice : public pttest::PassThroughBench, public ::testing::WithParamInterface<SearchCase> {};
using SearchRequests = pttest::PassThroughBench;

card::FaultPlan Plan(std::function<void(card::FaultPlan&)> edit) {
  card::FaultPlan plan;
  edit(plan);
  return plan;
}

TEST_P(FindDevice, SearchesCToZ) {
  const SearchCase& c = GetParam();
  volumes.AddSystemDisk('C');
  c.machine(*this);
  char found = 'x';
  EXPECT_EQ(device.FindDevice(found), c.result);
  EXPECT_EQ(device.IsOpen(), c.result);
  EXPECT_EQ(host.Messages(), c.messages);
  EXPECT_EQ(host.TotalSleep(), c.slept);
  if (c.result == 1) {
    EXPECT_EQ(device.GetDriveLetter(), c.letter);
    EXPECT_EQ(found, c.letter - 'C');
    EXPECT_NE(device.volumeHandle, nullptr);
    EXPECT_EQ(device.GetUnitCount(), 1);
  } else {
    EXPECT_EQ(device.volumeHandle, nullptr);
  }
  // Letters in order from C:, each opened once with the same parameters.
  const auto& opens = volumes.Opens();
  ASSERT_EQ(opens.size(), static_cast<std::size_t>(c.lastLetterTried - 'C' + 1));
  for (std::size_t i = 0; i < opens.size(); ++i) {
    EXPECT_EQ(opens[i].path, VolumePath(static_cast<char>('C' + i)));
    EXPECT_EQ(opens[i].access, static_cast<DWORD>(GENERIC_READ | GENERIC_WRITE));
    EXPECT_EQ(opens[i].shareMode, static_cast<DWORD>(FILE_SHARE_READ | FILE_SHARE_WRITE));
    EXPECT_EQ(opens[i].creationDisposition, static_cast<DWORD>(OPEN_EXISTING));
    EXPECT_EQ(opens[i].flagsAndAttributes, 0u);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Machines, FindDevice,
    ::testing::Values(
        SearchCase{"NoReader", [](auto&) {}, 0, 0, {}, 0, 'Z'},
        SearchCase{"ReaderOnE", [](auto& b) { b.AddReader('E'); }, 1, 'E', {}, 0, 'Z'},
        SearchCase{"FolderVolumePassedOver",
                   [](auto& b) {
                     b.volumes.AddFolderVolume('D');
                     b.AddReader('E');
                   },
                   1,
                   'E',
                   {},
                   0,
                   'Z'},
        SearchCase{"EmptySlotPassedOver", [](auto& b) { b.AddReader('E').RemoveCard(); }, 0, 0, {}, 0, 'Z'},
        SearchCase{"EmptySlotThenCard",
                   [](auto& b) {
                     b.AddReader('E').RemoveCard();
                     b.AddReader('G');
                   },
                   1,
                   'G',
                   {},
                   0,
                   'Z'},
        SearchCase{"NotSmartMedia",
                   [](auto& b) { b.AddReader('E', simtest::Standard("1M"), Plan([](auto& p) { p.cardType = 1; })); },
                   0,
                   0,
                   {},
                   0,
                   'Z'},
        SearchCase{"OtherInquiryCase",
                   [](auto& b) {
                     b.AddReader('E', simtest::Standard("1M"),
                                 Plan([](auto& p) { p.inquiryId = "Generic Storage Device"; }));
                   },
                   0,
                   0,
                   {},
                   0,
                   'Z'},
        // The system disk's INQUIRY is request 1, the reader's is request 2.
        SearchCase{"InquiryFailsInTheSystem",
                   [](auto& b) {
                     b.AddReader('E');
                     b.volumes.FailPassThroughAt(2);
                   },
                   0,
                   0,
                   {},
                   0,
                   'Z'},
        SearchCase{"TwoReaders",
                   [](auto& b) {
                     b.AddReader('E');
                     b.AddReader('H');
                   },
                   0,
                   0,
                   {BackendError(kSecondReader)},
                   0,
                   'H'},
        SearchCase{"MediaInformationFails",
                   [](auto& b) {
                     b.AddReader('E', simtest::Standard("1M"), Plan([](auto& p) {
                                   p.commandFaults = {{0xE7, std::uint8_t{0}, 1, false}};
                                 }));
                   },
                   0,
                   0,
                   {BackendError(kMediaInfoFails)},
                   1000,
                   'E'}),
    [](const auto& info) { return std::string(info.param.name); });

// What the search sends a candidate: an INQUIRY for the 36 bytes of the
// standard reply, the card type, and the media information addressed to
// path 0, target 0 of the candidate's own volume.
TEST_F(SearchRequests, AskTheCandidateForTheStandardReplyAndItsMediaAtPathZeroTargetZero) {
  volumes.AddSystemDisk('C');
  AddReader('E');
  char found = 0;
  ASSERT_EQ(device.FindDevice(found), 1);
  std::vector<FakeVolumeApi::Request> toE;
  for (const auto& request : volumes.PassThroughRequests()) {
    if (request.letter == 'E') toE.push_back(request);
  }
  ASSERT_EQ(toE.size(), 3u);
  const FakeVolumeApi::Request& inquiry = toE[0];
  EXPECT_EQ(inquiry.cdb[0], 0x12);
  EXPECT_EQ(inquiry.cdb[4], 36);
  EXPECT_EQ(inquiry.dataTransferLength, 36u);
  EXPECT_EQ(inquiry.outputLength, passthrough::kDataAreaOffset + 36);
  EXPECT_EQ(toE[1].cdb[0], 0xED);
  const FakeVolumeApi::Request& media = toE[2];
  EXPECT_EQ(std::vector<std::uint8_t>(media.cdb.begin(), media.cdb.begin() + 6), pttest::Hex("E7 00 00 00 24 00"));
  EXPECT_EQ(media.pathId, 0);
  EXPECT_EQ(media.targetId, 0);
  EXPECT_EQ(media.lun, 0);
  EXPECT_TRUE(media.reachedDevice);
}

}  // namespace
