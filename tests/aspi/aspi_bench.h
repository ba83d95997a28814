// The ASPI backend over the test layer (the project's wnaspi32.dll, loaded
// for real), with the other platform seams standing in: the device tree, the
// vwin32 device, the platform version, and the request seam's virtual clock.
// Every test ends by closing the backend and checking that nothing leaked and
// that neither the layer nor the seams saw a fault of the backend's.
#pragma once

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "tests/aspi/aspi_fakes.h"
#include "tests/aspi/sim_aspi_client.h"
#include "tests/support/recording_host.h"
#include "transport/aspi/aspi_reader.h"

namespace aspitest {

constexpr const char* kReaderId = "VID_1D6B&PID_5301";  // the first identifier of the built-in list

inline std::vector<std::uint8_t> Hex(const std::string& text) {
  std::vector<std::uint8_t> out;
  std::istringstream in(text);
  unsigned value = 0;
  while (in >> std::hex >> value) out.push_back(static_cast<std::uint8_t>(value));
  return out;
}

inline std::vector<std::uint8_t> CdbOf(const SimAspiRecord& record) {
  return std::vector<std::uint8_t>(record.cdb, record.cdb + record.cdbLength);
}

class AspiBench : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(layer.Loaded()) << "the project's wnaspi32.dll is not the one loaded";
    layer.Reset(1);
    requests.isHeld = [this](HANDLE event) { return layer.IsHeldEvent(event); };
  }

  void TearDown() override {
    layer.ReleaseHeld();
    device.Close();
    layer.WaitIdle();
    for (const std::string& problem : layer.Misuse()) ADD_FAILURE() << "layer: " << problem;
    for (const std::string& problem : requests.misuse) ADD_FAILURE() << "requests: " << problem;
    for (const std::string& problem : tree.misuse) ADD_FAILURE() << "device tree: " << problem;
    EXPECT_EQ(device.ParkedRequests(), 0u);
    EXPECT_EQ(requests.OpenEvents(), 0) << "Close releases the event";
    EXPECT_EQ(requests.LiveAllocations(), 0) << "Close releases the request memory";
    EXPECT_EQ(library.Loads(), library.Unloads()) << "Close unloads the layer";
    EXPECT_EQ(tree.OpenLists(), 0);
    EXPECT_EQ(tree.OpenKeys(), 0);
    EXPECT_EQ(vwin32.openHandles, 0);
  }

  // A reader with a card at (0, target), LUN 0, found by the scan; the
  // device tree holds its USB device with the letter E.
  void OpenReader(unsigned target = 1, const char* card = "1M", const char* faults = nullptr) {
    ASSERT_TRUE(layer.AttachReader(0, target, 0, card, faults));
    tree.AddReader(tree.AddUsbClass(), kReaderId, {'E'});
    char letter = 0;
    ASSERT_EQ(device.FindDevice(letter), 1) << ::testing::PrintToString(host.MessageTexts());
    ASSERT_EQ(letter, 'E');
    Forget();
  }

  // Forgets what happened so far, in the layer, the host and the waits.
  void Forget() {
    layer.WaitIdle();
    layer.ClearRecords();
    host.Clear();
    requests.waits.clear();
  }

  SimAspiClient layer;
  RecordingHost host;
  TestLibraryApi library;
  TestRequestApi requests;
  FakeDeviceTree tree;
  FakeVwin32 vwin32;
  FakePlatformVersion version;
  CAspiReader device{host, AspiPlatform{library, requests, tree, vwin32, version}};
};

}  // namespace aspitest
