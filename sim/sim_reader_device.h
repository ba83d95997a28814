// The simulated backend: a CReaderDevice that hands every operation, as the
// reader's command block, to a simulated reader. Like the platform backends
// it sends each command once and, after a failure, pauses 1000 ms (through
// the host's clock) before it returns 0; the probes of the device search
// (INQUIRY and the card type) return at once.
#pragma once

#include <array>
#include <cstdint>

#include "engine/reader_device.h"
#include "sim/reader.h"
#include "transport/reader_commands.h"

class CSimReader : public CReaderDevice {
 public:
  static constexpr char kDefaultDriveLetter = 'S';
  static constexpr std::uint32_t kFailurePauseMs = 1000;
  static constexpr std::uint32_t kWaitReadyMs = 1000;

  CSimReader(FormatHost& host, sim::Reader& reader, char driveLetter = kDefaultDriveLetter);

  void DropHandle() override { ++dropCount; }
  int GetDeviceState(std::uint8_t& state) override;
  int WaitReady() override;
  int FlushDisk() override { return 1; }
  char GetDriveLetter() override { return driveLetter; }
  int SetLbaOffset(std::uint32_t offset) override;
  int FormatEnd() override;
  int Lock() override;
  int UnLock() override;
  int WritePhySector(std::uint8_t unit, std::uint32_t sector, const SectorBuffer& data) override;
  int WriteRedundant(std::uint8_t unit, std::uint32_t sector, const RedundantArea& redundant) override;
  int ReadPhySector(std::uint8_t unit, std::uint32_t sector, PageBuffer& page) override;
  int ErasePhyBlk(std::uint8_t unit, std::uint16_t block) override;
  int ReadMediaInfo(void* volumeHandle, std::uint8_t bus, std::uint8_t target, MediaGeometry& geometry) override;
  int IsOpen() override { return openFlag != 0 ? 1 : 0; }
  int WriteLBA(std::uint16_t sector, std::uint16_t count, const std::uint8_t* data) override;
  int ReadLBA(std::uint16_t sector, std::uint16_t count, std::uint8_t* data) override;
  void Close() override { ++closeCount; }
  // Accepts the reader when its INQUIRY names a supported reader, it holds a
  // SmartMedia card and its media information can be read. `found` gets the
  // drive letter.
  int FindDevice(char& found) override;

  int DropCount() const { return dropCount; }
  int CloseCount() const { return closeCount; }

 private:
  // One attempt; after a failure, the pause.
  int Send(const ReaderCommand& command, std::uint8_t* data);
  // One attempt, no pause: the probes of the device search.
  bool Probe(const ReaderCommand& command, std::uint8_t* data);

  sim::Reader& reader;
  char letter;
  int dropCount = 0;
  int closeCount = 0;
};
