// What the operator sees during a whole format: the progress positions, the
// status texts and the pauses, in order, on the virtual clock.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "tests/format/format_bench.h"

namespace {

using namespace formattest;

struct ProgressCase {
  const char* name;
  card::CardGeometry geometry;
  bool withCis;
  std::vector<card::BlockRef> bad;
  std::uint32_t scanEnd;  // block of unit 0 where the CIS scan ended
  bool cisFound;
  std::uint32_t scanReadFaults = 0;  // blocks after the bad ones whose first page cannot be read
};

void PrintTo(const ProgressCase& c, std::ostream* os) { *os << c.name; }

constexpr std::uint32_t kPause = 1000;  // after a failed command, and after each format end

std::string Range(int low, int high) { return "range " + std::to_string(low) + "-" + std::to_string(high); }
std::string Position(std::uint32_t p) { return "progress " + std::to_string(p); }
std::string Status(const std::string& text) { return "status " + text; }
std::string Pause(std::uint32_t ms, std::uint64_t at) {
  return "sleep " + std::to_string(ms) + " at " + std::to_string(at);
}

std::vector<std::string> Describe(const std::vector<HostEvent>& events) {
  std::vector<std::string> out;
  for (const HostEvent& e : events) {
    switch (e.kind) {
      case HostEvent::Kind::Range:
        out.push_back(Range(e.a, e.b));
        break;
      case HostEvent::Kind::Progress:
        out.push_back(Position(static_cast<std::uint32_t>(e.a)));
        break;
      case HostEvent::Kind::Status:
        out.push_back(Status(e.text));
        break;
      case HostEvent::Kind::Sleep:
        out.push_back(Pause(static_cast<std::uint32_t>(e.a), e.at));
        break;
      case HostEvent::Kind::Message:
        out.push_back("message " + e.message.text);
        break;
      case HostEvent::Kind::ShowStatus:
        out.push_back("show status " + std::to_string(e.a));
        break;
    }
  }
  return out;
}

// The erase pass moves the bar once per block of every unit: the share of
// the sectors counted so far, counting from where the scan ended, before the
// block's own sectors are added.
std::vector<std::string> ErasePassPositions(const ProgressCase& c) {
  std::uint32_t total = 0;
  for (const card::UnitGeometry& unit : c.geometry.units) total += unit.Pages();
  std::uint32_t done = c.scanEnd * c.geometry.units[0].pagesPerBlock;
  std::vector<std::string> out;
  for (std::size_t u = 0; u < c.geometry.units.size(); ++u) {
    const card::UnitGeometry& unit = c.geometry.units[u];
    const std::uint32_t first = (u == 0 && c.cisFound) ? c.scanEnd + 1 : 0;
    for (std::uint32_t b = first; b < unit.blocks; ++b) {
      out.push_back(Position(done * 80 / total));
      done += unit.pagesPerBlock;
    }
  }
  return out;
}

class WholeRun : public ::testing::TestWithParam<ProgressCase> {};

TEST_P(WholeRun, ShowsEveryPositionStatusAndPauseInOrder) {
  const ProgressCase& c = GetParam();
  Bench bench(CardOptions(c.geometry, c.withCis, c.bad),
              UnreadableFirstPages(c.geometry, static_cast<std::uint32_t>(c.bad.size()), c.scanReadFaults));
  ASSERT_EQ(bench.Format(), 1);

  std::vector<std::string> expected = {Range(0, 100), Position(0), Status("Formatting............")};
  std::uint64_t clock = 0;
  for (std::uint32_t i = 0; i < 2 * c.scanReadFaults; ++i, clock += kPause) expected.push_back(Pause(kPause, clock));
  for (const std::string& p : ErasePassPositions(c)) expected.push_back(p);
  for (const std::string& e : {Position(85), Status("Building file system....."), Pause(kPause, clock), Position(90),
                               Position(98), Pause(kPause, clock + kPause), Position(100)}) {
    expected.push_back(e);
  }
  for (const std::string& text : UnreadableWarning(c.scanReadFaults)) expected.push_back("message " + text);
  EXPECT_EQ(Describe(bench.host.Events()), expected);
  EXPECT_EQ(bench.host.Now(), clock + 2 * kPause);
}

const card::CardGeometry k1M = Standard("1M");
const card::CardGeometry k8M = Standard("8M");
const card::CardGeometry kTwoUnits{{{256, 8}, {512, 16}}};

INSTANTIATE_TEST_SUITE_P(
    Cards, WholeRun,
    ::testing::Values(ProgressCase{"CisInBlock0", k1M, true, {}, 0, true},
                      ProgressCase{"NoCis", k1M, false, {}, 0, false},
                      // The count starts at the CIS block, the erasing one block later.
                      ProgressCase{"TwoUnitsCisAfterBadBlocks", kTwoUnits, true, BlockRange(0, 2), 2, true},
                      // The count starts 16 blocks in although the erasing starts at
                      // block 0, so the pass ends above 80.
                      ProgressCase{"First16Bad", k8M, false, BlockRange(0, 16), 16, false},
                      // A block that cannot be read does not end the scan.
                      ProgressCase{"First16BadOrUnreadable", k8M, false, BlockRange(0, 10), 16, false, 6}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
