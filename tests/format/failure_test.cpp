// A format that meets trouble: failing commands, a reader that reports a
// card it cannot describe, and a card pulled out halfway.
#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <ostream>

#include "engine/fat_layout.h"
#include "engine/low_level_format.h"
#include "tests/format/format_bench.h"

namespace {

using namespace formattest;

const card::CardGeometry k1M = Standard("1M");

// What the operator sees from the end of the erase pass on: positions from
// 85, pauses and messages. The erase pass's own positions are left out.
std::vector<std::string> Outline(const std::vector<HostEvent>& events) {
  std::vector<std::string> out;
  for (const HostEvent& e : events) {
    if (e.kind == HostEvent::Kind::Progress && e.a >= 85) out.push_back("progress " + std::to_string(e.a));
    if (e.kind == HostEvent::Kind::Sleep) out.push_back("sleep " + std::to_string(e.a));
    if (e.kind == HostEvent::Kind::Message) out.push_back("message " + e.message.text);
  }
  return out;
}

std::uint32_t BootSectorWriteOf1M() {
  // WRITE(10) calls: the MBR, the zeroed sectors up to the partition, then the boot sector.
  return FindCapacityRow(2000)->partitionStart + 1u;
}

struct FailureCase {
  const char* name;
  card::CardGeometry geometry;
  bool withCis;
  std::vector<card::BlockRef> bad;
  std::function<void(card::FaultPlan&)> faults;
  int result;
  std::vector<HostMessage> messages;
  std::vector<OpKind> cisWrites;
  std::size_t formatEnds;
  std::vector<std::string> outline;
};

void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }

class Failure : public ::testing::TestWithParam<FailureCase> {};

TEST_P(Failure, ReportsItAndEndsAsStated) {
  const FailureCase& c = GetParam();
  card::FaultPlan plan;
  c.faults(plan);
  Bench bench(CardOptions(c.geometry, c.withCis, c.bad), plan);

  EXPECT_EQ(bench.Format(), c.result);
  EXPECT_EQ(bench.host.Messages(), c.messages);
  EXPECT_EQ(CisWrites(bench.device->log), c.cisWrites);
  EXPECT_EQ(Count(bench.device->log, OpKind::FormatEnd), c.formatEnds);
  EXPECT_EQ(Outline(bench.host.Events()), c.outline);
  // A format that completes has dropped the access handle before its check and after it.
  EXPECT_TRUE(c.result != 1 || Count(bench.device->log, OpKind::DropHandle) == 2u);
}

using card::CommandFault;
constexpr std::uint8_t kControl = 0xE6, kFormatEndSub = 5, kRead10 = 0x28, kWrite10 = 0x2A, kWritePage = 0xEB,
                       kReadPage = 0xEA;
const std::vector<OpKind> kCisWritten = {OpKind::WriteRedundant, OpKind::WritePage};

