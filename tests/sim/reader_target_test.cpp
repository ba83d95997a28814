// The reader's slot as a host's disk driver meets it: the standard commands
// a kernel sends, the standard command lengths, and the sense data of each
// refusal, which the host's driver and smformat read.
#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "sim/reader_target.h"
#include "tests/sim/sim_bench.h"
#include "transport/scsi_sense.h"

namespace {

struct TargetCase {
  const char* name;
  std::function<void(sim::Reader&)> setUp;
  std::vector<std::uint8_t> cdb;
  DataDirection direction;
  std::uint32_t length;
  std::uint8_t status;
  std::uint32_t transferred;
  std::uint8_t key;  // of the sense, when the command fails
  std::uint8_t asc;
  std::vector<std::uint8_t> replyHead;  // the first bytes of the reply
};

void PrintTo(const TargetCase& c, std::ostream* os) { *os << c.name; }

class Target : public ::testing::TestWithParam<TargetCase> {};

constexpr std::uint8_t kGood = sim::kStatusGood;
constexpr std::uint8_t kCheck = sim::kStatusCheckCondition;
const auto kAsIs = [](sim::Reader&) {};
const auto kNoCard = [](sim::Reader& r) { r.RemoveCard(); };
const auto kProtected = [](sim::Reader& r) { r.Plan().writeProtected = true; };
const auto kAfterFormatEnd = [](sim::Reader& r) {
  const ReaderCommand end = FormatEndCommand();
  r.Execute(end.cdb.data(), end.cdbLength, end.direction, nullptr, 0);
};

TEST_P(Target, AnswersAsAHostExpects) {
  const TargetCase& c = GetParam();
  const auto card = simtest::MakeCard(simtest::Standard("16M"));
  sim::Reader reader(*card);
  sim::ReaderTarget target(reader);
  c.setUp(reader);
  std::vector<std::uint8_t> data(c.length, 0x5A);
  const sim::TargetAnswer answer = target.Execute(c.cdb.data(), c.cdb.size(), c.direction, data.data(), c.length);
  EXPECT_EQ(answer.status, c.status);
  EXPECT_EQ(answer.transferred, c.transferred);
  const ScsiSense sense = DecodeSense(target.Sense().data(), target.Sense().size());
  EXPECT_EQ(sense.valid, c.status != kGood);
  EXPECT_EQ(sense.key, c.key);
  EXPECT_EQ(sense.asc, c.asc);
  ASSERT_GE(data.size(), c.replyHead.size());
  EXPECT_EQ(std::vector<std::uint8_t>(data.begin(), data.begin() + c.replyHead.size()), c.replyHead);
}

using D = DataDirection;
INSTANTIATE_TEST_SUITE_P(
    Commands, Target,
    ::testing::Values(
        TargetCase{"TestUnitReady", kAsIs, {0x00, 0, 0, 0, 0, 0}, D::None, 0, kGood, 0, 0, 0, {}},
        TargetCase{"TestUnitReadyEmptySlot", kNoCard, {0x00, 0, 0, 0, 0, 0}, D::None, 0, kCheck, 0, 2, 0x3A, {}},
        // 32000 sectors of 512 bytes: the last is 31999 (7CFFh).
        TargetCase{"ReadCapacity",
                   kAsIs,
                   {0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0},
                   D::In,
                   8,
                   kGood,
                   8,
                   0,
                   0,
                   {0x00, 0x00, 0x7C, 0xFF, 0x00, 0x00, 0x02, 0x00}},
        // The header alone, shorter than the kernel's 192 bytes; bit 7 of byte 2 is the tab.
        TargetCase{"ModeSenseWriteProtected",
                   kProtected,
                   {0x1A, 0, 0x3F, 0, 192, 0},
                   D::In,
                   192,
                   kGood,
                   4,
                   0,
                   0,
                   {3, 0, 0x80, 0}},
        TargetCase{"ModeSense10", kAsIs, {0x5A, 0, 0x3F, 0, 0, 0, 0, 0, 8, 0}, D::In, 8, kGood, 8, 0, 0, {0, 6, 0, 0}},
        TargetCase{"PreventRemoval", kAsIs, {0x1E, 0, 0, 0, 1, 0}, D::None, 0, kGood, 0, 0, 0, {}},
        // The kernel's six-byte INQUIRY reaches the firmware.
        TargetCase{"ShortInquiry", kAsIs, {0x12, 0, 0, 0, 36, 0}, D::In, 36, kGood, 36, 0, 0, {0x00, 0x80}},
        TargetCase{"InquiryOfAVitalDataPage", kAsIs, {0x12, 1, 0x80, 0, 36, 0}, D::In, 36, kCheck, 0, 5, 0x24, {}},
        // READ(10) in ten bytes with the FUA flag: the firmware reads sector 0.
        TargetCase{
            "Read10WithFlags", kAsIs, {0x28, 0x08, 0, 0, 0, 0, 0, 0, 1, 0}, D::In, 512, kGood, 512, 0, 0, {0xFF, 0xFF}},
        TargetCase{
            "ReadBeyondTheCard", kAsIs, {0x28, 0, 0, 0, 0x7C, 0xFF, 0, 0, 2, 0}, D::In, 1024, kCheck, 0, 5, 0x21, {}},
        TargetCase{"WriteOnAProtectedCard",
                   kProtected,
                   {0x2A, 0, 0, 0, 0, 0, 0, 0, 1, 0},
                   D::Out,
                   512,
                   kCheck,
                   0,
                   7,
                   0x27,
                   {}},
        TargetCase{"VendorCommandEmptySlot", kNoCard, {0xE8, 0, 0, 3, 0, 0}, D::None, 0, kCheck, 0, 2, 0x3A, {}},
        TargetCase{"UnknownCommand", kAsIs, {0xA0, 0, 0, 0, 0, 0}, D::None, 0, kCheck, 0, 5, 0x20, {}},
        // After the format end the card is presented anew: the next command
        // meets UNIT ATTENTION and does not run; INQUIRY is answered.
        TargetCase{"AfterFormatEnd", kAfterFormatEnd, {0x00, 0, 0, 0, 0, 0}, D::None, 0, kCheck, 0, 6, 0x28, {}},
        TargetCase{"InquiryAfterFormatEnd",
                   kAfterFormatEnd,
                   {0x12, 0, 0, 0, 36, 0},
                   D::In,
                   36,
                   kGood,
                   36,
                   0,
                   0,
                   {0x00, 0x80}}),
    [](const auto& info) { return std::string(info.param.name); });

// REQUEST SENSE (the host's driver asks after every failed command) returns
// why the last command failed, then nothing more.
TEST(TargetSense, RequestSenseTellsTheLastFailureOnce) {
  const auto card = simtest::MakeCard(simtest::Standard("1M"));
  sim::Reader reader(*card);
  sim::ReaderTarget target(reader);
  reader.RemoveCard();
  const std::uint8_t ready[6] = {};
  ASSERT_EQ(target.Execute(ready, 6, DataDirection::None, nullptr, 0).status, kCheck);
  const std::uint8_t requestSense[6] = {0x03, 0, 0, 0, 18, 0};
  for (const std::uint8_t key : {std::uint8_t{2}, std::uint8_t{0}}) {
    std::vector<std::uint8_t> sense(18, 0xEE);
    const sim::TargetAnswer answer = target.Execute(requestSense, 6, DataDirection::In, sense.data(), 18);
    EXPECT_EQ(answer.status, kGood);
    EXPECT_EQ(answer.transferred, 18u);
    EXPECT_EQ(DecodeSense(sense.data(), sense.size()).key, key);
  }
}

}  // namespace
