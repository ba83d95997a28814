// The SmartMedia logical format alone: the MBR, boot sector, FATs and root
// directory that the full format writes after its physical pass, written
// with plain block I/O on anything that holds a card's logical sectors: a
// card in any reader, whatever its chip, or an image file for an emulator.
//
// The target's size must be a card's logical size, its capacity key: 2000
// sectors for 1 MB ... 256000 for 128 MB (the table layout), or another
// multiple of 1000 whose computed FAT16 layout is valid. The layout comes
// from the same writers as the full format's, and every sector it wrote or
// cleared is read back.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "engine/format_host.h"
#include "engine/reader_device.h"
#include "transport/command_trace.h"

// 512-byte sectors of a block device or an image file.
class BlockTarget {
 public:
  virtual ~BlockTarget() = default;
  virtual std::uint64_t Sectors() const = 0;
  // Whole sectors from `sector` on; false when the system fails the transfer.
  virtual bool Read(std::uint64_t sector, std::uint32_t count, std::uint8_t* data) = 0;
  virtual bool Write(std::uint64_t sector, std::uint32_t count, const std::uint8_t* data) = 0;
  // Makes what was written durable.
  virtual bool Flush() = 0;
  // Forgets what the system keeps of the target in memory, so that reads go
  // to the medium; false when the system keeps nothing or will not forget.
  virtual bool DropCache() { return false; }
  // The system's reason for the last failed transfer.
  virtual std::string LastError() const = 0;
};

// A target whose every transfer is logged to a trace, one line each, as the
// Linux seam logs its reads and writes: "write E:\card.img sector 0 count 1
// -> ok".
class TracingBlockTarget : public BlockTarget {
 public:
  TracingBlockTarget(BlockTarget& inner, CommandTrace& trace, std::string name)
      : inner(inner), trace(trace), name(std::move(name)) {}

  std::uint64_t Sectors() const override { return inner.Sectors(); }
  bool Read(std::uint64_t sector, std::uint32_t count, std::uint8_t* data) override;
  bool Write(std::uint64_t sector, std::uint32_t count, const std::uint8_t* data) override;
  bool Flush() override;
  bool DropCache() override { return inner.DropCache(); }
  std::string LastError() const override { return inner.LastError(); }

 private:
  bool Note(const std::string& what, bool result);

  BlockTarget& inner;
  CommandTrace& trace;
  std::string name;
};

// Why `sectors` is no logical size of a card (whole sentences), or empty
// when it is one.
std::string LogicalSizeFault(std::uint64_t sectors);
// "16 MB card layout (FAT12, 32000 sectors)"
std::string LogicalLayoutText(std::uint32_t sectors);

// A reader with only logical sectors: those of the target. Its geometry is
// one unit whose capacity key is the target's size; the physical commands
// fail.
class CBlockTargetReader : public CReaderDevice {
 public:
  // `sectors` must have passed LogicalSizeFault.
  CBlockTargetReader(FormatHost& host, BlockTarget& target);

  void DropHandle() override {}
  int GetDeviceState(std::uint8_t& state) override;
  int WaitReady() override { return 1; }
  int FlushDisk() override { return target.Flush() ? 1 : 0; }
  char GetDriveLetter() override { return driveLetter; }
  int SetLbaOffset(std::uint32_t) override { return 0; }
  int FormatEnd() override { return 0; }
  int Lock() override { return 0; }
  int UnLock() override { return 0; }
  int WritePhySector(std::uint8_t, std::uint32_t, const SectorBuffer&) override { return 0; }
  int WriteRedundant(std::uint8_t, std::uint32_t, const RedundantArea&) override { return 0; }
  int ReadPhySector(std::uint8_t, std::uint32_t, PageBuffer&) override { return 0; }
  int ErasePhyBlk(std::uint8_t, std::uint16_t) override { return 0; }
  int ReadMediaInfo(void*, std::uint8_t, std::uint8_t, MediaGeometry& geometry) override;
  int IsOpen() override { return openFlag != 0 ? 1 : 0; }
  int WriteLBA(std::uint16_t sector, std::uint16_t count, const std::uint8_t* data) override;
  int ReadLBA(std::uint16_t sector, std::uint16_t count, std::uint8_t* data) override;
  void Close() override { openFlag = 0; }
  int FindDevice(char& found) override;

  BlockTarget& Target() { return target; }

 private:
  BlockTarget& target;
};

// Writes the logical format on the reader's target, flushes it and reads
// every sector of the layout back (VerifyFileSystem, from the medium where
// the system lets its cache be dropped). Every failure is told through
// `host` with the full format's messages ("Write MBR error!", "Write boot
// sector error!") or the verification's. True when the layout is on the
// target and reads back as written.
bool WriteLogicalFormat(CBlockTargetReader& reader, FormatHost& host);
