// The SG_IO request that carries one reader command on Linux, and what its
// answer means: the header the kernel takes (sg_io_hdr), the timeout of each
// command, and the decoding of the status and the sense data the reader
// returns, so that a failure can be told apart (no card, write-protected
// card, reader gone, a command the reader or the system refused).
#pragma once

#include <scsi/sg.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "transport/reader_commands.h"
#include "transport/scsi_sense.h"

namespace sgio {

constexpr int kInterfaceId = 'S';
constexpr unsigned long kSgIo = SG_IO;
static_assert(kSgIo == 0x2285);
constexpr int kDxferNone = SG_DXFER_NONE;
constexpr int kDxferToDevice = SG_DXFER_TO_DEV;
constexpr int kDxferFromDevice = SG_DXFER_FROM_DEV;
static_assert(kDxferNone == -1 && kDxferToDevice == -2 && kDxferFromDevice == -3);

// The kernel writes at most this much sense data: fixed-format sense is 18
// bytes, descriptor-format a little more.
constexpr std::size_t kSenseBufferSize = 32;
constexpr std::size_t kMaxCdbLength = 16;  // what the kernel accepts
static_assert(ReaderCommand::kMaxCdb <= kMaxCdbLength);

// The layout the kernel reads on this platform (LP64: 88 bytes).
static_assert(offsetof(sg_io_hdr, interface_id) == 0);
static_assert(offsetof(sg_io_hdr, dxfer_direction) == 4);
static_assert(offsetof(sg_io_hdr, cmd_len) == 8);
static_assert(offsetof(sg_io_hdr, mx_sb_len) == 9);
static_assert(offsetof(sg_io_hdr, dxfer_len) == 12);
static_assert(sizeof(void*) != 8 || sizeof(sg_io_hdr) == 88);

// SCSI status and the host byte values the backend tells apart.
constexpr std::uint8_t kStatusGood = 0x00;
constexpr std::uint8_t kStatusCheckCondition = 0x02;
constexpr std::uint16_t kHostNoConnect = 0x01;  // DID_NO_CONNECT: the device went away
constexpr std::uint16_t kHostTimeOut = 0x03;    // DID_TIME_OUT
constexpr std::uint16_t kHostBadTarget = 0x04;  // DID_BAD_TARGET
constexpr std::uint16_t kDriverSense = 0x08;    // DRIVER_SENSE: sense data came with the status

// How long each command may take before the kernel aborts it. Reads and
// writes of logical sectors go through the reader's mapping and may wait
// for a block to be copied and erased; the vendor commands touch one page
// or block.
struct RequestRow {
  ReaderOperation operation;
  std::uint32_t timeoutMs;
};

constexpr std::array<RequestRow, 15> kRequestTable = {{
    {ReaderOperation::Inquiry, 3000},
    {ReaderOperation::ReadLba, 5000},
    {ReaderOperation::WriteLba, 8000},
    {ReaderOperation::UnLock, 5000},
    {ReaderOperation::Lock, 5000},
    {ReaderOperation::SetLbaOffset, 5000},
    {ReaderOperation::FormatEnd, 5000},
    {ReaderOperation::ReadMediaInfo, 3000},
    {ReaderOperation::GetDeviceState, 3000},
    {ReaderOperation::ErasePhyBlk, 3000},
    {ReaderOperation::WriteRedundant, 3000},
    {ReaderOperation::ReadPhySector, 3000},
    {ReaderOperation::WritePhySector, 3000},
    {ReaderOperation::GetLunMap, 3000},
    {ReaderOperation::GetCardType, 3000},
}};

constexpr bool RequestTableFollowsOperationOrder() {
  for (std::size_t i = 0; i < kRequestTable.size(); ++i) {
    if (static_cast<std::size_t>(kRequestTable[i].operation) != i) return false;
  }
  return kRequestTable.size() == kReaderCommandTable.size();
}
static_assert(RequestTableFollowsOperationOrder(), "kRequestTable rows must follow ReaderOperation order");

constexpr std::uint32_t TimeoutMs(ReaderOperation operation) {
  return kRequestTable[static_cast<std::size_t>(operation)].timeoutMs;
}

int DxferDirection(DataDirection direction);
DataDirection DirectionOfDxfer(int dxferDirection);

// One request: the header, and the command block and sense buffer it points at.
struct Request {
  sg_io_hdr header{};
  std::array<std::uint8_t, kMaxCdbLength> cdb{};
  std::array<std::uint8_t, kSenseBufferSize> sense{};
};

// Fills `request` for `command`: the command block and its declared length,
// the direction and length of the data phase, `data` as the data buffer (the
// command's data length bytes, or null for a command without data), the
// sense buffer and the timeout. Every other field is zero.
void BuildRequest(Request& request, const ReaderCommand& command, void* data, std::uint32_t timeoutMs);

// What went wrong with a command, as far as the operator needs to know.
enum class Fault : std::uint8_t {
  None,
  NoMedium,        // NOT READY, medium not present: no card in the slot, or it was pulled
  WriteProtected,  // DATA PROTECT: the card's write-protect tab
  DeviceGone,      // the reader was unplugged (ENODEV/ENXIO, or the host lost the device)
  IllegalRequest,  // ILLEGAL REQUEST: the reader does not take this command or field
  MediumChanged,   // UNIT ATTENTION: the reader presents the card anew
  NotPermitted,    // EPERM/EACCES: the kernel refused the command to this caller
  TimedOut,        // the command took longer than its timeout
  Other,           // a medium or hardware error, or a failure of the system
};

// The outcome of one SG_IO request.
struct Outcome {
  int error = 0;  // errno of a failed ioctl; 0 when the kernel carried the request
  std::uint8_t status = 0;
  std::uint16_t hostStatus = 0;
  std::uint16_t driverStatus = 0;
  int resid = 0;
  std::uint32_t durationMs = 0;
  ScsiSense sense;
  Fault fault = Fault::None;

  bool Succeeded() const { return fault == Fault::None; }
};

// Reads the answer out of a request the kernel has carried (ioctlResult 0)
// or refused (-errno). A command succeeds when the kernel carried it, the
// host and driver report nothing, the reader answered GOOD and, for a read,
// delivered every byte asked for (`fullTransferRequired`).
Outcome ReadOutcome(const Request& request, int ioctlResult, bool fullTransferRequired);

// A short description of the fault for messages and the trace: "no card".
const char* FaultName(Fault fault);

}  // namespace sgio
