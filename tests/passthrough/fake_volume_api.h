// A model of the system's volumes C: to Z: and of how its storage stack takes
// SCSI pass-through requests, standing in for the real VolumeApi in tests.
//
// A letter holds nothing (it cannot be opened), a system disk (it answers
// INQUIRY as another vendor's drive and rejects everything else), or a
// simulated reader as the system's disk driver meets it (sim::ReaderTarget:
// sense data for each failure, UNIT ATTENTION once after the reader presents
// its card anew). Each pass-through request is checked as the system checks
// it before its command block reaches the device (header length, buffer
// lengths against the data and sense areas, CDB length, direction code,
// missing direct buffer, timeout, transfer size); a request that fails the
// checks makes the control fail and never reaches the device. The request
// block travels the way a buffered device control does: copied into a system
// buffer, and copied back as far as the bytes returned.
//
// Everything is recorded: each open, each device control with its header and
// command block, and the handles, so that tests can count open handles and
// catch the use of a closed one.
#pragma once

#include <windows.h>

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "sim/reader.h"
#include "sim/reader_target.h"
#include "transport/passthrough/volume_api.h"

class FakeVolumeApi : public VolumeApi {
 public:
  static constexpr DWORD kMaxTransferLength = 0x10000;  // what a USB mass-storage adapter takes at once

  struct OpenCall {
    std::string path;
    DWORD access = 0;
    DWORD shareMode = 0;
    DWORD creationDisposition = 0;
    DWORD flagsAndAttributes = 0;
    bool opened = false;
  };

  // One device control. The header fields are those of a pass-through
  // request as the system read them (zero for other controls).
  struct Request {
    char letter = 0;
    DWORD controlCode = 0;
    DWORD inputLength = 0;
    DWORD outputLength = 0;
    bool reachedDevice = false;  // passed the checks and was executed
    BOOL result = FALSE;
    DWORD error = 0;  // the last-error code of a failed control
    USHORT length = 0;
    UCHAR pathId = 0;
    UCHAR targetId = 0;
    UCHAR lun = 0;
    UCHAR cdbLength = 0;
    UCHAR senseInfoLength = 0;
    UCHAR dataIn = 0;
    ULONG dataTransferLength = 0;
    ULONG timeOutValue = 0;
    ULONG senseInfoOffset = 0;
    ULONG_PTR dataBufferOffset = 0;  // buffered requests
    bool hasDataBuffer = false;      // direct requests
    std::array<std::uint8_t, 16> cdb{};
    UCHAR scsiStatus = 0;  // what the device answered
  };

  // Letters hold nothing until given something.
  void AddSystemDisk(char letter);
  // A volume whose driver takes no SCSI pass-through (under Wine, a drive of
  // a plain folder such as its C: and Z:): it opens, and every pass-through
  // request fails with ERROR_NOT_SUPPORTED.
  void AddFolderVolume(char letter);
  void AddReader(char letter, sim::Reader& reader);
  // The n-th open of the letter (counting from 1, failed ones included) and
  // every later one fail with `error`: by default the drive letter went with
  // the reader; ERROR_NOT_READY says the slot is empty.
  void FailOpensFrom(char letter, int openNumber, DWORD error = ERROR_FILE_NOT_FOUND);
  // Opens of the letter succeed again: the reader is back.
  void AllowOpens(char letter) { FailOpensFrom(letter, 0); }
  int OpenCount(char letter) { return VolumeOf(letter).openCount; }
  // The next `times` volume lock requests on the letter fail.
  void FailLocks(char letter, int times);
  // The next `times` dismounts of the letter are refused.
  void FailDismounts(char letter, int times) { VolumeOf(letter).dismountFailures = times; }
  // The n-th pass-through request from now on (counting from 1, over every
  // volume) fails in the system before it reaches the device.
  void FailPassThroughAt(int requestNumber);

  const std::vector<OpenCall>& Opens() const { return opens; }
  const std::vector<Request>& Requests() const { return requests; }
  // Requests that carried a command block (both pass-through controls).
  std::vector<Request> PassThroughRequests() const;
  int OpenHandles() const;
  bool IsOpenHandle(HANDLE handle) const;
  // Uses the real system could not survive or would reject as a program
  // fault: a control or close on a closed or unknown handle, a control
  // without a byte count.
  const std::vector<std::string>& Misuse() const { return misuse; }
  int CloseCalls() const { return closeCalls; }
  void ClearRecords();

  HANDLE Open(const char* path, DWORD access, DWORD shareMode, DWORD creationDisposition,
              DWORD flagsAndAttributes) override;
  BOOL Control(HANDLE device, DWORD controlCode, void* input, DWORD inputLength, void* output, DWORD outputLength,
               DWORD* bytesReturned) override;
  BOOL Close(HANDLE handle) override;

 private:
  enum class Kind : std::uint8_t { Nothing, SystemDisk, Folder, Reader };

  struct Volume {
    Kind kind = Kind::Nothing;
    std::shared_ptr<sim::ReaderTarget> reader;
    int openCount = 0;
    int failOpensFrom = 0;  // 0: opens succeed
    DWORD openError = ERROR_FILE_NOT_FOUND;
    int lockFailures = 0;
    int dismountFailures = 0;
    HANDLE lockedBy = nullptr;
    bool cardAtLock = false;  // the reader held a card when the lock was taken
  };

  // A handle that holds the lock of a volume whose card is taken out goes
  // stale: every later control on it fails in the system, even once the card
  // is back, as the file system refuses handles of a volume that changed.
  struct HandleState {
    char letter = 0;
    bool open = false;
    bool stale = false;
  };

  Volume& VolumeOf(char letter);
  BOOL Fail(Request& request, DWORD error);
  bool GoesStale(HANDLE handle, HandleState& state);
  BOOL LockVolume(HANDLE handle, Request& request);
  BOOL DismountVolume(Request& request);
  BOOL UnlockVolume(HANDLE handle, Request& request);
  BOOL PassThrough(Request& request, void* input, DWORD inputLength, void* output, DWORD outputLength,
                   DWORD* bytesReturned);
  // The device's status; `sense` what it says of a failure.
  std::uint8_t Execute(char letter, const std::uint8_t* cdb, std::size_t cdbLength, UCHAR dataIn, std::uint8_t* data,
                       std::uint32_t dataLength, std::vector<std::uint8_t>& sense);

  std::map<char, Volume> volumes;
  std::map<HANDLE, HandleState> handles;
  std::vector<OpenCall> opens;
  std::vector<Request> requests;
  std::vector<std::string> misuse;
  std::uintptr_t nextHandle = 0x1000;
  int passThroughCount = 0;
  int failPassThroughAt = 0;
  int closeCalls = 0;
};
