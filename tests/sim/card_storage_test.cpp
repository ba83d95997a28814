#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "card/card.h"
#include "card/card_storage.h"
#include "sim/reader.h"
#include "tests/sim/sim_bench.h"

namespace {

using simtest::Pattern;
using simtest::ScratchPath;
using simtest::Send;

std::vector<std::uint8_t> FileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(std::max<std::streamoff>(in.tellg(), 0)));
  in.seekg(0);
  in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return bytes;
}

void PutFile(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

constexpr std::size_t kBytes = 1 << 20;
constexpr std::size_t kBlock = 32 * 528;

struct StorageKind {
  const char* name;
  std::function<card::StorageOpen(const std::string&, card::Access)> open;
};

class StorageContract : public ::testing::TestWithParam<StorageKind> {
 protected:
  void SetUp() override {
    path = ScratchPath("image");
    model = Pattern(kBytes, 3);
    PutFile(path, model);
  }
  std::unique_ptr<card::CardStorage> Open(card::Access access = card::Access::ReadWrite) {
    card::StorageOpen opened = GetParam().open(path, access);
    EXPECT_TRUE(opened) << opened.error;
    return std::move(opened.storage);
  }
  void Change(card::CardStorage& storage, std::uint64_t offset, const std::vector<std::uint8_t>& bytes) {
    std::uint8_t* target = storage.Change(offset, bytes.size());
    ASSERT_NE(target, nullptr) << storage.Error();
    std::copy(bytes.begin(), bytes.end(), target);
    std::copy(bytes.begin(), bytes.end(), model.begin() + static_cast<std::ptrdiff_t>(offset));
  }
  void Fill(card::CardStorage& storage, std::uint64_t offset, std::size_t length) {
    ASSERT_TRUE(storage.Fill(offset, length, 0xFF)) << storage.Error();
    std::fill_n(model.begin() + static_cast<std::ptrdiff_t>(offset), length, 0xFF);
  }
  bool Shows(card::CardStorage& storage, std::uint64_t offset, std::size_t length) {
    const std::uint8_t* bytes = storage.Read(offset, length);
    return bytes != nullptr && std::equal(bytes, bytes + length, model.begin() + static_cast<std::ptrdiff_t>(offset));
  }

  std::string path;
  std::vector<std::uint8_t> model;
};

TEST_P(StorageContract, ReadsShowEveryChangeAndCommitPutsThemInTheFile) {
  auto storage = Open();
  ASSERT_EQ(storage->Size(), kBytes);
  Change(*storage, 5000, Pattern(528, 4));
  Change(*storage, 5528, Pattern(16, 5));  // the next bytes: one gathered write
  EXPECT_TRUE(Shows(*storage, 4096, 4096));
  Change(*storage, kBytes - 528, Pattern(528, 6));  // far away
  Fill(*storage, 3 * kBlock, kBlock);
  EXPECT_TRUE(Shows(*storage, 3 * kBlock - 100, kBlock + 200));
  Change(*storage, 3 * kBlock + 40, Pattern(100, 7));  // into the erased block
  ASSERT_TRUE(storage->Commit()) << storage->Error();
  EXPECT_TRUE(FileBytes(path) == model);
  EXPECT_TRUE(Shows(*storage, 0, card::CardStorage::kMaxSpan));
}

TEST_P(StorageContract, ErasesOfConsecutiveBlocksWaitAtMostOneRun) {
  auto storage = Open();
  const std::vector<std::uint8_t> before = model;
  std::size_t erased = 0;
  // Each Commit ends a command that only erased.
  for (std::uint64_t offset = 0; offset + kBlock <= kBytes; offset += kBlock, erased += kBlock) {
    Fill(*storage, offset, kBlock);
    ASSERT_TRUE(storage->Commit());
    // The file holds every erase but at most the last run's.
    const std::vector<std::uint8_t> file = FileBytes(path);
    const std::size_t waiting = std::min(erased + kBlock, card::CardStorage::kMaxFillRun);
    const std::size_t written = erased + kBlock - waiting;
    ASSERT_TRUE(std::equal(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(written), model.begin()));
    ASSERT_TRUE(std::equal(file.begin() + static_cast<std::ptrdiff_t>(erased + kBlock), file.end(),
                           before.begin() + static_cast<std::ptrdiff_t>(erased + kBlock)));
  }
  // A command that changes anything else ends with everything written.
  Change(*storage, 10, Pattern(20, 8));
  Fill(*storage, kBytes - kBlock, kBlock);
  ASSERT_TRUE(storage->Commit());
  EXPECT_TRUE(FileBytes(path) == model);
}

TEST_P(StorageContract, FlushWritesEverything) {
  {
    auto storage = Open();
    Fill(*storage, kBlock, kBlock);
    Fill(*storage, 2 * kBlock, kBlock);
    ASSERT_TRUE(storage->Flush());
    EXPECT_TRUE(FileBytes(path) == model);
    Fill(*storage, 5 * kBlock, kBlock);
  }
  EXPECT_TRUE(FileBytes(path) == model) << "closing writes what waits";
}

TEST_P(StorageContract, ReadOnlyNeverWrites) {
  const std::vector<std::uint8_t> before = FileBytes(path);
  auto storage = Open(card::Access::ReadOnly);
  EXPECT_FALSE(storage->Writable());
  EXPECT_TRUE(Shows(*storage, 1000, 2000));
  EXPECT_EQ(storage->Change(0, 16), nullptr);
  EXPECT_FALSE(storage->Fill(0, 16, 0xFF));
  EXPECT_NE(storage->Error().find("reading only"), std::string::npos) << storage->Error();
  EXPECT_FALSE(storage->Flush());
  storage.reset();
  EXPECT_TRUE(FileBytes(path) == before);
}

INSTANTIATE_TEST_SUITE_P(Kinds, StorageContract,
                         ::testing::Values(StorageKind{"Platform", card::OpenFileStorage},
                                           StorageKind{"Stream", card::OpenStreamStorage}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(FileStorage, AMissingFileIsRefusedWithTheSystemsWords) {
  const std::string path = ScratchPath("none");
  std::filesystem::remove(path);
  for (auto open : {card::OpenFileStorage, card::OpenStreamStorage}) {
    const card::StorageOpen opened = open(path, card::Access::ReadOnly);
    EXPECT_FALSE(opened);
    EXPECT_NE(opened.error.find("No such file or directory"), std::string::npos) << opened.error;
  }
}

// Stands in for a host whose disk fills up: changes fail from the n-th on.
class FullDisk : public card::MemoryStorage {
 public:
  FullDisk(std::vector<std::uint8_t> bytes, int changesLeft_) : MemoryStorage(std::move(bytes)), left(changesLeft_) {}
  std::uint8_t* Change(std::uint64_t offset, std::size_t length) override {
    if (left-- <= 0) {
      Fail("card.img: cannot write the image: No space left on device");
      return nullptr;
    }
    return MemoryStorage::Change(offset, length);
  }

 private:
  int left;
};

TEST(HostFailure, FailsTheCommandAndEveryLaterOneWithTheHostsWords) {
  const card::CardGeometry geometry = simtest::Standard("1M");
  card::Card card(
      card::Nand(geometry, std::make_unique<FullDisk>(std::vector<std::uint8_t>(geometry.ImageBytes(), 0xFF), 1000)),
      "card.img");
  sim::Reader reader(card);
  std::vector<std::uint8_t> sector = Pattern(512, 1);
  ASSERT_EQ(Send(reader, WriteLbaCommand(0, 1), sector.data()), sim::kStatusGood);  // 16 page programs
  for (int i = 0; i < 100 && reader.LastError().empty(); ++i) Send(reader, WriteLbaCommand(1, 1), sector.data());
  EXPECT_EQ(reader.LastError(), "card.img: cannot write the image: No space left on device");
  std::uint8_t state = 0;
  EXPECT_EQ(Send(reader, GetDeviceStateCommand(), &state), sim::kStatusCheckCondition);
  EXPECT_EQ(Send(reader, ReadLbaCommand(0, 1), sector.data()), sim::kStatusCheckCondition);
}

#ifndef _WIN32
// A crash of the process (here: it ends without closing anything) after the
// n-th command leaves the file as the card was after some command k: at
// most the command in flight or the last run of erases behind.
class CrashTest : public ::testing::TestWithParam<int> {};

std::size_t Digest(const std::vector<std::uint8_t>& bytes) {
  return std::hash<std::string_view>{}(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

std::vector<ReaderCommand> Commands() {
  std::vector<ReaderCommand> commands;
  for (std::uint16_t block = 20; block < 120; ++block) commands.push_back(ErasePhyBlkCommand(0, block));
  commands.push_back(WriteLbaCommand(3, 1));
  commands.push_back(WritePhySectorCommand(0, 8 * 21));
  for (std::uint16_t block = 150; block < 250; ++block) commands.push_back(ErasePhyBlkCommand(0, block));
  return commands;
}

card::CreateOptions UsedCard() {
  card::CreateOptions options;
  options.geometry = simtest::Standard("1M");
  options.fill = card::Fill::Random;
  return options;
}

// Digests of the states the card goes through, on a copy in memory.
const std::vector<std::size_t>& States() {
  static const std::vector<std::size_t> states = [] {
    std::vector<std::size_t> digests;
    card::CardOpen copy = card::CreateCard(UsedCard());
    sim::Reader reader(*copy.card);
    std::vector<std::uint8_t> data = Pattern(512, 2);
    digests.push_back(Digest(copy.card->Media().Bytes()));
    for (const ReaderCommand& command : Commands()) {
      Send(reader, command, data.data());
      digests.push_back(Digest(copy.card->Media().Bytes()));
    }
    return digests;
  }();
  return states;
}

TEST_P(CrashTest, LeavesTheCardAsAfterARecentCommand) {
  const std::string path = ScratchPath("card.img");
  ASSERT_TRUE(card::CreateCardImage(path, UsedCard()));
  const std::vector<std::size_t>& states = States();
  std::vector<std::uint8_t> data = Pattern(512, 2);
  const int crashAfter = GetParam();
  EXPECT_EXIT(
      {
        card::CardOpen opened = card::OpenCardImage(path);
        sim::Reader reader(*opened.card);
        for (int i = 0; i < crashAfter; ++i) Send(reader, Commands()[static_cast<std::size_t>(i)], data.data());
        std::_Exit(0);
      },
      ::testing::ExitedWithCode(0), "");
  const auto match = std::find(states.begin(), states.end(), Digest(FileBytes(path)));
  ASSERT_NE(match, states.end()) << "the file holds no state the card went through";
  const auto k = static_cast<int>(match - states.begin());
  const int runBlocks = static_cast<int>(card::CardStorage::kMaxFillRun / (8 * 528));
  EXPECT_LE(k, crashAfter);
  EXPECT_GE(k, crashAfter - runBlocks) << "more than a run of erases lost";
  if (crashAfter == 101 || crashAfter == 102) {
    EXPECT_EQ(k, crashAfter) << "a write is never lost";
  }
}

INSTANTIATE_TEST_SUITE_P(AfterCommand, CrashTest, ::testing::Values(1, 40, 100, 101, 102, 160, 202));
#endif

}  // namespace
