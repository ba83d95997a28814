// A pass-through backend over the model of the system's volumes, with
// simulated readers on some letters. Every test ends by checking that the
// backend used no handle wrongly and holds none but its cached one.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "sim/reader.h"
#include "tests/passthrough/fake_volume_api.h"
#include "tests/sim/sim_bench.h"
#include "tests/support/recording_host.h"
#include "transport/passthrough/pass_through_reader.h"

namespace pttest {

// Bytes from a hex string such as "E8 00 01 2C".
inline std::vector<std::uint8_t> Hex(const std::string& text) {
  std::vector<std::uint8_t> out;
  std::istringstream in(text);
  unsigned value = 0;
  while (in >> std::hex >> value) out.push_back(static_cast<std::uint8_t>(value));
  return out;
}

inline HostMessage BackendError(const std::string& text) { return ErrorBox(text, MessageOwner::None); }

class PassThroughBench : public ::testing::Test {
 public:
  // A reader on `letter` holding a new card (the reader's card can be pulled).
  sim::Reader& AddReader(char letter, const card::CardGeometry& geometry = simtest::Standard("1M"),
                         card::FaultPlan plan = {}) {
    return AddReader(letter, simtest::MakeCard(geometry, plan), plan);
  }

  sim::Reader& AddReader(char letter, std::unique_ptr<card::Card> card, card::FaultPlan plan = {}) {
    cards.push_back(std::move(card));
    readers.push_back(std::make_unique<sim::Reader>(*cards.back(), plan));
    volumes.AddReader(letter, *readers.back());
    return *readers.back();
  }

  // The usual machine: the system disk on C:, the reader on E:. Finds it
  // and forgets what the search did.
  sim::Reader& FindReaderOnE(const card::CardGeometry& geometry = simtest::Standard("1M")) {
    volumes.AddSystemDisk('C');
    sim::Reader& reader = AddReader('E', geometry);
    char found = 0;
    EXPECT_EQ(device.FindDevice(found), 1);
    volumes.ClearRecords();
    host.Clear();
    return reader;
  }

  card::Card& CardOf(std::size_t index) { return *cards[index]; }

  void TearDown() override {
    for (const std::string& problem : volumes.Misuse()) ADD_FAILURE() << problem;
    const int held = device.volumeHandle != nullptr ? 1 : 0;
    EXPECT_EQ(volumes.OpenHandles(), held) << "only the backend's cached handle may stay open";
    if (held) {
      EXPECT_TRUE(volumes.IsOpenHandle(device.volumeHandle));
    }
    device.Close();
    EXPECT_EQ(volumes.OpenHandles(), 0);
  }

  std::vector<std::unique_ptr<card::Card>> cards;
  std::vector<std::unique_ptr<sim::Reader>> readers;
  RecordingHost host;
  FakeVolumeApi volumes;
  CPassThroughReader device{host, volumes};
};

}  // namespace pttest
