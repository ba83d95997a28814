// The abstract SmartMedia card reader. The format procedure and the FAT
// layout writer reach the card only through this interface; each platform
// backend (and the simulated reader) implements the virtual operations.
//
// Every operation returns 1 for success and 0 for failure unless noted; a
// backend may already have shown its own message before it returns 0.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>

#include "engine/failure_run.h"
#include "engine/format_host.h"
#include "engine/media_geometry.h"

struct CapacityRow;

// What a backend could tell about why its last command failed. Only the two
// "gone" kinds change what the format does: a card that is no longer in the
// slot, or a reader that is no longer attached, will not answer the next
// command either, so the format ends at once instead of retiring blocks.
enum class CommandFault : std::uint8_t {
  None,        // the last command succeeded (or none was sent)
  Failed,      // it failed, for a reason the backend cannot tell
  NoMedium,    // the reader says that its slot holds no card
  DeviceGone,  // the reader itself is gone (unplugged)
};

// What the operator is told when a command failed because the card or the
// reader is gone; empty for any other fault.
std::string CardGoneText(CommandFault fault);

class CReaderDevice {
 public:
  static constexpr int kMaxDeviceIds = 50;
  static constexpr int kDeviceIdSlot = 18;  // 17 characters and the terminating zero

  // Loads the supported-device identifier list from the host.
  explicit CReaderDevice(FormatHost& host);
  CReaderDevice(const CReaderDevice&) = delete;
  CReaderDevice& operator=(const CReaderDevice&) = delete;

  // --- Virtual operations, in slot order ---------------------------------
  virtual int UnlockVolume();  // release the system's lock on the card's volume
  virtual int LockVolume();    // take the system's exclusive lock on the volume
  virtual int Reserved();
  virtual void DropHandle() = 0;                        // forget the cached access handle; the next command reopens it
  virtual int GetDeviceState(std::uint8_t& state) = 0;  // bit 0: write-protected; 0 after a failure
  virtual int WaitReady() = 0;
  virtual int FlushDisk() = 0;
  virtual char GetDriveLetter() = 0;
  virtual int SetLbaOffset(std::uint32_t offset) = 0;
  virtual int FormatEnd() = 0;  // the reader then presents the card as changed media
  virtual int Lock() = 0;
  virtual int UnLock() = 0;
  virtual int WritePhySector(std::uint8_t unit, std::uint32_t sector, const SectorBuffer& data) = 0;
  virtual int WriteRedundant(std::uint8_t unit, std::uint32_t sector, const RedundantArea& redundant) = 0;
  virtual int ReadPhySector(std::uint8_t unit, std::uint32_t sector, PageBuffer& page) = 0;
  virtual int ErasePhyBlk(std::uint8_t unit, std::uint16_t block) = 0;
  virtual int ReadMediaInfo(void* volumeHandle, std::uint8_t bus, std::uint8_t target, MediaGeometry& geometry) = 0;
  virtual int IsOpen() = 0;
  // Logical sectors of 512 bytes; `data` holds count x 512 bytes.
  virtual int WriteLBA(std::uint16_t sector, std::uint16_t count, const std::uint8_t* data) = 0;
  virtual int ReadLBA(std::uint16_t sector, std::uint16_t count, std::uint8_t* data) = 0;
  virtual void Close() = 0;
  virtual int FindDevice(char& found) = 0;
  // Frees no handle: Close comes first.
  virtual ~CReaderDevice();

  // --- Geometry ----------------------------------------------------------
  std::uint8_t GetUnitCount() const;
  std::uint32_t GetUnitSectors(std::uint8_t unit) const;
  std::uint8_t GetSectorsPerBlock(std::uint8_t unit) const;
  // Capacity key (logical sectors under the 1000-of-1024 blocks rule) and
  // sector size (always 512). Either output may be null. Always returns 1.
  int GetCapacity(std::uint32_t* key, std::uint32_t* sectorSize) const;
  int SetPartitionSectors(std::uint32_t value);
  bool PartitionSectorsSet() const { return partitionSectorsSet; }

