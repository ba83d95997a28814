#include "transport/sgio/sg_request.h"

#include <cerrno>
#include <cstring>

namespace sgio {

namespace {

Fault FaultOfError(int error) {
  switch (error) {
    case ENODEV:
    case ENXIO:
    case ENOENT:
      return Fault::DeviceGone;
    case EPERM:
    case EACCES:
      return Fault::NotPermitted;
    case ENOMEDIUM:
      return Fault::NoMedium;
    case ETIMEDOUT:
      return Fault::TimedOut;
    default:
      return Fault::Other;
  }
}

Fault FaultOfSense(const ScsiSense& sense) {
  if (!sense.valid) return Fault::Other;
  switch (sense.key) {
    case sense_key::kNotReady:
      return sense.asc == asc::kMediumNotPresent ? Fault::NoMedium : Fault::Other;
    case sense_key::kDataProtect:
      return Fault::WriteProtected;
    case sense_key::kIllegalRequest:
      return Fault::IllegalRequest;
    case sense_key::kUnitAttention:
      return sense.asc == asc::kMediumNotPresent ? Fault::NoMedium : Fault::MediumChanged;
    default:
      return Fault::Other;
  }
}

Fault FaultOfHost(std::uint16_t hostStatus) {
  switch (hostStatus) {
    case kHostNoConnect:
    case kHostBadTarget:
      return Fault::DeviceGone;
    case kHostTimeOut:
      return Fault::TimedOut;
    default:
      return Fault::Other;
  }
}

}  // namespace

int DxferDirection(DataDirection direction) {
  switch (direction) {
    case DataDirection::In:
      return kDxferFromDevice;
    case DataDirection::Out:
      return kDxferToDevice;
    case DataDirection::None:
      break;
  }
  return kDxferNone;
}

DataDirection DirectionOfDxfer(int dxferDirection) {
  switch (dxferDirection) {
    case kDxferFromDevice:
      return DataDirection::In;
    case kDxferToDevice:
      return DataDirection::Out;
    default:
      return DataDirection::None;
  }
}

void BuildRequest(Request& request, const ReaderCommand& command, void* data, std::uint32_t timeoutMs) {
  request = Request{};
  std::memcpy(request.cdb.data(), command.cdb.data(), command.cdb.size());
  sg_io_hdr& h = request.header;
  h.interface_id = kInterfaceId;
  h.dxfer_direction = DxferDirection(command.direction);
  h.cmd_len = command.cdbLength;
  h.mx_sb_len = static_cast<unsigned char>(request.sense.size());
  h.dxfer_len = command.dataLength;
  h.dxferp = command.dataLength != 0 ? data : nullptr;
  h.cmdp = request.cdb.data();
  h.sbp = request.sense.data();
  h.timeout = timeoutMs;
}

Outcome ReadOutcome(const Request& request, int ioctlResult, bool fullTransferRequired) {
  Outcome outcome;
  if (ioctlResult < 0) {
    outcome.error = -ioctlResult;
    outcome.fault = FaultOfError(outcome.error);
    return outcome;
  }
  const sg_io_hdr& h = request.header;
  outcome.status = h.status;
  outcome.hostStatus = h.host_status;
  outcome.driverStatus = h.driver_status;
  outcome.resid = h.resid;
  outcome.durationMs = h.duration;
  const std::size_t senseLength = h.sb_len_wr < request.sense.size() ? h.sb_len_wr : request.sense.size();
  outcome.sense = ::DecodeSense(request.sense.data(), senseLength);
  if (h.host_status != 0) {
    outcome.fault = FaultOfHost(h.host_status);
  } else if (h.status != kStatusGood) {
    outcome.fault = FaultOfSense(outcome.sense);
  } else if ((h.driver_status & ~kDriverSense) != 0) {
    outcome.fault = Fault::Other;
  } else if (fullTransferRequired && h.resid != 0) {
    outcome.fault = Fault::Other;  // the reader delivered less than the command's reply
  }
  return outcome;
}

const char* FaultName(Fault fault) {
  switch (fault) {
    case Fault::None:
      return "ok";
    case Fault::NoMedium:
      return "no card";
    case Fault::WriteProtected:
      return "write-protected";
    case Fault::DeviceGone:
      return "reader gone";
    case Fault::IllegalRequest:
      return "illegal request";
    case Fault::MediumChanged:
      return "card changed";
    case Fault::NotPermitted:
      return "not permitted";
    case Fault::TimedOut:
      return "timed out";
    case Fault::Other:
      break;
  }
  return "failed";
}

}  // namespace sgio
