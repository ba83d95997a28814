// The fault matrix: whole formats of 1 MB cards (with and without a CIS, with
// a bad block, used) with the card pulled before each command, with each
// fault of the chip (alone, and an unreadable first page together with
// failing programming) at the CIS block, a normal block and the last block,
// and with each kind of command failing at its first and at its last use,
// and for good from its first and from its middle use on. For every run: no
// crash, no endless run, success only over a card the independent check
// passes, no block marked bad by a lasting command fault, and a second
// format without faults always yields a card the check passes. Every pause
// runs on the virtual clock.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "card/card.h"
#include "card/card_check.h"
#include "card/card_tools.h"
#include "engine/failure_run.h"
#include "engine/low_level_format.h"
#include "sim/reader.h"
#include "sim/sim_reader_device.h"
#include "tests/support/recording_host.h"

namespace {

const card::CardGeometry k1M{{{256, 8}}};
constexpr std::uint32_t kLastBlock = 255;
constexpr std::uint32_t kNormalBlock = 100;
constexpr std::uint32_t kPagesPerBlock = 8;

struct Variant {
  const char* name;
  bool withCis;
  std::vector<card::BlockRef> bad;
  card::Fill fill;
  std::uint32_t cisBlock;  // where the CIS is, or goes
};

void PrintTo(const Variant& v, std::ostream* os) { *os << v.name; }

const Variant kVariants[] = {
    {"NoCis", false, {}, card::Fill::Erased, 0},
    {"Cis", true, {}, card::Fill::Erased, 0},
    {"BadBlock0", true, {{0, 0}}, card::Fill::Erased, 1},
    {"Used", true, {}, card::Fill::Random, 0},
};

// The card of a variant, made once and copied for every run.
const std::vector<std::uint8_t>& Template(const Variant& v) {
  static std::map<std::string, std::vector<std::uint8_t>> made;
  auto it = made.find(v.name);
  if (it == made.end()) {
    card::CreateOptions options;
    options.geometry = k1M;
    options.withCis = v.withCis;
    options.plan.factoryBadBlocks = v.bad;
    options.fill = v.fill;
    card::CardOpen card = card::CreateCard(options);
    EXPECT_TRUE(card) << card.error;
    it = made.emplace(v.name, card ? card.card->Media().Bytes() : std::vector<std::uint8_t>{}).first;
  }
  return it->second;
}

// Counts the uses of each command kind of the format, keyed as the fault
// plan names them (opcode, and the sub-function of E6h).
class CountingReader : public CSimReader {
 public:
  using CSimReader::CSimReader;
  std::map<std::pair<std::uint8_t, int>, std::uint32_t> uses;

  int ReadPhySector(std::uint8_t u, std::uint32_t s, PageBuffer& p) override {
    return Count(0xEA, CSimReader::ReadPhySector(u, s, p));
  }
  int ErasePhyBlk(std::uint8_t u, std::uint16_t b) override { return Count(0xE8, CSimReader::ErasePhyBlk(u, b)); }
  int WriteRedundant(std::uint8_t u, std::uint32_t s, const RedundantArea& r) override {
    return Count(0xE9, CSimReader::WriteRedundant(u, s, r));
  }
  int WritePhySector(std::uint8_t u, std::uint32_t s, const SectorBuffer& d) override {
    return Count(0xEB, CSimReader::WritePhySector(u, s, d));
  }
  int FormatEnd() override { return Count(0xE6, CSimReader::FormatEnd(), 5); }
  int ReadLBA(std::uint16_t s, std::uint16_t n, std::uint8_t* d) override {
    return Count(0x28, CSimReader::ReadLBA(s, n, d));
  }
  int WriteLBA(std::uint16_t s, std::uint16_t n, const std::uint8_t* d) override {
    return Count(0x2A, CSimReader::WriteLBA(s, n, d));
  }

 private:
  int Count(std::uint8_t opcode, int result, int sub = -1) {
    ++uses[{opcode, sub}];
    return result;
  }
};

// One card taken through a format with faults, then through one without.
struct Trial {
  std::string label;
  card::Card card;
  RecordingHost host;
  std::atomic<int> stop{0};

  Trial(const Variant& v, std::string what)
      : label(std::string(v.name) + ": " + what), card(card::Nand(k1M, Template(v))) {}

  // A format on a fresh reader with `plan`; the reader's commands before the
  // format (the device search) are in `base`.
  struct Result {
    int formatted = 0;
    std::uint32_t commands = 0;  // of the format alone
    std::uint64_t slept = 0;
    std::map<std::pair<std::uint8_t, int>, std::uint32_t> uses;
    std::vector<std::string> messages;
  };
  Result Format(card::FaultPlan plan, const std::function<void(card::FaultPlan&, std::uint32_t)>& atStart = nullptr) {
    sim::Reader reader(card, {});
    CountingReader device(host, reader);
    char letter = 0;
    EXPECT_EQ(device.FindDevice(letter), 1) << label;
    const std::uint32_t base = reader.CommandCount();
    if (atStart) atStart(plan, base);
    reader.Plan() = plan;
    const std::uint64_t sleptBefore = host.TotalSleep();
    const std::size_t messagesBefore = host.MessageTexts().size();
    Result result;
    result.formatted = LowLevelFormat(device, stop, host);
    result.commands = reader.CommandCount() - base;
    result.slept = host.TotalSleep() - sleptBefore;
    result.uses = device.uses;
    const std::vector<std::string> messages = host.MessageTexts();
    result.messages.assign(messages.begin() + static_cast<std::ptrdiff_t>(messagesBefore), messages.end());
    return result;
  }

