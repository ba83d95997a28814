// A reader that implements every operation as a failure: for tests of the
// base class alone.
#pragma once

#include "engine/reader_device.h"

class NullReader : public CReaderDevice {
 public:
  using CReaderDevice::CReaderDevice;
  void DropHandle() override {}
  int GetDeviceState(std::uint8_t& state) override {
    state = 0;
    return 0;
  }
  int WaitReady() override { return 1; }
  int FlushDisk() override { return 0; }
  char GetDriveLetter() override { return driveLetter; }
  int SetLbaOffset(std::uint32_t) override { return 0; }
  int FormatEnd() override { return 0; }
  int Lock() override { return 0; }
  int UnLock() override { return 0; }
  int WritePhySector(std::uint8_t, std::uint32_t, const SectorBuffer&) override { return 0; }
  int WriteRedundant(std::uint8_t, std::uint32_t, const RedundantArea&) override { return 0; }
  int ReadPhySector(std::uint8_t, std::uint32_t, PageBuffer&) override { return 0; }
  int ErasePhyBlk(std::uint8_t, std::uint16_t) override { return 0; }
  int ReadMediaInfo(void*, std::uint8_t, std::uint8_t, MediaGeometry&) override { return 0; }
  int IsOpen() override { return openFlag != 0; }
  int WriteLBA(std::uint16_t, std::uint16_t, const std::uint8_t*) override { return 0; }
  int ReadLBA(std::uint16_t, std::uint16_t, std::uint8_t*) override { return 0; }
  void Close() override {}
  int FindDevice(char& found) override {
    found = 0;
    return 0;
  }
};
