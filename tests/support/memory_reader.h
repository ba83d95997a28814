// A reader whose logical sectors live in memory. It records every WriteLBA
// and ReadLBA call in order (with the data each write sent) and can be told
// to fail a write or a read of a given sector, or to corrupt what a read
// returns. Physical operations fail; the geometry is set by the test.
#pragma once

#include <cstdint>
#include <map>
#include <utility>
#include <vector>

#include "engine/reader_device.h"

struct LbaCall {
  enum class Op { Write, Read };
  Op op = Op::Write;
  std::uint16_t sector = 0;
  std::uint16_t count = 0;
  int result = 0;
  std::vector<std::uint8_t> data;  // Write: the count x 512 bytes sent
};

class MemoryReader : public CReaderDevice {
 public:
  static constexpr int kEveryCall = 0;

  explicit MemoryReader(FormatHost& host);

  // One unit whose capacity key is `key` (a multiple of 1000): key / 1000
  // groups of 1024 pages in blocks of 32.
  void SetCapacityKey(std::uint32_t key);
  void SetUnits(const std::vector<MediaUnit>& units);

  // Fault injection. `occurrence` counts the calls that touch `sector` with
  // that operation, from 1; kEveryCall applies to all of them.
  void FailWrite(std::uint16_t sector, int occurrence = kEveryCall);
  void FailRead(std::uint16_t sector, int occurrence = kEveryCall);
  // The read succeeds but the bytes at `offsets` come back inverted.
  void CorruptRead(std::uint16_t sector, std::vector<std::size_t> offsets, int occurrence = kEveryCall);

  const std::vector<LbaCall>& Calls() const { return calls; }
  // Current contents; a sector never written reads as `unwrittenFill`.
  SectorBuffer Sector(std::uint16_t sector) const;
  const std::map<std::uint16_t, SectorBuffer>& WrittenSectors() const { return sectors; }
  std::uint8_t unwrittenFill = 0x00;

  std::uint8_t deviceState = 0;
  int formatEndCalls = 0;

  void DropHandle() override {}
  int GetDeviceState(std::uint8_t& state) override;
  int WaitReady() override { return 1; }
  int FlushDisk() override { return 1; }
  char GetDriveLetter() override { return driveLetter; }
  int SetLbaOffset(std::uint32_t) override { return 0; }
  int FormatEnd() override;
  int Lock() override { return 0; }
  int UnLock() override { return 0; }
  int WritePhySector(std::uint8_t, std::uint32_t, const SectorBuffer&) override { return 0; }
  int WriteRedundant(std::uint8_t, std::uint32_t, const RedundantArea&) override { return 0; }
  int ReadPhySector(std::uint8_t, std::uint32_t, PageBuffer&) override { return 0; }
  int ErasePhyBlk(std::uint8_t, std::uint16_t) override { return 0; }
  int ReadMediaInfo(void*, std::uint8_t, std::uint8_t, MediaGeometry&) override { return 0; }
  int IsOpen() override { return openFlag != 0 ? 1 : 0; }
  int WriteLBA(std::uint16_t sector, std::uint16_t count, const std::uint8_t* data) override;
  int ReadLBA(std::uint16_t sector, std::uint16_t count, std::uint8_t* data) override;
  void Close() override { openFlag = 0; }
  int FindDevice(char& found) override;

 private:
  struct Fault {
    LbaCall::Op op;
    std::uint16_t sector;
    int occurrence;
    bool fail;                         // else corrupt
    std::vector<std::size_t> offsets;  // corrupt: bytes to invert
  };

  // Counts this call against `sector` and returns the faults that apply.
  std::vector<const Fault*> FaultsFor(LbaCall::Op op, std::uint16_t sector);

  std::map<std::uint16_t, SectorBuffer> sectors;
  std::vector<LbaCall> calls;
  std::vector<Fault> faults;
  std::map<std::pair<int, std::uint16_t>, int> callCounts;  // (op, sector) -> calls so far
};