  card::CardCheck Check() const { return card::CheckCard(card.Media(), {true}); }
};

// Commands a clean format of the variant sends, and its uses of each kind.
Trial::Result CleanFormat(const Variant& v) {
  Trial run(v, "clean");
  return run.Format({});
}

std::string Describe(const card::CardCheck& check) {
  std::string text;
  for (const std::string& line : check.Report(3)) text += "\n  " + line;
  return text;
}

// The invariant of one run, given the first format's result.
void ExpectSoundOutcome(Trial& run, const Trial::Result& first, std::uint32_t cleanCommands) {
  // Bounded: a pulled card costs at most the give-up run of failed commands
  // and the file-system writes that fail at once; a sector of the file
  // system that fails, a search of its zone for the block that holds it.
  EXPECT_LE(first.commands, cleanCommands + 2 * FailureRun::kCardGone + 64 + 256) << run.label;
  EXPECT_LE(first.slept, (FailureRun::kCardGone + 64) * 1000u) << run.label;
  if (first.formatted == 1) {
    const card::CardCheck check = run.Check();
    EXPECT_TRUE(check.Passed()) << run.label << ": reported formatted over" << Describe(check);
  }
  const Trial::Result second = run.Format({});
  EXPECT_EQ(second.formatted, 1) << run.label << ": the second format failed "
                                 << ::testing::PrintToString(run.host.MessageTexts());
  const card::CardCheck check = run.Check();
  EXPECT_TRUE(check.Passed()) << run.label << ": after the second format" << Describe(check);
}

class Matrix : public ::testing::TestWithParam<Variant> {};

TEST_P(Matrix, CardPulledBeforeEachCommand) {
  const Variant& v = GetParam();
  const Trial::Result clean = CleanFormat(v);
  ASSERT_EQ(clean.formatted, 1);
  for (std::uint32_t before = 0; before <= clean.commands; ++before) {
    Trial run(v, "pulled before command " + std::to_string(before + 1));
    const Trial::Result first = run.Format(
        {}, [before](card::FaultPlan& plan, std::uint32_t base) { plan.removeAfterCommands = base + before; });
    EXPECT_EQ(first.formatted, before == clean.commands ? 1 : 0) << run.label;
    if (before < clean.commands) {
      // The first command that meets the empty slot ends the format (the
      // reader notices a pull at the end of a command, so never before the first).
      EXPECT_EQ(first.commands, std::max(before, 1u) + 1) << run.label;
      EXPECT_EQ(first.messages, std::vector<std::string>{CardGoneText(CommandFault::NoMedium)}) << run.label;
    }
    ExpectSoundOutcome(run, first, clean.commands);
    if (HasFailure()) return;
  }
}

TEST_P(Matrix, EachChipFaultAtTheCisANormalAndTheLastBlock) {
  const Variant& v = GetParam();
  const std::uint32_t cleanCommands = CleanFormat(v).commands;
  using Plant = std::function<void(card::FaultPlan&, std::uint32_t)>;
  const std::vector<std::pair<const char*, Plant>> kinds = {
      {"unreadable first page",
       [](card::FaultPlan& p, std::uint32_t b) {
         p.unreadablePages = {{0, b * kPagesPerBlock}};
       }},
      {"unreadable last page",
       [](card::FaultPlan& p, std::uint32_t b) {
         p.unreadablePages = {{0, b * kPagesPerBlock + kPagesPerBlock - 1}};
       }},
      {"erase fails",
       [](card::FaultPlan& p, std::uint32_t b) {
         p.failingErase = {{0, b}};
       }},
      {"program fails",
       [](card::FaultPlan& p, std::uint32_t b) {
         p.failingProgram = {{0, b}};
       }},
      {"unreadable first page, program fails",
       [](card::FaultPlan& p, std::uint32_t b) {
         p.unreadablePages = {{0, b * kPagesPerBlock}};
         p.failingProgram = {{0, b}};
       }},
  };
  for (const auto& [kind, plant] : kinds) {
    for (std::uint32_t block : {v.cisBlock, kNormalBlock, kLastBlock}) {
      Trial run(v, std::string(kind) + " at block " + std::to_string(block));
      card::FaultPlan plan;
      plant(plan, block);
      const Trial::Result first = run.Format(plan);
      ExpectSoundOutcome(run, first, cleanCommands);
    }
  }
}

// Once: at the first and the last use. For good (a reader whose firmware
// differs, a bad contact): from the first and from the middle use on, which
// must never retire a block, as the failures are no block's own.
TEST_P(Matrix, EachCommandKindFailingOnceAndForGood) {
  const Variant& v = GetParam();
  const Trial::Result clean = CleanFormat(v);
  ASSERT_FALSE(clean.uses.empty());
  const std::size_t badBefore = v.bad.size();
  for (const auto& [command, uses] : clean.uses) {
    const auto [opcode, sub] = command;
    for (const auto& [at, forGood] :
         {std::pair{1u, false}, std::pair{uses, false}, std::pair{1u, true}, std::pair{uses / 2 + 1, true}}) {
      Trial run(v, "command " + std::to_string(opcode) + (sub < 0 ? "" : "/" + std::to_string(sub)) + " fails " +
                       (forGood ? "from" : "at") + " use " + std::to_string(at) + " of " + std::to_string(uses));
      card::FaultPlan plan;
      card::CommandFault fault;
      fault.opcode = opcode;
      if (sub >= 0) fault.subFunction = static_cast<std::uint8_t>(sub);
      fault.failAtCall = at;
      fault.andLater = forGood;
      plan.commandFaults = {fault};
      const Trial::Result first = run.Format(plan);
      if (forGood) {
        EXPECT_EQ(card::Inspect(run.card).badBlocks.size(), badBefore) << run.label << ": blocks marked bad";
      }
      ExpectSoundOutcome(run, first, clean.commands);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Cards1M, Matrix, ::testing::ValuesIn(kVariants),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
