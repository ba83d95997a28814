#include "usbip/protocol.h"

#include <algorithm>

namespace usbip {

namespace {

// Offsets in the URB header.
constexpr std::size_t kCommand = 0x00;
constexpr std::size_t kSeqnum = 0x04;
constexpr std::size_t kDevid = 0x08;
constexpr std::size_t kDirection = 0x0C;
constexpr std::size_t kEndpoint = 0x10;
constexpr std::size_t kTransferFlags = 0x14;  // CMD_SUBMIT
constexpr std::size_t kUnlinkSeqnum = 0x14;   // CMD_UNLINK
constexpr std::size_t kTransferLength = 0x18;
constexpr std::size_t kSetup = 0x28;

std::uint32_t Be32(const std::uint8_t* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}

std::uint16_t Be16(const std::uint8_t* p) { return static_cast<std::uint16_t>((p[0] << 8) | p[1]); }

void Put16(std::vector<std::uint8_t>& out, std::uint16_t value) {
  out.push_back(static_cast<std::uint8_t>(value >> 8));
  out.push_back(static_cast<std::uint8_t>(value));
}

void Put32(std::vector<std::uint8_t>& out, std::uint32_t value) {
  Put16(out, static_cast<std::uint16_t>(value >> 16));
  Put16(out, static_cast<std::uint16_t>(value));
}

void PutText(std::vector<std::uint8_t>& out, const std::string& text, std::size_t width) {
  const std::size_t kept = std::min(text.size(), width - 1);  // always closed with a zero byte
  out.insert(out.end(), text.begin(), text.begin() + static_cast<std::ptrdiff_t>(kept));
  out.insert(out.end(), width - kept, 0);
}

void PutBasic(std::vector<std::uint8_t>& out, std::uint32_t command, std::uint32_t seqnum) {
  Put32(out, command);
  Put32(out, seqnum);
  Put32(out, 0);  // devid, direction and endpoint are the client's; a server leaves them 0
  Put32(out, 0);
  Put32(out, 0);
}

}  // namespace

OpHeader ParseOpHeader(const std::uint8_t* bytes) { return OpHeader{Be16(bytes), Be16(bytes + 2), Be32(bytes + 4)}; }

void PutOpHeader(std::vector<std::uint8_t>& out, const OpHeader& header) {
  Put16(out, header.version);
  Put16(out, header.code);
  Put32(out, header.status);
}

void PutDeviceRecord(std::vector<std::uint8_t>& out, const DeviceRecord& device, bool withInterfaces) {
  PutText(out, device.path, kPathSize);
  PutText(out, device.busId, kBusIdSize);
  Put32(out, device.busNumber);
  Put32(out, device.deviceNumber);
  Put32(out, device.speed);
  Put16(out, device.vendor);
  Put16(out, device.product);
  Put16(out, device.release);
  out.insert(out.end(), {0, 0, 0, device.configurationValue, device.configurations,
                         static_cast<std::uint8_t>(device.interfaces.size())});
  if (!withInterfaces) return;
  for (const DeviceRecord::Interface& i : device.interfaces)
    out.insert(out.end(), {i.interfaceClass, i.subClass, i.protocol, 0});
}

std::string ParseBusId(const std::uint8_t* bytes) {
  const auto* end = std::find(bytes, bytes + kBusIdSize, 0);
  return std::string(bytes, end);
}

UrbHeader ParseUrbHeader(const std::uint8_t* b) {
  UrbHeader h;
  h.command = Be32(b + kCommand);
  h.seqnum = Be32(b + kSeqnum);
  h.devid = Be32(b + kDevid);
  h.direction = Be32(b + kDirection);
  h.endpoint = Be32(b + kEndpoint);
  h.transferFlags = Be32(b + kTransferFlags);
  h.unlinkSeqnum = Be32(b + kUnlinkSeqnum);
  h.transferLength = Be32(b + kTransferLength);
  std::copy_n(b + kSetup, h.setup.size(), h.setup.begin());
  return h;
}

void PutReturnSubmit(std::vector<std::uint8_t>& out, std::uint32_t seqnum, std::int32_t status,
                     std::uint32_t actualLength, const std::vector<std::uint8_t>& inData) {
  PutBasic(out, kRetSubmit, seqnum);
  Put32(out, static_cast<std::uint32_t>(status));
  Put32(out, actualLength);
  Put32(out, 0);  // start frame
  Put32(out, kNoIsochronousPackets);
  Put32(out, 0);  // error count
  out.insert(out.end(), 8, 0);
  out.insert(out.end(), inData.begin(), inData.end());
}

void PutReturnUnlink(std::vector<std::uint8_t>& out, std::uint32_t seqnum, std::int32_t status) {
  PutBasic(out, kRetUnlink, seqnum);
  Put32(out, static_cast<std::uint32_t>(status));
  out.insert(out.end(), 24, 0);
}

}  // namespace usbip
