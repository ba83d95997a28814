#include "transport/scsi_sense.h"

#include <array>

namespace {

// Fixed format: response code in byte 0, key in byte 2, ASC and ASCQ in
// bytes 12 and 13. Descriptor format: key, ASC and ASCQ in bytes 1 to 3.
constexpr std::uint8_t kResponseCodeMask = 0x7F;
constexpr std::uint8_t kDescriptorCurrent = 0x72;
constexpr std::uint8_t kDescriptorDeferred = 0x73;
constexpr std::uint8_t kSenseKeyMask = 0x0F;

struct SenseLayout {
  std::size_t key;
  std::size_t asc;
  std::size_t ascq;
};
constexpr SenseLayout kFixed{fixed_sense::kKeyByte, fixed_sense::kAscByte, fixed_sense::kAscqByte};
constexpr SenseLayout kDescriptor{1, 2, 3};

constexpr std::array<const char*, 16> kKeyNames = {
    "NO SENSE",       "RECOVERED ERROR", "NOT READY",   "MEDIUM ERROR",    "HARDWARE ERROR", "ILLEGAL REQUEST",
    "UNIT ATTENTION", "DATA PROTECT",    "BLANK CHECK", "VENDOR SPECIFIC", "COPY ABORTED",   "ABORTED COMMAND",
    "EQUAL",          "VOLUME OVERFLOW", "MISCOMPARE",  "COMPLETED"};

}  // namespace

ScsiSense DecodeSense(const std::uint8_t* sense, std::size_t length) {
  ScsiSense decoded;
  if (sense == nullptr || length == 0) return decoded;
  const std::uint8_t code = sense[0] & kResponseCodeMask;
  SenseLayout layout{};
  if (code == fixed_sense::kCurrent || code == fixed_sense::kDeferred) {
    layout = kFixed;
  } else if (code == kDescriptorCurrent || code == kDescriptorDeferred) {
    layout = kDescriptor;
  } else {
    return decoded;
  }
  if (length <= layout.key) return decoded;
  decoded.valid = true;
  decoded.key = sense[layout.key] & kSenseKeyMask;
  if (length > layout.asc) decoded.asc = sense[layout.asc];
  if (length > layout.ascq) decoded.ascq = sense[layout.ascq];
  return decoded;
}

const char* SenseKeyName(std::uint8_t key) { return kKeyNames[key & kSenseKeyMask]; }

bool MetUnitAttention(std::uint8_t status, const std::uint8_t* sense, std::size_t length) {
  if (status != scsi_status::kCheckCondition) return false;
  const ScsiSense decoded = DecodeSense(sense, length);
  return decoded.valid && decoded.key == sense_key::kUnitAttention;
}
