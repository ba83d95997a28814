// The USB/IP wire format (protocol version 1.1.1), as the Linux kernel's
// virtual host controller (vhci-hcd) and the usbip tool speak it: the
// operations that list and import exported devices, then the URB traffic
// of an imported device (submit and unlink, each with its reply). Every
// field is big-endian.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace usbip {

constexpr std::uint16_t kVersion = 0x0111;
constexpr std::uint16_t kDefaultPort = 3240;

// Operation codes of the set-up exchange.
constexpr std::uint16_t kOpRequestDeviceList = 0x8005;
constexpr std::uint16_t kOpReplyDeviceList = 0x0005;
constexpr std::uint16_t kOpRequestImport = 0x8003;
constexpr std::uint16_t kOpReplyImport = 0x0003;
constexpr std::uint32_t kOpStatusOk = 0;
constexpr std::uint32_t kOpStatusError = 1;

constexpr std::size_t kOpHeaderSize = 8;  // version, code, status
constexpr std::size_t kBusIdSize = 32;    // "1-1", zero-filled
constexpr std::size_t kPathSize = 256;    // the device's path on the exporting host
constexpr std::size_t kDeviceRecordSize = 0x138;
constexpr std::size_t kInterfaceRecordSize = 4;

// URB traffic.
constexpr std::uint32_t kCmdSubmit = 1;
constexpr std::uint32_t kCmdUnlink = 2;
constexpr std::uint32_t kRetSubmit = 3;
constexpr std::uint32_t kRetUnlink = 4;
constexpr std::size_t kUrbHeaderSize = 48;
constexpr std::uint32_t kDirectionIn = 1;
constexpr std::uint32_t kSpeedHigh = 3;  // USB 2.0 high speed
// number_of_packets of a reply outside isochronous transfers: the kernel
// copies it into the host's URB, so it stays 0, as the kernel's own server sends it.
constexpr std::uint32_t kNoIsochronousPackets = 0;
constexpr std::uint32_t kMaxTransfer = 16 * 1024 * 1024;  // larger buffers are refused

struct OpHeader {
  std::uint16_t version = kVersion;
  std::uint16_t code = 0;
  std::uint32_t status = kOpStatusOk;
};
OpHeader ParseOpHeader(const std::uint8_t* bytes);
void PutOpHeader(std::vector<std::uint8_t>& out, const OpHeader& header);

// What the device list and the import reply tell of a device.
struct DeviceRecord {
  std::string path;
  std::string busId;
  std::uint32_t busNumber = 1;
  std::uint32_t deviceNumber = 1;
  std::uint32_t speed = kSpeedHigh;
  std::uint16_t vendor = 0;
  std::uint16_t product = 0;
  std::uint16_t release = 0;
  std::uint8_t configurationValue = 1;
  std::uint8_t configurations = 1;
  struct Interface {
    std::uint8_t interfaceClass = 0;
    std::uint8_t subClass = 0;
    std::uint8_t protocol = 0;
  };
  std::vector<Interface> interfaces;
};
// The device record alone (import), or followed by its interfaces (device list).
void PutDeviceRecord(std::vector<std::uint8_t>& out, const DeviceRecord& device, bool withInterfaces);
// The bus id of an import request (the 32 bytes after its header).
std::string ParseBusId(const std::uint8_t* bytes);

// The header of every URB message: the basic header, then the command's own fields.
struct UrbHeader {
  std::uint32_t command = 0;
  std::uint32_t seqnum = 0;
  std::uint32_t devid = 0;
  std::uint32_t direction = 0;
  std::uint32_t endpoint = 0;
  // CMD_SUBMIT
  std::uint32_t transferFlags = 0;
  std::uint32_t transferLength = 0;
  std::array<std::uint8_t, 8> setup{};
  // CMD_UNLINK
  std::uint32_t unlinkSeqnum = 0;
};
UrbHeader ParseUrbHeader(const std::uint8_t* bytes);

// RET_SUBMIT for `seqnum`: status (0 or a negated errno), the bytes moved,
// and for an in transfer the bytes themselves after the header.
void PutReturnSubmit(std::vector<std::uint8_t>& out, std::uint32_t seqnum, std::int32_t status,
                     std::uint32_t actualLength, const std::vector<std::uint8_t>& inData);
// RET_UNLINK for `seqnum`: 0 when the URB had been answered already.
void PutReturnUnlink(std::vector<std::uint8_t>& out, std::uint32_t seqnum, std::int32_t status);

}  // namespace usbip