INSTANTIATE_TEST_SUITE_P(
    Faults, Failure,
    ::testing::Values(
        // The reader never presents the card anew: nothing is written through it.
        FailureCase{"FormatEndFails",
                    k1M,
                    false,
                    {},
                    [](card::FaultPlan& p) {
                      p.commandFaults = {CommandFault{kControl, kFormatEndSub, 1, true}};
                    },
                    0,
                    {ErrorBox("Issue media change fail!")},
                    kCisWritten,
                    2,
                    {"progress 85", "sleep 1000", "sleep 1000", "message Issue media change fail!"}},
        FailureCase{
            "SecondFormatEndFails",
            k1M,
            true,
            {},
            [](card::FaultPlan& p) {
              p.commandFaults = {CommandFault{kControl, kFormatEndSub, 2, false}};
            },
            1,
            {},
            {},
            3,
            {"progress 85", "sleep 1000", "progress 90", "progress 98", "sleep 1000", "sleep 1000", "progress 100"}},
        FailureCase{
            "ReadOfSector0Fails",
            k1M,
            true,
            {},
            [](card::FaultPlan& p) {
              p.commandFaults = {CommandFault{kRead10, std::nullopt, 1, false}};
            },
            1,
            {},
            {},
            2,
            {"progress 85", "sleep 1000", "sleep 1000", "progress 90", "progress 98", "sleep 1000", "progress 100"}},
        // The CIS is written and the reader told that the format is over.
        FailureCase{"WriteMbrFails",
                    k1M,
                    false,
                    {},
                    [](card::FaultPlan& p) {
                      p.commandFaults = {CommandFault{kWrite10, std::nullopt, 1, false}};
                    },
                    0,
                    {ErrorBox("Write MBR error!")},
                    kCisWritten,
                    1,
                    {"progress 85", "sleep 1000", "sleep 1000", "message Write MBR error!"}},
        FailureCase{"WriteBootSectorFails",
                    k1M,
                    true,
                    {},
                    [](card::FaultPlan& p) {
                      p.commandFaults = {CommandFault{kWrite10, std::nullopt, BootSectorWriteOf1M(), false}};
                    },
                    0,
                    {ErrorBox("Write boot sector error!")},
                    {},
                    1,
                    {"progress 85", "sleep 1000", "progress 90", "sleep 1000", "message Write boot sector error!"}},
        // The redundant area cannot be programmed: the data write is not tried.
        FailureCase{"CisProgramFails",
                    k1M,
                    false,
                    {},
                    [](card::FaultPlan& p) {
                      p.failingProgram = {{0, 0}};
                    },
                    0,
                    {PlainErrorBox("Write low level header error"), ErrorBox("Write low level header error!")},
                    {OpKind::WriteRedundant},
                    0,
                    {"sleep 1000", "message Write low level header error", "message Write low level header error!"}},
        FailureCase{"CisDataWriteFails",
                    k1M,
                    false,
                    {},
                    [](card::FaultPlan& p) {
                      p.commandFaults = {CommandFault{kWritePage, std::nullopt, 1, false}};
                    },
                    0,
                    {PlainErrorBox("Write low level header error"), ErrorBox("Write low level header error!")},
                    kCisWritten,
                    0,
                    {"sleep 1000", "message Write low level header error", "message Write low level header error!"}},
        // The CIS page is written but cannot be read back, at the first try nor
        // the second (read 258: the scan's one, the erase pass's 256, then the
        // read-back).
        FailureCase{"CisReadBackFails",
                    k1M,
                    false,
                    {},
                    [](card::FaultPlan& p) {
                      p.commandFaults = {CommandFault{kReadPage, std::nullopt, 258, true}};
                    },
                    0,
                    {PlainErrorBox("Write low level header error"), ErrorBox("Write low level header error!")},
                    kCisWritten,
                    0,
                    {"sleep 1000", "sleep 1000", "message Write low level header error",
                     "message Write low level header error!"}}),
    [](const auto& info) { return std::string(info.param.name); });

// --- Media information the card cannot be formatted with ------------------------

struct MediaRecord {
  std::uint8_t slot, tag, log2Blocks, log2Pages;
};

struct MalformedCase {
  const char* name;
  std::vector<MediaRecord> records;
};

void PrintTo(const MalformedCase& c, std::ostream* os) { *os << c.name; }

class MalformedMediaInfo : public ::testing::TestWithParam<MalformedCase> {};

TEST_P(MalformedMediaInfo, IsRefusedBeforeAnyCommandReachesTheCard) {
  constexpr std::size_t kTag = 0, kLog2Blocks = 4, kLog2Pages = 5;
  card::FaultPlan plan;
  std::array<std::uint8_t, 36> reply{};
  for (const MediaRecord& r : GetParam().records) {
    std::uint8_t* record = &reply[r.slot * 6u];
    record[kTag] = r.tag;
    record[kLog2Blocks] = r.log2Blocks;
    record[kLog2Pages] = r.log2Pages;
  }
  plan.mediaInfoReply = reply;
  Bench bench(CardOptions(k1M, false, {{0, 3}}), plan);

  ASSERT_EQ(bench.Open(), 1) << "the reply is decoded as it stands";
  const std::uint32_t commandsBefore = bench.reader->CommandCount();
  EXPECT_EQ(LowLevelFormat(*bench.device, bench.stop, bench.host), 0);

  const std::vector<HostMessage> messages = bench.host.Messages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_FALSE(messages[0].text.empty());
  EXPECT_EQ(messages[0], ErrorBox(messages[0].text));
  EXPECT_EQ(bench.host.ProgressPositions(), std::vector<int>{});
  EXPECT_EQ(bench.reader->CommandCount(), commandsBefore);
  EXPECT_TRUE(bench.device->log.empty());
  EXPECT_TRUE(bench.card->Media().Bytes() == bench.original) << "the raw card changed";
}

