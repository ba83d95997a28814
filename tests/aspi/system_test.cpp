// The real platform calls under Wine: the project's layer is the wnaspi32.dll
// loaded (from the program's folder, not Wine's own), its version resource is
// read, the platform version is asked, and the device tree of the machine
// holds no supported reader's drive letter.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "tests/aspi/sim_aspi_client.h"
#include "tests/support/recording_host.h"
#include "transport/aspi/aspi_reader.h"

namespace {

std::string FolderOf(HMODULE module) {
  char path[MAX_PATH] = {};
  GetModuleFileNameA(module, path, MAX_PATH);
  std::string text(path);
  return text.substr(0, text.find_last_of("\\/"));
}

// "4.0" or "3.99": the layer this copy of the program sits beside.
std::string ExpectedLayerVersion() {
  const char* text = std::getenv("SMFORMAT_ASPI_LAYER_VERSION");
  return text != nullptr ? text : "4.0";
}

bool ExpectsOldLayer() { return ExpectedLayerVersion() != "4.0"; }

TEST(AspiLayerUnderWine, IsTheProjectsLayerFromTheProgramsFolder) {
  SimAspiClient layer;
  ASSERT_NE(layer.Module(), nullptr);
  EXPECT_EQ(layer.Identity(), "smformat simulated ASPI layer");
  EXPECT_EQ(FolderOf(layer.Module()), FolderOf(nullptr));
  const std::uint32_t version = layer.FileVersion();
  EXPECT_EQ(std::to_string(version >> 16) + "." + std::to_string(version & 0xFFFF), ExpectedLayerVersion());
}

TEST(AspiLayerUnderWine, TheBackendOnTheSystemsCallsFindsTheReaderButNoDriveLetter) {
  SimAspiClient layer;
  ASSERT_TRUE(layer.Loaded());
  layer.Reset(2);
  ASSERT_TRUE(layer.AttachOther(0, 0, "Other   DISK DEVICE"));
  ASSERT_TRUE(layer.AttachReader(1, 3, 0, "1M"));
  RecordingHost host;
  CAspiReader device(host);
  char letter = 0;
  ASSERT_EQ(device.FindDevice(letter), 1);
  EXPECT_EQ(device.hostAdapter, 1);
  EXPECT_EQ(device.targetId, 3);
  EXPECT_EQ(device.geometry.unitCount, 1);
  EXPECT_EQ(device.geometry.units[0].totalSectors, 2048u);
  // The version resource read through the system's calls picks the variant.
  EXPECT_EQ(device.senseLength, ExpectsOldLayer() ? 14 : 24);
  EXPECT_EQ(device.requestFlags, ExpectsOldLayer() ? 1 : 0);
  EXPECT_EQ(letter, CAspiReader::kNoDriveLetter);
  EXPECT_EQ(host.Messages(),
            (std::vector<HostMessage>{HostMessage{"Get no drive letter", "Info", MessageStyle{}, MessageOwner::None}}));
  std::uint8_t state = 0xFF;
  EXPECT_EQ(device.GetDeviceState(state), 1);
  EXPECT_EQ(state, 0);
  device.Close();
  EXPECT_TRUE(layer.Misuse().empty());
}

TEST(AspiLayerUnderWine, CloseUnloadsTheLayer) {
  ASSERT_EQ(GetModuleHandleA("wnaspi32.dll"), nullptr);
  RecordingHost host;
  CAspiReader device(host);
  char letter = 0;
  EXPECT_EQ(device.FindDevice(letter), 0);  // a freshly loaded layer has no host adapter
  EXPECT_NE(GetModuleHandleA("wnaspi32.dll"), nullptr);
  device.Close();
  EXPECT_EQ(GetModuleHandleA("wnaspi32.dll"), nullptr);
  EXPECT_TRUE(host.Events().empty());
}

TEST(AspiLayerUnderWine, ThePlatformVersionIsRead) {
  PlatformVersion version;
  ASSERT_TRUE(SystemPlatformVersionApi().ReadBasic(version));
  EXPECT_NE(version.major, 0u);
}

}  // namespace
