// The card reader on the NT family: the card's volume, found by trying the
// drive letters C: to Z:, carries every reader command as a SCSI pass-through
// request.
//
// The backend keeps one handle of the card's volume in `volumeHandle` from
// FindDevice on. After a failed command it closes that handle and pauses
// 1000 ms; the next command opens the volume again from `driveLetter`, and
// says so in a message box when it cannot. Close (and DropHandle, and
// FlushDisk) leave no handle open.
//
// LockVolume locks the volume on that handle for a format and dismounts it,
// so that no other program writes to it and the file system forgets what it
// held of the old card. The lock lives as long as the handle: while it is
// held, neither a failed command nor DropHandle closes the handle; only
// UnlockVolume (or Close) gives the lock up and closes it. A command that
// fails on the locked volume is followed by the question the reader answers
// with or without a card, its card type: an empty slot ends the format as a
// pulled card; no answer at all means that the handle went stale with the
// card it was opened on, so the lock and the handle are given up, and a
// fresh handle, locked again, is asked once more (when the volume cannot be
// opened, the open's reason counts).
//
// A volume that cannot be opened notes why, as far as the system says: the
// drive letter gone with the reader, or an empty slot, end a format as a gone
// card does; anything else (another program holding the volume) does not.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "engine/reader_device.h"
#include "transport/passthrough/pass_through_request.h"
#include "transport/passthrough/volume_api.h"
#include "transport/reader_commands.h"

// "\\.\E:" for 'E'.
std::string VolumePath(char letter);

class CPassThroughReader : public CReaderDevice {
 public:
  static constexpr char kFirstDriveLetter = 'C';
  static constexpr char kLastDriveLetter = 'Z';
  static constexpr std::uint32_t kFailurePauseMs = 1000;
  static constexpr std::uint32_t kWaitReadyMs = 1000;
  static constexpr int kLockTries = 5;
  static constexpr std::uint32_t kLockRetryPauseMs = 100;

  // Every volume is opened for reading and writing, shared for both, and
  // must exist already.
  static constexpr DWORD kVolumeAccess = GENERIC_READ | GENERIC_WRITE;
  static constexpr DWORD kVolumeSharing = FILE_SHARE_READ | FILE_SHARE_WRITE;
  static constexpr DWORD kVolumeDisposition = OPEN_EXISTING;
  static constexpr DWORD kVolumeFlags = 0;

  explicit CPassThroughReader(FormatHost& host, VolumeApi& api = SystemVolumeApi());

  // Unlocks the volume and closes the handle; 0 when no lock was held.
  int UnlockVolume() override;
  // Locks and dismounts the volume on the held handle (opened first if need
  // be); 0, with nothing locked, when either is refused or the volume cannot
  // be opened (LastCommandFault then says whether the card is gone).
  int LockVolume() override;
  void DropHandle() override;
  int GetDeviceState(std::uint8_t& state) override;
  int WaitReady() override;
  // Takes and releases the volume's exclusive lock on a handle of its own,
  // trying five times 100 ms apart. The held handle is dropped first.
  int FlushDisk() override;
  char GetDriveLetter() override { return driveLetter; }
  int SetLbaOffset(std::uint32_t offset) override;
  int FormatEnd() override;
  int Lock() override;
  int UnLock() override;
  int WritePhySector(std::uint8_t unit, std::uint32_t sector, const SectorBuffer& data) override;
  int WriteRedundant(std::uint8_t unit, std::uint32_t sector, const RedundantArea& redundant) override;
  int ReadPhySector(std::uint8_t unit, std::uint32_t sector, PageBuffer& page) override;
  int ErasePhyBlk(std::uint8_t unit, std::uint16_t block) override;
  // One command on `volumeHandle` (the volume being probed, not the held
  // one), with PathId `bus` and TargetId `target`. After a failure: 1000 ms
  // pause, geometry untouched, the handle left open for the caller.
  int ReadMediaInfo(void* volumeHandle, std::uint8_t bus, std::uint8_t target, MediaGeometry& geometry) override;
  int IsOpen() override { return openFlag != 0 ? 1 : 0; }
  // The sectors travel straight from the caller's buffer.
  int WriteLBA(std::uint16_t sector, std::uint16_t count, const std::uint8_t* data) override;
  // One sector is copied through the request's data area. More than one
  // would overrun it, so such a read is a direct request, as a write is,
  // into a buffer of its own that is copied out only when the read succeeded.
  int ReadLBA(std::uint16_t sector, std::uint16_t count, std::uint8_t* data) override;
  void Close() override;
  // Tries C: to Z:, always to the end. A volume is a candidate when it
  // answers INQUIRY as a supported reader and reports a SmartMedia card.
  // The first candidate is accepted (its media information read, its handle
  // kept, `found` = its position from C:); a second one refuses both.
  int FindDevice(char& found) override;

