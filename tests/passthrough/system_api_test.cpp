// The real platform calls, under whatever system runs the tests (Wine here):
// no volume holds a supported reader, so the search finds none and says
// nothing.
#include <gtest/gtest.h>

#include "tests/support/recording_host.h"
#include "transport/passthrough/pass_through_reader.h"

namespace {

TEST(SystemVolumeApi, AVolumeThatDoesNotExistCannotBeOpened) {
  const HANDLE handle = SystemVolumeApi().Open(
      VolumePath('Q').c_str(), CPassThroughReader::kVolumeAccess, CPassThroughReader::kVolumeSharing,
      CPassThroughReader::kVolumeDisposition, CPassThroughReader::kVolumeFlags);
  EXPECT_EQ(handle, INVALID_HANDLE_VALUE);
  if (handle != INVALID_HANDLE_VALUE) SystemVolumeApi().Close(handle);
}

TEST(SystemVolumeApi, FindsNoReaderAndSaysNothing) {
  RecordingHost host;
  CPassThroughReader device(host);
  char found = 'x';
  EXPECT_EQ(device.FindDevice(found), 0);
  EXPECT_EQ(found, 0);
  EXPECT_EQ(device.IsOpen(), 0);
  EXPECT_EQ(device.volumeHandle, nullptr);
  EXPECT_TRUE(host.Events().empty());
}

}  // namespace
