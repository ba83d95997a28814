#include "transport/passthrough/pass_through_request.h"

#include <cstring>

namespace passthrough {

namespace {

template <typename Header>
void FillHeader(Header& header, const ReaderCommand& command, const RequestRow& row) {
  header.Length = sizeof(Header);
  header.CdbLength = command.cdbLength;
  header.SenseInfoLength = kSenseInfoLength;
  header.DataIn = DataInCode(command.direction);
  header.DataTransferLength = command.dataLength;
  header.TimeOutValue = row.timeoutSeconds;
  header.SenseInfoOffset = kSenseAreaOffset;
  std::memcpy(header.Cdb, command.cdb.data(), command.cdb.size());
}

}  // namespace

UCHAR DataInCode(DataDirection direction) {
  switch (direction) {
    case DataDirection::In:
      return kDataIn;
    case DataDirection::Out:
      return kDataOut;
    case DataDirection::None:
      break;
  }
  return kDataUnspecified;
}

DWORD ControlCode(const RequestRow& row) {
  return row.carrier == Carrier::Direct ? kScsiPassThroughDirect : kScsiPassThrough;
}

DWORD InputLength(const RequestRow& row) {
  if (row.carrier == Carrier::Direct) return kDirectRequestLength;
  switch (row.input) {
    case InputSpan::Header:
      return kHeaderLength;
    case InputSpan::HeaderAndSense:
      return kDataAreaOffset;
    case InputSpan::WholeRequest:
      break;
  }
  return kRequestLength;
}

DWORD OutputLength(const RequestRow& row, std::uint32_t dataLength) {
  if (row.carrier == Carrier::Direct) return kDirectRequestLength;
  return kDataAreaOffset + dataLength;
}

bool BuildBufferedRequest(PassThroughRequest& request, const ReaderCommand& command, const RequestRow& row,
                          UCHAR pathId, UCHAR targetId, const std::uint8_t* dataOut) {
  std::memset(&request, 0, sizeof request);
  if (command.dataLength > kDataAreaSize) return false;
  FillHeader(request.header, command, row);
  request.header.PathId = pathId;
  request.header.TargetId = targetId;
  request.header.DataBufferOffset = kDataAreaOffset;
  if (dataOut != nullptr) std::memcpy(request.dataArea, dataOut, command.dataLength);
  return true;
}

void BuildDirectRequest(PassThroughDirectRequest& request, const ReaderCommand& command, const RequestRow& row,
                        void* data) {
  std::memset(&request, 0, sizeof request);
  FillHeader(request.header, command, row);
  request.header.DataBuffer = command.dataLength != 0 ? data : nullptr;
}

}  // namespace passthrough
