// The card reader on the 9x family: the ASPI for Win32 layer (wnaspi32.dll),
// loaded at run time, carries every reader command as one execute-command
// request to a host adapter, target id and logical unit.
//
// FindDevice loads the layer, picks the request variant from the layer's
// file version, scans every host adapter and target id for the one supported
// reader with a SmartMedia card, reads its media information and looks up
// the card's drive letter in the device tree below the reader's USB device.
// Every request waits at most 3000 ms for the layer's completion event and,
// after a failure, pauses 1000 ms through the host's clock (not after an
// INQUIRY, so that empty target ids cost nothing).
//
// The layer writes a request's data into memory the request owns, never into
// the caller's buffer: a request the layer still holds when its wait ends is
// aborted, and if the layer keeps holding it, its block, data area and event
// are set aside and the next request gets fresh ones. A set-aside request is
// released once the layer has signalled its event (the layer's last touch of
// it), or at Close once the layer is no longer in the process. Such a request
// costs 5 s: the 3000 ms wait, up to 1000 ms for the layer to give it up
// after the abort, and the 1000 ms pause of a failure. Close releases the
// library, the request memory and the event.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/reader_device.h"
#include "transport/aspi/aspi_platform.h"
#include "transport/aspi/aspi_records.h"
#include "transport/reader_commands.h"

class CAspiReader : public CReaderDevice {
 public:
  static constexpr std::uint32_t kCompletionWaitMs = 3000;
  static constexpr std::uint32_t kAbortWaitMs = 1000;  // for the layer to give up an aborted request
  static constexpr std::uint32_t kFailurePauseMs = 1000;
  static constexpr std::uint32_t kWaitReadyMs = 1000;
  static constexpr std::uint8_t kTargetIds = 8;
  static constexpr DWORD kLunsAsTargetsMinorVersion = 90;  // the release whose readers show each LUN as a target
  static constexpr char kNoDriveLetter = static_cast<char>(255);

  explicit CAspiReader(FormatHost& host);
  CAspiReader(FormatHost& host, const AspiPlatform& platform);
  ~CAspiReader() override;

  int UnlockVolume() override;  // DOS IOCTL 440Dh/086Ah through vwin32
  int LockVolume() override { return 1; }
  int Reserved() override { return 1; }
  void DropHandle() override {}
  int GetDeviceState(std::uint8_t& state) override;
  int WaitReady() override;
  int FlushDisk() override { return 1; }
  // Walks the device tree below the supported USB devices; 255 (after the
  // message "Get no drive letter") when no drive letter is found.
  char GetDriveLetter() override;
  int SetLbaOffset(std::uint32_t offset) override;
  int FormatEnd() override;
  int Lock() override;
  int UnLock() override;
  int WritePhySector(std::uint8_t unit, std::uint32_t sector, const SectorBuffer& data) override;
  int WriteRedundant(std::uint8_t unit, std::uint32_t sector, const RedundantArea& redundant) override;
  int ReadPhySector(std::uint8_t unit, std::uint32_t sector, PageBuffer& page) override;
  int ErasePhyBlk(std::uint8_t unit, std::uint16_t block) override;
  // The volume handle is not used: `bus` is the host adapter and `target`
  // the target id; the LUN is `lun`.
  int ReadMediaInfo(void* volumeHandle, std::uint8_t bus, std::uint8_t target, MediaGeometry& geometry) override;
  int IsOpen() override { return openFlag != 0 ? 1 : 0; }
  int WriteLBA(std::uint16_t sector, std::uint16_t count, const std::uint8_t* data) override;
  int ReadLBA(std::uint16_t sector, std::uint16_t count, std::uint8_t* data) override;
  void Close() override;
  int FindDevice(char& found) override;

