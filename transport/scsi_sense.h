// SCSI sense data: what a device says about a command it answered with CHECK
// CONDITION. Both formats are read (fixed, response codes 70h/71h, and
// descriptor, 72h/73h); the sense key, the additional sense code (ASC) and
// its qualifier (ASCQ) are what tells the failures apart.
#pragma once

#include <cstddef>
#include <cstdint>

struct ScsiSense {
  bool valid = false;
  std::uint8_t key = 0;
  std::uint8_t asc = 0;
  std::uint8_t ascq = 0;
};

ScsiSense DecodeSense(const std::uint8_t* sense, std::size_t length);

// Fixed-format sense data, as a device builds it for the current command.
namespace fixed_sense {
constexpr std::size_t kLength = 18;
constexpr std::uint8_t kCurrent = 0x70;  // response code, byte 0
constexpr std::uint8_t kDeferred = 0x71;
constexpr std::size_t kKeyByte = 2;
constexpr std::size_t kAdditionalLengthByte = 7;  // bytes that follow byte 7
constexpr std::size_t kAscByte = 12;
constexpr std::size_t kAscqByte = 13;
}  // namespace fixed_sense

namespace sense_key {
constexpr std::uint8_t kNoSense = 0x00;
constexpr std::uint8_t kRecoveredError = 0x01;
constexpr std::uint8_t kNotReady = 0x02;
constexpr std::uint8_t kMediumError = 0x03;
constexpr std::uint8_t kHardwareError = 0x04;
constexpr std::uint8_t kIllegalRequest = 0x05;
constexpr std::uint8_t kUnitAttention = 0x06;
constexpr std::uint8_t kDataProtect = 0x07;
constexpr std::uint8_t kAbortedCommand = 0x0B;
}  // namespace sense_key

namespace asc {
constexpr std::uint8_t kInvalidOpcode = 0x20;
constexpr std::uint8_t kInvalidFieldInCdb = 0x24;
constexpr std::uint8_t kWriteProtected = 0x27;
constexpr std::uint8_t kMediumChanged = 0x28;
constexpr std::uint8_t kMediumNotPresent = 0x3A;
}  // namespace asc

// "NOT READY", "ILLEGAL REQUEST", ...
const char* SenseKeyName(std::uint8_t key);

namespace scsi_status {
constexpr std::uint8_t kCheckCondition = 0x02;  // the device refused the command; its sense data says why
}  // namespace scsi_status

// Whether a command came back with UNIT ATTENTION: the device reports a
// change (a reader presenting its card anew after the format-end command, a
// card put back, a reset) and did not run the command. Disk drivers send
// such a command once more, and so do the backends: it is the transport's
// handling of the reported change, not a retry of a failed command.
bool MetUnitAttention(std::uint8_t status, const std::uint8_t* sense, std::size_t length);