  // The probes of the search: one attempt on the given handle, no pause, no
  // message; 0 at once for a null handle. Inquiry asks for the low 8 bits
  // of `length` bytes.
  int Inquiry(void* handle, std::uint8_t* buffer, std::uint32_t length);
  int GetCardType(void* handle, std::uint8_t& type);

 private:
  // Where a command's data comes from or goes to.
  struct Payload {
    const std::uint8_t* out = nullptr;
    std::uint8_t* in = nullptr;
  };

  HANDLE OpenVolume(char letter);  // null when the volume cannot be opened (the reason in GetLastError)
  void CloseVolume(HANDLE handle);
  // Opens the card's volume into `volumeHandle` unless a handle is held, and
  // locks it again when a stale handle took the lock away. False, with the
  // open's fault noted, when the volume cannot be opened.
  bool HoldVolume();
  // HoldVolume for a command: a volume that cannot be opened is reported,
  // once in a run of failures, as "<command>: Open volume fail!".
  bool HoldVolumeFor(ReaderOperation operation);
  bool TakeLock();  // lock and dismount on the held handle; a refused dismount gives the lock back
  // After a failed command on the locked volume: what became of the card.
  void CheckLockedCard(ReaderOperation operation);
  // Closes the cached handle after a failed command; unlike DropHandle, the
  // run of failures goes on, and with it the silence about a missing volume.
  void ReleaseHandle();
  bool IsCandidate(HANDLE handle);
  void ShowError(const std::string& text);

  // The cached-handle pattern: (re)open the volume, one request, and after a
  // failure drop the handle and pause.
  int RunCached(const ReaderCommand& command, const passthrough::RequestRow& row, Payload payload);
  int RunCached(const ReaderCommand& command, ReaderOperation operation, Payload payload);
  // The command on `handle`: true when the system carried it and the reader
  // answered with good status. A command the reader answered with UNIT
  // ATTENTION (it presents its card anew and did not run it) goes once more;
  // any other failure ends it.
  bool Transmit(HANDLE handle, const ReaderCommand& command, const passthrough::RequestRow& row, Payload payload,
                UCHAR pathId = 0, UCHAR targetId = 0);
  passthrough::Reply TransmitBuffered(HANDLE handle, const ReaderCommand& command, const passthrough::RequestRow& row,
                                      Payload payload, UCHAR pathId, UCHAR targetId);
  passthrough::Reply TransmitDirect(HANDLE handle, const ReaderCommand& command, const passthrough::RequestRow& row,
                                    Payload payload);
  int VolumeControl(HANDLE handle, DWORD controlCode);

  VolumeApi& api;
  // A pulled card makes every later command fail to reopen the volume; the
  // operator hears of it once per run of such failures. The run ends when
  // the volume opens again, when the caller drops the handle (the format's
  // end, Close), at a new search, and when a job starts (GetDeviceState):
  // a card still missing then is reported again.
  bool openFailureShown = false;
  bool volumeLocked = false;  // by LockVolume, on `volumeHandle`
  bool relockWanted = false;  // the lock went with a stale handle: the next open takes it again, until the unlock
};