  // The probes of the scan, on the host adapter and target id being scanned.
  // Inquiry clears `length` bytes of `buffer` and pauses after no failure;
  // GetLunMap asks LUN 0; GetCardType writes `type` only on success.
  int Inquiry(std::uint8_t hostAdapterId, std::uint8_t target, std::uint8_t* buffer, std::uint8_t length);
  int GetLunMap(std::uint8_t hostAdapterId, std::uint8_t target, std::uint16_t& map);
  int GetCardType(std::uint8_t hostAdapterId, std::uint8_t target, std::uint8_t logicalUnit, std::uint8_t& type);

  // Requests the layer would not give up, still set aside.
  std::size_t ParkedRequests() const { return parked.size(); }

  // The process-wide entry points of the layer: cleared by the constructor,
  // set by FindDevice.
  static aspi::SendCommandProc sendCommand;
  static aspi::SupportInfoProc supportInfo;

  std::uint8_t driveIndex = 0;   // position of the card's unit among the reader's LUNs
  std::uint8_t lun = 0;          // SRB_Lun of the chosen reader
  std::uint8_t targetId = 0;     // SRB_Target of the chosen reader
  std::uint8_t hostAdapter = 0;  // SRB_HaId of the chosen reader

 private:
  struct Address {
    std::uint8_t hostAdapter;
    std::uint8_t target;
    std::uint8_t lun;
  };

  // What a request moves: data to send, where its reply goes (and how much
  // of that to clear first), and whether a failure pauses.
  struct Exchange {
    const std::uint8_t* out = nullptr;
    std::uint8_t* in = nullptr;
    std::size_t clearLength = 0;
    bool pauseOnFailure = true;
  };

  // A request the layer kept after its wait and the abort.
  struct ParkedRequest {
    void* block;
    void* data;
    HANDLE event;
  };

  Address Chosen() const { return Address{hostAdapter, targetId, lun}; }
  // How one request came back.
  enum class Reply : std::uint8_t {
    Good,           // SS_COMP
    UnitAttention,  // the reader presents its card anew and did not run the command
    Failed,
  };

  int Request(const ReaderCommand& command, Address address, Exchange exchange);
  // The request, sent once more when the reader answered it with UNIT
  // ATTENTION; any other failure ends it. True when it completed.
  bool Send(const ReaderCommand& command, Address address, const Exchange& exchange);
  Reply SendOnce(const ReaderCommand& command, Address address, const Exchange& exchange);
  bool MetUnitAttention() const;
  void FillRequest(const ReaderCommand& command, Address address);
  bool EnsureDataArea(std::size_t bytes);
  BYTE RequestStatus() const;
  bool Retire();
  void SendAbort(void* block);
  void ReapParked(bool abortPending, bool layerGone);
  bool RenewRequestResources();
  void ReleaseRequestResources();

  bool LoadLayer();
  bool ChooseVariant();
  std::uint8_t HostAdapterCount() const;
  bool AllocateRequestResources();
  DWORD PlatformMinorVersion();
  enum class ScanStep : std::uint8_t { NextTarget, Opened, Stop };
  ScanStep ScanTarget(std::uint8_t ha, std::uint8_t target, DWORD minor);
  struct LunScan {
    int lunCount = 0;
    int runningIndex = 0;
  };
  // The LUN step: true when a card unit was found in this target (and `lun`
  // and `driveIndex` set); `second` becomes true when a second reader holds a card.
  bool FindCardUnit(std::uint8_t ha, std::uint8_t target, DWORD minor, bool& second);
  bool FindCardUnitPerTarget(std::uint8_t ha, std::uint8_t target, bool& second);
  bool FindCardUnitInTarget(std::uint8_t ha, std::uint8_t target, bool& second);
  bool CardTypeIsSmartMedia(std::uint8_t ha, std::uint8_t target, std::uint8_t logicalUnit, bool& second);
  void ShowError(const char* text);

  AspiPlatform platform;
  void* dataArea = nullptr;  // the data of the request in flight
  std::size_t dataAreaSize = 0;
  std::vector<ParkedRequest> parked;
  LunScan lunScan;
  bool readerOpened = false;  // in the scan under way
};
