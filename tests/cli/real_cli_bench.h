// smformat run in process against a model of a Linux machine (FakeSgSystem):
// its disks, USB readers with simulated cards, mounts and the caller's
// rights, with string streams and a virtual clock.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "app/cli/smformat_cli.h"
#include "sim/reader.h"
#include "tests/sgio/fake_sg_system.h"
#include "tests/sim/sim_bench.h"

namespace clitest {

struct ToolRun {
  int status = -1;
  std::string out;
  std::string err;
  std::uint64_t slept = 0;
};

inline bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

class Machine : public ::testing::Test {
 public:
  sim::Reader& AddReader(const std::string& name, const card::CardGeometry& geometry = simtest::Standard("1M"),
                         card::FaultPlan plan = {}, FakeSgSystem::UsbId id = FakeSgSystem::kSupportedReader,
                         card::Fill fill = card::Fill::Erased) {
    return Attach(name, simtest::MakeCard(geometry, plan, true, fill), plan, id);
  }

  sim::Reader& Attach(const std::string& name, std::unique_ptr<card::Card> card, card::FaultPlan plan,
                      FakeSgSystem::UsbId id = FakeSgSystem::kSupportedReader) {
    cards.push_back(std::move(card));
    readers.push_back(std::make_unique<sim::Reader>(*cards.back(), std::move(plan)));
    system.AddReader(name, *readers.back(), id);
    return *readers.back();
  }

  ToolRun Smformat(const std::vector<std::string>& args, const std::string& input = "") {
    std::ostringstream out, err;
    std::istringstream in(input);
    std::atomic<int> stopFlag{1};
    ToolRun run;
    CliContext context{out, err, in, false, [&](std::uint32_t ms) { run.slept += ms; }, stopFlag};
    context.sgSystem = &system;
    run.status = SmformatMain(args, context);
    run.out = out.str();
    run.err = err.str();
    return run;
  }

  void TearDown() override {
    for (const std::string& problem : system.Misuse()) ADD_FAILURE() << problem;
    EXPECT_EQ(system.OpenDescriptors(), 0) << "a descriptor was left open";
  }

  std::vector<std::unique_ptr<card::Card>> cards;
  std::vector<std::unique_ptr<sim::Reader>> readers;
  FakeSgSystem system;
};

}  // namespace clitest