INSTANTIATE_TEST_SUITE_P(Replies, MalformedMediaInfo,
                         ::testing::Values(MalformedCase{"NoPresentRecord", {}},
                                           // 256 pages a block: no longer fits the byte that holds it.
                                           MalformedCase{"PagesPerBlockLog2Of8", {{0, 1, 8, 8}}},
                                           MalformedCase{"PagesPerBlockLog2Of255", {{0, 1, 8, 255}}},
                                           // More pages than 32 bits count.
                                           MalformedCase{"HugeBlockCount", {{0, 1, 0xFF, 5}}},
                                           MalformedCase{"PagesBeyond32Bits", {{0, 1, 28, 5}}},
                                           // Block numbers travel as 16 bits.
                                           MalformedCase{"BlocksBeyond16Bits", {{0, 1, 17, 3}}},
                                           MalformedCase{"SecondRecordWithoutFirst", {{1, 1, 8, 3}}},
                                           MalformedCase{"TooSmallForAFileSystem", {{0, 1, 4, 3}}}),
                         [](const auto& info) { return std::string(info.param.name); });

// --- The card pulled out during the format ----------------------------------------

struct RemovalCase {
  const char* name;
  bool withCis;
  std::function<bool(const Op&)> pulledAfter;  // the card goes right after the first such operation
  std::vector<HostMessage> messages;
  bool backendTells = true;  // false: a backend that cannot tell a pulled card from a failed command
};

void PrintTo(const RemovalCase& c, std::ostream* os) { *os << c.name; }

// The reader's command count right after the first operation `when` accepts,
// on an identical card formatted without trouble.
std::uint32_t CommandsUntil(bool withCis, const std::function<bool(const Op&)>& when) {
  Bench dry(CardOptions(k1M, withCis));
  std::uint32_t commands = 0;
  dry.device->afterOp = [&](const Op& op) {
    if (commands == 0 && when(op)) commands = dry.reader->CommandCount();
  };
  EXPECT_EQ(dry.Format(), 1);
  EXPECT_NE(commands, 0u);
  return commands;
}

const char* const kCardTakenOut =
    "The card was taken out of the reader during the format. Put it back and format it again.";

class CardRemoved : public ::testing::TestWithParam<RemovalCase> {};

TEST_P(CardRemoved, FailsWithTheMessageAndWritesNothingAfterwards) {
  const RemovalCase& c = GetParam();
  card::FaultPlan plan;
  plan.removeAfterCommands = CommandsUntil(c.withCis, c.pulledAfter);
  Bench bench(CardOptions(k1M, c.withCis), plan);
  bench.device->cannotTellGone = !c.backendTells;

  std::vector<std::uint8_t> atRemoval;
  bench.device->afterOp = [&](const Op&) {
    if (atRemoval.empty() && !bench.reader->CardPresent()) atRemoval = bench.card->Media().Bytes();
  };
  EXPECT_EQ(bench.Format(), 0);
  EXPECT_EQ(bench.host.Messages(), c.messages);
  ASSERT_FALSE(atRemoval.empty()) << "the card was not pulled out";
  EXPECT_TRUE(bench.card->Media().Bytes() == atRemoval) << "the card changed after it was pulled out";
}

const auto kErasedBlock50 = [](const Op& op) { return op.kind == OpKind::Erase && op.where == 50; };

INSTANTIATE_TEST_SUITE_P(
    Moments, CardRemoved,
    // Whatever the stage, the first command that fails with the card gone
    // ends the format, and no block is marked bad.
    ::testing::Values(
        RemovalCase{"DuringErasePass", true, kErasedBlock50, {ErrorBox(kCardTakenOut)}},
        RemovalCase{"DuringErasePassBeforeTheCisWrite", false, kErasedBlock50, {ErrorBox(kCardTakenOut)}},
        RemovalCase{"BetweenCisRedundantAndData",
                    false,
                    [](const Op& op) { return op.kind == OpKind::WriteRedundant; },
                    {ErrorBox(kCardTakenOut)}},
        RemovalCase{"AfterFormatEnd",
                    true,
                    [](const Op& op) { return op.kind == OpKind::FormatEnd; },
                    {ErrorBox(kCardTakenOut)}},
        // A backend that cannot tell: the read after block 50 fails, the
        // control too, and the reader reports no state: nothing is marked.
        RemovalCase{"DuringErasePassOnABackendThatCannotTell",
                    true,
                    kErasedBlock50,
                    {ErrorBox("The card does not answer any more: page 408 of unit 0 could not be read, and page 400 "
                              "of unit 0, read just before, could not be read again either, and the reader reports "
                              "no state for it. It may have been taken out of the reader. No block was marked bad.")},
                    false}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
