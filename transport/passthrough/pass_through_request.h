// The SCSI pass-through request block the backend hands to the card's volume,
// and the parameters of the request that carries each reader command.
//
// A buffered request is the platform's SCSI_PASS_THROUGH header, a filler, a
// sense area and a data area that holds one physical page or one logical
// sector. A direct request is the SCSI_PASS_THROUGH_DIRECT header, the filler
// and the sense area; its data stays in the caller's buffer. Every length and
// offset the backend declares is taken from these structures, so that a
// 64-bit build describes its own, larger header to a 64-bit system: on a
// 32-bit build the buffered block is 608 bytes with the sense area at 48 and
// the data area at 80.
#pragma once

// <windows.h> first: the device-control headers build on it.
#include <windows.h>

#include <ntddscsi.h>
#include <winioctl.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>

#include "transport/reader_commands.h"
#include "transport/scsi_sense.h"

namespace passthrough {

constexpr DWORD kScsiPassThrough = IOCTL_SCSI_PASS_THROUGH;
constexpr DWORD kScsiPassThroughDirect = IOCTL_SCSI_PASS_THROUGH_DIRECT;
constexpr DWORD kLockVolume = FSCTL_LOCK_VOLUME;
constexpr DWORD kUnlockVolume = FSCTL_UNLOCK_VOLUME;
constexpr DWORD kDismountVolume = FSCTL_DISMOUNT_VOLUME;
static_assert(kScsiPassThrough == 0x4D004 && kScsiPassThroughDirect == 0x4D014);
static_assert(kLockVolume == 0x90018 && kUnlockVolume == 0x9001C && kDismountVolume == 0x90020);

// Values of the header's DataIn field.
constexpr UCHAR kDataOut = SCSI_IOCTL_DATA_OUT;
constexpr UCHAR kDataIn = SCSI_IOCTL_DATA_IN;
constexpr UCHAR kDataUnspecified = SCSI_IOCTL_DATA_UNSPECIFIED;
static_assert(kDataOut == 0 && kDataIn == 1 && kDataUnspecified == 2);

constexpr std::size_t kSenseAreaSize = 32;
constexpr UCHAR kSenseInfoLength = 24;  // what the request offers the system for sense data
constexpr std::size_t kDataAreaSize = kPageSize;
constexpr std::size_t kMaxCdbLength = sizeof(SCSI_PASS_THROUGH::Cdb);

struct PassThroughRequest {
  SCSI_PASS_THROUGH header;
  ULONG filler;  // zero
  UCHAR senseArea[kSenseAreaSize];
  UCHAR dataArea[kDataAreaSize];
};

struct PassThroughDirectRequest {
  SCSI_PASS_THROUGH_DIRECT header;
  ULONG filler;  // zero
  UCHAR senseArea[kSenseAreaSize];
};

constexpr DWORD kHeaderLength = sizeof(SCSI_PASS_THROUGH);
constexpr DWORD kDirectHeaderLength = sizeof(SCSI_PASS_THROUGH_DIRECT);
constexpr DWORD kSenseAreaOffset = offsetof(PassThroughRequest, senseArea);
constexpr DWORD kDataAreaOffset = offsetof(PassThroughRequest, dataArea);
constexpr DWORD kRequestLength = sizeof(PassThroughRequest);
constexpr DWORD kDirectSenseAreaOffset = offsetof(PassThroughDirectRequest, senseArea);
constexpr DWORD kDirectRequestLength = sizeof(PassThroughDirectRequest);

// Both kinds share one shape: the filler follows the header, the sense area
// the filler, the data area the sense area.
static_assert(kDirectHeaderLength == kHeaderLength);
static_assert(kSenseAreaOffset == kHeaderLength + sizeof(ULONG));
static_assert(kDirectSenseAreaOffset == kSenseAreaOffset);
static_assert(kDataAreaOffset == kSenseAreaOffset + kSenseAreaSize);
static_assert(kRequestLength >= kDataAreaOffset + kDataAreaSize);
static_assert(kDirectRequestLength >= kDirectSenseAreaOffset + kSenseAreaSize);
static_assert(kSenseInfoLength <= kSenseAreaSize);
static_assert(ReaderCommand::kMaxCdb <= kMaxCdbLength);

#if defined(_WIN64)
// 64-bit header: DataBufferOffset (and DataBuffer) is pointer-sized and
// 8-aligned, so the header is 56 bytes and the block ends on an 8-byte boundary.
static_assert(kHeaderLength == 56);
static_assert(kSenseAreaOffset == 60);
static_assert(kDataAreaOffset == 92);
static_assert(kRequestLength == 624);
static_assert(kDirectRequestLength == 96);
#else
static_assert(kHeaderLength == 44);
static_assert(kSenseAreaOffset == 48);
static_assert(kDataAreaOffset == 80);
static_assert(kRequestLength == 608);
static_assert(kDirectRequestLength == 80);
#endif

// How a command travels.
enum class Carrier : std::uint8_t {
  Buffered,  // IOCTL_SCSI_PASS_THROUGH: data copied through the data area
  Direct,    // IOCTL_SCSI_PASS_THROUGH_DIRECT: data in the caller's buffer
};

// How much of a buffered block goes to the system as input.
enum class InputSpan : std::uint8_t {
  Header,          // the header alone
  HeaderAndSense,  // up to the data area
  WholeRequest,    // the whole block
};

struct RequestRow {
  ReaderOperation operation;
  Carrier carrier;
  InputSpan input;  // buffered requests only
  ULONG timeoutSeconds;
};

// The request of every command this backend sends (it never asks for the
// logical-unit map).
constexpr std::array<RequestRow, 14> kRequestTable = {{
    {ReaderOperation::Inquiry, Carrier::Buffered, InputSpan::Header, 3},
    {ReaderOperation::GetCardType, Carrier::Buffered, InputSpan::HeaderAndSense, 3},
    {ReaderOperation::ReadMediaInfo, Carrier::Buffered, InputSpan::WholeRequest, 3},
    {ReaderOperation::ReadLba, Carrier::Buffered, InputSpan::Header, 5},
    {ReaderOperation::WriteLba, Carrier::Direct, InputSpan::WholeRequest, 8},
    {ReaderOperation::ErasePhyBlk, Carrier::Buffered, InputSpan::WholeRequest, 3},
    {ReaderOperation::ReadPhySector, Carrier::Buffered, InputSpan::WholeRequest, 3},
    {ReaderOperation::WriteRedundant, Carrier::Buffered, InputSpan::WholeRequest, 3},
    {ReaderOperation::WritePhySector, Carrier::Buffered, InputSpan::WholeRequest, 3},
    {ReaderOperation::GetDeviceState, Carrier::Buffered, InputSpan::WholeRequest, 3},
    {ReaderOperation::UnLock, Carrier::Direct, InputSpan::WholeRequest, 5},
    {ReaderOperation::Lock, Carrier::Direct, InputSpan::WholeRequest, 5},
    {ReaderOperation::FormatEnd, Carrier::Direct, InputSpan::WholeRequest, 5},
    {ReaderOperation::SetLbaOffset, Carrier::Direct, InputSpan::WholeRequest, 5},
}};

// A read of more than one logical sector does not fit the data area: it goes
// straight into the caller's buffer, as a write does, with the read's timeout.
constexpr RequestRow kMultiSectorReadRow = {ReaderOperation::ReadLba, Carrier::Direct, InputSpan::WholeRequest, 5};

// The row of an operation; null for one this backend does not send.
constexpr const RequestRow* RequestRowFor(ReaderOperation operation) {
  for (const RequestRow& row : kRequestTable) {
    if (row.operation == operation) return &row;
  }
  return nullptr;
}

UCHAR DataInCode(DataDirection direction);
DWORD ControlCode(const RequestRow& row);
DWORD InputLength(const RequestRow& row);
// A buffered request's output reaches to the end of its data.
DWORD OutputLength(const RequestRow& row, std::uint32_t dataLength);

// How a request came back. The system writes the reader's status byte into
// ScsiStatus, its sense data into the sense area and their length into
// SenseInfoLength (Wine's SG_IO route does too); the area is cleared before
// each request, so nothing stale is read.
enum class Reply : std::uint8_t {
  Good,           // carried, and the reader answered with good status
  UnitAttention,  // the reader presents its card anew and did not run the command
  Failed,
};

template <typename Request>
Reply ReplyOf(bool carried, const Request& request) {
  if (!carried) return Reply::Failed;
  if (request.header.ScsiStatus == 0) return Reply::Good;
  const std::size_t senseLength = std::min<std::size_t>(request.header.SenseInfoLength, kSenseAreaSize);
  return MetUnitAttention(request.header.ScsiStatus, request.senseArea, senseLength) ? Reply::UnitAttention
                                                                                     : Reply::Failed;
}

// Clears the block and fills the header for `command`; copies `dataOut`
// (the command's data length) into the data area when given. False, with
// the block cleared, when the command's data does not fit the data area.
bool BuildBufferedRequest(PassThroughRequest& request, const ReaderCommand& command, const RequestRow& row,
                          UCHAR pathId, UCHAR targetId, const std::uint8_t* dataOut);
// Clears the block and fills the header; DataBuffer is `data`, or null for a
// command without data.
void BuildDirectRequest(PassThroughDirectRequest& request, const ReaderCommand& command, const RequestRow& row,
                        void* data);

}  // namespace passthrough