  // --- Card information structure (low level header) ---------------------
  // Writes the CIS page into the first page of `block` of unit 0 (the first
  // good block, which the format has just erased) and reads it back. A
  // failure shows "Write low level header error" in a plain box (OK, no
  // icon, no owner), unless the card is gone.
  int WriteCisBlock(std::uint32_t block);
  int IsCisPage(const PageBuffer& page) const;

  // --- FAT file system -----------------------------------------------------
  int WriteMbr();
  int WriteBootSector();
  int WriteTableMbr(const CapacityRow& row);
  int WriteComputedMbr();
  int WriteTableBootSector(const CapacityRow& row);
  int WriteComputedBootSector();
  // Writes one sector of the layout; a failure is counted even where the
  // layout goes on regardless (the zero fills). Once the card is gone, or
  // the last 32 writes failed on a backend that cannot tell, nothing more
  // is sent: each write would only fail after the backend's pause.
  int WriteLayoutSector(std::uint32_t sector, const SectorBuffer& data);
  // Failed writes of the layout since WriteMbr last began.
  std::uint32_t LayoutWriteFailures() const { return layoutWriteFailures; }
  // The first sector of the layout, since WriteMbr last began, whose write
  // or read-back failed: evidence about the block that holds it.
  std::optional<std::uint32_t> FirstLayoutFault() const { return firstLayoutFault; }
  void NoteLayoutFault(std::uint32_t sector) {
    if (!firstLayoutFault) firstLayoutFault = sector;
  }

  FormatHost& Host() const { return host; }

  // Why the last command of the card failed, as far as the backend knows.
  CommandFault LastCommandFault() const { return lastCommandFault; }
  // The card or the reader is gone: no later command can work.
  bool CardGone() const {
    return lastCommandFault == CommandFault::NoMedium || lastCommandFault == CommandFault::DeviceGone;
  }

  // --- State common to every backend ---------------------------------------
  char driveLetter = 0;
  char deviceIds[kMaxDeviceIds][kDeviceIdSlot] = {};
  std::int32_t deviceIdCount = 0;
  std::int32_t openFlag = 0;
  void* aspiModule = nullptr;     // ASPI backend: the loaded ASPI library
  void* requestBlock = nullptr;   // ASPI backend: the 256-byte request block
  void* requestEvent = nullptr;   // ASPI backend: request completion event
  std::uint8_t requestFlags = 0;  // ASPI backend: extra request flag bits
  std::uint8_t senseLength = 0;   // ASPI backend: sense length of every request
  void* volumeHandle = nullptr;   // pass-through backend: cached volume handle
  MediaGeometry geometry;
  // The logical sectors the reader presents to the system, where the backend
  // can tell (0: it cannot). The format refuses a card whose media
  // information disagrees with it.
  std::uint64_t presentedSectors = 0;

 protected:
  // Shows an OK box with caption "Error", no icon and no owner window: the
  // style of the file-system writer's and the CIS writer's messages.
  void ShowPlainError(const std::string& text) const;
  // Backends note the fault of every command they send (None on success).
  void NoteCommandFault(CommandFault fault) { lastCommandFault = fault; }

 private:
  FormatHost& host;
  bool partitionSectorsSet = false;  // partitionSectors is meaningless until a format sets it
  std::uint32_t layoutWriteFailures = 0;
  std::optional<std::uint32_t> firstLayoutFault;
  FailureRun layoutFailureRun;
  CommandFault lastCommandFault = CommandFault::None;
};

// Splits an identifier list ("VID_xxxx&PID_xxxx" tokens separated by any run
// of semicolons, commas and blanks) into upper-case slots. Reads at most the
// first 999 characters, keeps at most 50 tokens and skips a token longer than
// 17 characters, since a cut one could match the wrong device. Returns the
// number of slots filled.
int ParseDeviceIdList(const std::string& text, char (&ids)[CReaderDevice::kMaxDeviceIds][CReaderDevice::kDeviceIdSlot]);

// The identifier list compiled in for platforms without string resources.
extern const char* const kBuiltinDeviceIdList;
