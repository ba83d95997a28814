// Sense data in both formats, and how the outcome of an SG_IO request is
// judged: the kernel's error, the host byte, the SCSI status with its sense,
// and a short transfer.
#include <gtest/gtest.h>

#include <cerrno>
#include <ostream>
#include <string>
#include <vector>

#include "tests/sgio/sgio_bench.h"
#include "transport/scsi_sense.h"
#include "transport/sgio/sg_request.h"

namespace {

using sgtest::Hex;

struct SenseCase {
  const char* name;
  const char* bytes;
  bool valid;
  std::uint8_t key;
  std::uint8_t asc;
  std::uint8_t ascq;
};

void PrintTo(const SenseCase& c, std::ostream* os) { *os << c.name; }

class SenseDecoding : public ::testing::TestWithParam<SenseCase> {};

TEST_P(SenseDecoding, ReadsKeyAscAndAscq) {
  const SenseCase& c = GetParam();
  const std::vector<std::uint8_t> bytes = Hex(c.bytes);
  const ScsiSense sense = DecodeSense(bytes.data(), bytes.size());
  EXPECT_EQ(sense.valid, c.valid);
  EXPECT_EQ(sense.key, c.key);
  EXPECT_EQ(sense.asc, c.asc);
  EXPECT_EQ(sense.ascq, c.ascq);
  // UNIT ATTENTION, which the Windows backends answer by sending the command
  // once more, counts only with CHECK CONDITION: other statuses bring no sense.
  EXPECT_EQ(MetUnitAttention(scsi_status::kCheckCondition, bytes.data(), bytes.size()), c.valid && c.key == 6);
  EXPECT_FALSE(MetUnitAttention(0x08, bytes.data(), bytes.size())) << "BUSY";
}

INSTANTIATE_TEST_SUITE_P(
    Formats, SenseDecoding,
    ::testing::Values(SenseCase{"FixedNoMedium", "70 00 02 00 00 00 00 0A 00 00 00 00 3A 00 00 00 00 00", true, 2, 0x3A,
                                0},
                      SenseCase{"FixedDeferredValidBit", "F1 00 07 00 00 00 00 0A 00 00 00 00 27 01", true, 7, 0x27, 1},
                      SenseCase{"FixedKeyFlagsMasked", "70 00 E5 00 00 00 00 0A 00 00 00 00 20 00", true, 5, 0x20, 0},
                      SenseCase{"DescriptorFormat", "72 06 28 00 00 00 00 00", true, 6, 0x28, 0},
                      SenseCase{"FixedCutBeforeAsc", "70 00 03 00", true, 3, 0, 0},
                      SenseCase{"OnlyTheResponseCode", "70", false, 0, 0, 0},
                      SenseCase{"VendorResponseCode", "7F 00 02 00 00 00 00 0A 00 00 00 00 3A 00", false, 0, 0, 0},
                      SenseCase{"Nothing", "", false, 0, 0, 0}),
    [](const auto& info) { return std::string(info.param.name); });

struct OutcomeCase {
  const char* name;
  int ioctlResult;
  std::uint8_t status;
  std::uint16_t host;
  std::uint16_t driver;
  const char* sense;
  int resid;
  sgio::Fault fault;
};

void PrintTo(const OutcomeCase& c, std::ostream* os) { *os << c.name; }

class Outcomes : public ::testing::TestWithParam<OutcomeCase> {};

TEST_P(Outcomes, TellTheFaultsApart) {
  const OutcomeCase& c = GetParam();
  sgio::Request request;
  std::uint8_t data[528];
  sgio::BuildRequest(request, ReadPhySectorCommand(0, 0), data, 3000);
  request.header.status = c.status;
  request.header.host_status = c.host;
  request.header.driver_status = c.driver;
  request.header.resid = c.resid;
  const std::vector<std::uint8_t> sense = Hex(c.sense);
  std::copy(sense.begin(), sense.end(), request.sense.begin());
  request.header.sb_len_wr = static_cast<unsigned char>(sense.size());
  EXPECT_EQ(sgio::ReadOutcome(request, c.ioctlResult, true).fault, c.fault);
}

constexpr const char* kNoSense = "";
constexpr const char* kNotReadyNoMedium = "70 00 02 00 00 00 00 0A 00 00 00 00 3A 00";
constexpr const char* kNotReadyBecoming = "70 00 02 00 00 00 00 0A 00 00 00 00 04 01";
constexpr const char* kDataProtect = "70 00 07 00 00 00 00 0A 00 00 00 00 27 00";
constexpr const char* kIllegal = "70 00 05 00 00 00 00 0A 00 00 00 00 20 00";
constexpr const char* kMediumChanged = "70 00 06 00 00 00 00 0A 00 00 00 00 28 00";
constexpr const char* kMediumError = "70 00 03 00 00 00 00 0A 00 00 00 00 11 00";

INSTANTIATE_TEST_SUITE_P(
    Answers, Outcomes,
    ::testing::Values(OutcomeCase{"Good", 0, 0, 0, 0, kNoSense, 0, sgio::Fault::None},
                      OutcomeCase{"GoodWithRecoveredSense", 0, 0, 0, 0x08, kNoSense, 0, sgio::Fault::None},
                      OutcomeCase{"NoMedium", 0, 2, 0, 0x08, kNotReadyNoMedium, 0, sgio::Fault::NoMedium},
                      OutcomeCase{"BecomingReady", 0, 2, 0, 0x08, kNotReadyBecoming, 0, sgio::Fault::Other},
                      OutcomeCase{"WriteProtect", 0, 2, 0, 0x08, kDataProtect, 0, sgio::Fault::WriteProtected},
                      OutcomeCase{"Illegal", 0, 2, 0, 0x08, kIllegal, 0, sgio::Fault::IllegalRequest},
                      OutcomeCase{"MediumChanged", 0, 2, 0, 0x08, kMediumChanged, 0, sgio::Fault::MediumChanged},
                      OutcomeCase{"MediumError", 0, 2, 0, 0x08, kMediumError, 0, sgio::Fault::Other},
                      OutcomeCase{"CheckWithoutSense", 0, 2, 0, 0, kNoSense, 0, sgio::Fault::Other},
                      OutcomeCase{"HostLostTheDevice", 0, 0, 0x01, 0, kNoSense, 0, sgio::Fault::DeviceGone},
                      OutcomeCase{"HostTimedOut", 0, 0, 0x03, 0, kNoSense, 0, sgio::Fault::TimedOut},
                      OutcomeCase{"DriverError", 0, 0, 0, 0x06, kNoSense, 0, sgio::Fault::Other},
                      OutcomeCase{"ShortRead", 0, 0, 0, 0, kNoSense, 16, sgio::Fault::Other},
                      OutcomeCase{"KernelSaysNoDevice", -ENODEV, 0, 0, 0, kNoSense, 0, sgio::Fault::DeviceGone},
                      OutcomeCase{"KernelSaysNotPermitted", -EPERM, 0, 0, 0, kNoSense, 0, sgio::Fault::NotPermitted},
                      OutcomeCase{"KernelSaysNoMedium", -ENOMEDIUM, 0, 0, 0, kNoSense, 0, sgio::Fault::NoMedium},
                      OutcomeCase{"KernelSaysIo", -EIO, 0, 0, 0, kNoSense, 0, sgio::Fault::Other}),
    [](const auto& info) { return std::string(info.param.name); });

// Sense longer than the kernel says it wrote is not read.
TEST(Outcome, ReadsOnlyTheSenseTheKernelWrote) {
  sgio::Request request;
  sgio::BuildRequest(request, FormatEndCommand(), nullptr, 5000);
  const std::vector<std::uint8_t> sense = Hex(kNotReadyNoMedium);
  std::copy(sense.begin(), sense.end(), request.sense.begin());
  request.header.status = 2;
  request.header.sb_len_wr = 3;  // key only
  const sgio::Outcome outcome = sgio::ReadOutcome(request, 0, false);
  EXPECT_EQ(outcome.sense.key, 2);
  EXPECT_EQ(outcome.sense.asc, 0);
  EXPECT_EQ(outcome.fault, sgio::Fault::Other);
}

}  // namespace
