// A Linux machine modelled by FakeSgSystem, with simulated readers on some
// disks, and a CSgReader to drive them. Every test ends by checking that
// nothing misused the system and that no descriptor was left open.
#pragma once

#include <gtest/gtest.h>

#include <fcntl.h>

#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "sim/reader.h"
#include "tests/sgio/fake_sg_system.h"
#include "tests/sim/sim_bench.h"
#include "tests/support/recording_host.h"
#include "transport/sgio/sg_reader.h"

namespace sgtest {

// Bytes from a hex string such as "E8 00 01 2C".
inline std::vector<std::uint8_t> Hex(const std::string& text) {
  std::vector<std::uint8_t> out;
  std::istringstream in(text);
  unsigned value = 0;
  while (in >> std::hex >> value) out.push_back(static_cast<std::uint8_t>(value));
  return out;
}

inline HostMessage BackendError(const std::string& text) { return ErrorBox(text, MessageOwner::None); }

class SgBench : public ::testing::Test {
 public:
  // A supported reader on /dev/NAME holding a new card.
  sim::Reader& AddReader(const std::string& name, const card::CardGeometry& geometry = simtest::Standard("1M"),
                         card::FaultPlan plan = {}, FakeSgSystem::UsbId id = FakeSgSystem::kSupportedReader) {
    return AddReader(name, simtest::MakeCard(geometry, plan), plan, id);
  }

  sim::Reader& AddReader(const std::string& name, std::unique_ptr<card::Card> card, card::FaultPlan plan = {},
                         FakeSgSystem::UsbId id = FakeSgSystem::kSupportedReader) {
    cards.push_back(std::move(card));
    readers.push_back(std::make_unique<sim::Reader>(*cards.back(), plan));
    system.AddReader(name, *readers.back(), id);
    return *readers.back();
  }

  // Opens /dev/NAME as the format does and hands it to the backend.
  void Attach(const std::string& name) {
    const int fd = system.Open("/dev/" + name, O_RDWR | O_EXCL | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    device.Attach(fd, "/dev/" + name);
  }

  // The usual machine: the system disk sda, a reader on sdb, attached and
  // probed; the records start afresh.
  sim::Reader& ReaderOnSdb(const card::CardGeometry& geometry = simtest::Standard("1M")) {
    system.AddSystemDisk("sda", 1 << 20);
    sim::Reader& reader = AddReader("sdb", geometry);
    Attach("sdb");
    char found = 0;
    EXPECT_EQ(device.FindDevice(found), 1);
    system.ClearRecords();
    host.Clear();
    return reader;
  }

  card::Card& CardOf(std::size_t index) { return *cards[index]; }

  void TearDown() override {
    device.Close();
    for (const std::string& problem : system.Misuse()) ADD_FAILURE() << problem;
    EXPECT_EQ(system.OpenDescriptors(), 0) << "a descriptor was left open";
  }

  std::vector<std::unique_ptr<card::Card>> cards;
  std::vector<std::unique_ptr<sim::Reader>> readers;
  RecordingHost host;
  FakeSgSystem system;
  CSgReader device{host, system};
};

}  // namespace sgtest
