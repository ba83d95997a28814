// Cards a format used to report as formatted although they were not: a
// failed write of the file system, a CIS written where it cannot be found,
// a block that keeps its old data, a CIS that hosts reject for its ECC. Each
// run must end with a card the independent check passes, or with a failure.
#include <gtest/gtest.h>

#include <functional>
#include <ostream>

#include "card/card_check.h"
#include "card/card_tools.h"
#include "card/page_format.h"
#include "engine/retirement_rule.h"
#include "tests/format/format_bench.h"

namespace {

using namespace formattest;
using card::CommandFault;

constexpr std::uint8_t kWrite10 = 0x2A;
const char* const kOneUnreadable = "1 block of the card could not be read and was marked bad.";
const char* const kOneUnerasable = "1 block of the card could not be erased and was marked bad.";

HostMessage WarningBox(const std::string& text) {
  return HostMessage{text, "Warning", MessageStyle{MessageButtons::Ok, MessageIcon::Warning}, MessageOwner::Dialog};
}

HostMessage InformationBox(const std::string& text) {
  return HostMessage{text, "Information", MessageStyle{MessageButtons::Ok, MessageIcon::Information},
                     MessageOwner::Dialog};
}

struct IntegrityCase {
  const char* name;
  const char* size;
  bool withCis;
  card::Fill fill;
  std::function<void(card::FaultPlan&)> faults;
  std::function<void(card::Nand&)> before;  // changes to the card before the format
  int result;
  std::vector<HostMessage> messages;
  std::optional<std::uint32_t> cisBlock;  // where the CIS is afterwards, on success
  std::vector<std::uint32_t> badBlocks;   // of unit 0 afterwards, on success
};

void PrintTo(const IntegrityCase& c, std::ostream* os) { *os << c.name; }

class Integrity : public ::testing::TestWithParam<IntegrityCase> {};

TEST_P(Integrity, SuccessOnlyOverASoundCard) {
  const IntegrityCase& c = GetParam();
  card::CreateOptions options = CardOptions(Standard(c.size), c.withCis);
  options.fill = c.fill;
  card::FaultPlan plan;
  if (c.faults) c.faults(plan);
  Bench bench(options, plan);
  if (c.before) c.before(bench.card->Media());

  EXPECT_EQ(bench.Format(), c.result);
  EXPECT_EQ(bench.host.Messages(), c.messages);
  if (c.result != 1) return;
  const card::CardCheck check = card::CheckCard(bench.card->Media(), {true});
  EXPECT_TRUE(check.Passed()) << ::testing::PrintToString(check.Report());
  EXPECT_EQ(check.cisBlock, c.cisBlock);
  std::vector<std::uint32_t> bad;
  for (const card::BlockRef& b : card::Inspect(*bench.card).badBlocks) bad.push_back(b.block);
  EXPECT_EQ(bad, c.badBlocks);
}

INSTANTIATE_TEST_SUITE_P(
    Cards, Integrity,
    ::testing::Values(
        // A zero fill of the root directory fails (write 25 of a 1 MB card is
        // sector 24): the writers ignore it, the check does not.
        IntegrityCase{"RootDirectoryWriteFails",
                      "1M",
                      true,
                      card::Fill::Random,
                      [](card::FaultPlan& p) {
                        p.commandFaults = {CommandFault{kWrite10, std::nullopt, 25, false}};
                      },
                      nullptr,
                      0,
                      {ErrorBox("Write file system error: 1 sector could not be written.")},
                      std::nullopt,
                      {}},
        // Block 0 of a used card without a CIS cannot be erased at all: the CIS
        // must not be programmed over its old data.
        IntegrityCase{"CisBlockEraseFails",
                      "1M",
                      false,
                      card::Fill::Random,
                      [](card::FaultPlan& p) {
                        p.failingErase = {{0, 0}};
                      },
                      nullptr,
                      1,
                      {WarningBox(kOneUnerasable)},
                      1,
                      {0}},
        // Block 0 holds the CIS but its first page cannot be read: block 1
        // takes a new CIS, so block 0 must not pass for a good block.
        IntegrityCase{"CisPageUnreadable",
                      "1M",
                      true,
                      card::Fill::Erased,
                      [](card::FaultPlan& p) {
                        p.unreadablePages = {{0, 0}};
                      },
                      nullptr,
                      1,
                      {WarningBox(kOneUnreadable)},
                      1,
                      {0}},
        // A block whose erase fails keeps its user data and its logical address.
        IntegrityCase{"BlockEraseFails",
                      "1M",
                      true,
                      card::Fill::Random,
                      [](card::FaultPlan& p) {
                        p.failingErase = {{0, 100}};
                      },
                      nullptr,
                      1,
                      {WarningBox(kOneUnerasable)},
                      0,
                      {100}},
        IntegrityCase{"BlockCanNeitherBeErasedNorMarked",
                      "1M",
                      true,
                      card::Fill::Random,
                      [](card::FaultPlan& p) {
                        p.failingErase = {{0, 100}};
                        p.failingProgram = {{0, 100}};
                      },
                      nullptr,
                      0,
                      {ErrorBox("Block 100 of unit 0 could be neither erased nor marked bad, and it still holds the "
                                "old data of logical block 99, which the reader would map again. The card cannot "
                                "be formatted.")},
                      std::nullopt,
                      {}},
        // The CIS as formats before the ECC was written left it: written anew, and said so.
        IntegrityCase{"CisWithZeroEcc",
                      "1M",
                      false,
                      card::Fill::Erased,
                      nullptr,
                      [](card::Nand& nand) {
                        const PageBuffer old = card::ZeroEccCisPage();
                        ASSERT_TRUE(nand.Program(0, 0, 0, old.data(), old.size()));
                      },
                      1,
                      {InformationBox("The low level header of the card had a wrong ECC and was written anew.")},
                      0,
                      {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Integrity, ZeroEccCisComesOutAsWritten) {
  Bench bench(CardOptions(Standard("2M"), false));
  const PageBuffer old = card::ZeroEccCisPage();
  ASSERT_TRUE(bench.card->Media().Program(0, 0, 0, old.data(), old.size()));
  ASSERT_EQ(bench.Format(), 1);
  EXPECT_EQ(PageBytes(*bench.card, 0, 0), ExpectedCisPage());
  EXPECT_EQ(ErasedBlocks(bench.device->log, 0).front(), 0u) << "the block was erased before the CIS was rewritten";
}

// A maker's CIS whose tuples differ from ours but whose ECC matches its data
// is never touched.
TEST(Integrity, FactoryCisWithItsOwnTuplesStays) {
  Bench bench(CardOptions(Standard("1M"), false));
  PageBuffer factory = card::CisPage();
  factory[102] = 0x31;  // "1.0" instead of "0.0" in the version strings
  const Ecc ecc = SmartMediaEcc(factory.data());
  std::copy(ecc.begin(), ecc.end(), factory.begin() + kSectorSize + 13);
  ASSERT_TRUE(bench.card->Media().Program(0, 0, 0, factory.data(), factory.size()));
  ASSERT_EQ(bench.Format(), 1);
  EXPECT_TRUE(bench.host.Messages().empty());
  EXPECT_TRUE(CisWrites(bench.device->log).empty());
  EXPECT_EQ(PageBytes(*bench.card, 0, 0), std::vector<std::uint8_t>(factory.begin(), factory.end()));
}

// A card pulled out during the erase pass costs one failed command where
// the backend can tell; elsewhere three (the block's read and the control's
// two) and the state query that fails, instead of pausing 1000 ms for each
// remaining block.
TEST(Integrity, PulledCardEndsTheFormatAtOnce) {
  for (const bool tells : {true, false}) {
    card::FaultPlan plan;
    plan.removeAfterCommands = 200;
    Bench bench(CardOptions(Standard("16M"), true), plan);
    bench.device->cannotTellGone = !tells;
    EXPECT_EQ(bench.Format(), 0);
    ASSERT_EQ(bench.host.MessageTexts().size(), 1u);
    EXPECT_EQ(bench.host.MessageTexts()[0].substr(0, 30),
              tells ? "The card was taken out of the " : "The card does not answer any m");
    EXPECT_EQ(bench.host.TotalSleep(), tells ? 1000u : 4000u);
    EXPECT_TRUE(card::Inspect(*bench.card).badBlocks.empty());
  }
}

}  // namespace
