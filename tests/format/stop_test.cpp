// The Stop button: the stop flag raised at different moments of a format,
// and what the card and the operator see afterwards.
#include <gtest/gtest.h>

#include <optional>
#include <ostream>

#include "engine/fat_layout.h"
#include "tests/format/format_bench.h"

namespace {

using namespace formattest;

// The moment the flag goes up.
enum class Trigger {
  FirstPause,        // the backend's pause after a failed read during the scan
  ErasePassBlock,    // the progress position set for the n-th block of the erase pass
  MediaChangePause,  // the pause after the first format end
  FirstLogicalWrite,
  Position90,  // the position set after the MBR
};

// How much of the file system got written.
enum class FileSystem { None, MbrOnly, MbrAndBootSector };

struct StopCase {
  const char* name;
  bool withCis;
  std::uint32_t unreadableFrom;  // first page of blocks 0 up to this one unreadable
  Trigger trigger;
  int block;  // ErasePassBlock: counted from 0
  std::size_t reads, erases, cisWrites, formatEnds, sector0Reads;
  FileSystem fileSystem;
  int lastPosition;
};

void PrintTo(const StopCase& c, std::ostream* os) { *os << c.name; }

const card::CardGeometry k1M = Standard("1M");

int LastPosition(const std::vector<HostEvent>& events) {
  int position = -1;
  for (const HostEvent& e : events) {
    if (e.kind == HostEvent::Kind::Progress) position = e.a;
  }
  return position;
}

class Stop : public ::testing::TestWithParam<StopCase> {};

TEST_P(Stop, ReturnsZeroSilentlyAtTheNextCheckpoint) {
  const StopCase& c = GetParam();
  card::FaultPlan plan;
  for (std::uint32_t b = 0; b < c.unreadableFrom; ++b) plan.unreadablePages.push_back({0, b * 8});
  Bench bench(CardOptions(k1M, c.withCis), plan);

  int progressCalls = 0;
  bench.host.stopWhen = [&](const HostEvent& e) {
    switch (c.trigger) {
      case Trigger::FirstPause:
        return e.kind == HostEvent::Kind::Sleep;
      case Trigger::ErasePassBlock:
        // The first position is the 0 of the start; the pass's follow.
        return e.kind == HostEvent::Kind::Progress && ++progressCalls == c.block + 2;
      case Trigger::MediaChangePause:
        return e.kind == HostEvent::Kind::Sleep;
      case Trigger::Position90:
        return e.kind == HostEvent::Kind::Progress && e.a == 90;
      case Trigger::FirstLogicalWrite:
        return false;
    }
    return false;
  };
  bench.device->afterOp = [&](const Op& op) {
    if (c.trigger == Trigger::FirstLogicalWrite && op.kind == OpKind::WriteLba) bench.stop = 1;
  };

  EXPECT_EQ(bench.Format(), 0);
  EXPECT_TRUE(bench.host.Messages().empty());
  EXPECT_EQ(LastPosition(bench.host.Events()), c.lastPosition);

  const std::vector<Op>& log = bench.device->log;
  EXPECT_EQ(Count(log, OpKind::ReadPage), c.reads);
  EXPECT_EQ(Count(log, OpKind::Erase), c.erases);
  EXPECT_EQ(CisWrites(log).size(), c.cisWrites);
  EXPECT_EQ(Count(log, OpKind::FormatEnd), c.formatEnds);
  EXPECT_EQ(Count(log, OpKind::ReadLba), c.sector0Reads);
  EXPECT_EQ(Count(log, OpKind::DropHandle), 0u);

  const std::uint32_t bootSector = FindCapacityRow(2000)->partitionStart;
  std::size_t mbrWrites = 0;
  bool bootSectorWritten = false;
  for (const Op& op : log) {
    if (op.kind != OpKind::WriteLba) continue;
    if (op.where < bootSector) ++mbrWrites;
    if (op.where == bootSector) bootSectorWritten = true;
  }
  switch (c.fileSystem) {
    case FileSystem::None:
      EXPECT_EQ(Count(log, OpKind::WriteLba), 0u);
      break;
    case FileSystem::MbrOnly:
      EXPECT_EQ(Count(log, OpKind::WriteLba), mbrWrites);
      EXPECT_EQ(mbrWrites, std::size_t{bootSector}) << "the MBR and the zeroed sectors before the partition";
      break;
    case FileSystem::MbrAndBootSector:
      EXPECT_TRUE(bootSectorWritten);
      break;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Moments, Stop,
    ::testing::Values(
        // reads, erases, CIS writes, format ends, sector 0 reads
        // A read that fails before any has worked waits for one that works.
        StopCase{"DuringScan", false, 16, Trigger::FirstPause, 0, 1, 0, 0, 0, 0, FileSystem::None, 0},
        StopCase{"AtFirstErasedBlock", true, 0, Trigger::ErasePassBlock, 0, 2, 1, 0, 0, 0, FileSystem::None, 0},
        // Block 127 of 256: 127 x 8 x 80 / 2048.
        StopCase{"MidErasePass", false, 0, Trigger::ErasePassBlock, 127, 129, 128, 0, 0, 0, FileSystem::None, 39},
        // No checkpoint between the last block and the CIS write: the run goes on to
        // the read of sector 0 and stops before the MBR. The CIS page is read back.
        StopCase{"AtLastErasedBlock", false, 0, Trigger::ErasePassBlock, 255, 258, 256, 2, 1, 1, FileSystem::None, 85},
        StopCase{"AtMediaChangePause", true, 0, Trigger::MediaChangePause, 0, 256, 255, 0, 1, 1, FileSystem::None, 85},
        StopCase{"DuringMbr", true, 0, Trigger::FirstLogicalWrite, 0, 256, 255, 0, 1, 1, FileSystem::MbrOnly, 85},
        StopCase{"DuringBootSector", true, 0, Trigger::Position90, 0, 256, 255, 0, 1, 1, FileSystem::MbrAndBootSector,
                 90}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
