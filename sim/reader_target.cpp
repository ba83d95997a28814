#include "sim/reader_target.h"

#include <algorithm>
#include <array>
#include <utility>

#include "engine/byte_order.h"
#include "transport/scsi_sense.h"

namespace sim {

namespace {

constexpr std::uint8_t kLbaOutOfRange = 0x21;
constexpr std::uint8_t kWriteFault = 0x0C;
constexpr std::uint8_t kUnrecoveredReadError = 0x11;

// The standard commands a host's disk driver sends.
namespace standard {
constexpr std::uint8_t kTestUnitReady = 0x00;
constexpr std::uint8_t kRequestSense = 0x03;
constexpr std::uint8_t kModeSense6 = 0x1A;
constexpr std::uint8_t kStartStopUnit = 0x1B;
constexpr std::uint8_t kPreventAllowRemoval = 0x1E;
constexpr std::uint8_t kReadCapacity10 = 0x25;
constexpr std::uint8_t kSynchronizeCache10 = 0x35;
constexpr std::uint8_t kModeSense10 = 0x5A;
}  // namespace standard

constexpr std::size_t kShortCdb = 6;
constexpr std::size_t kRead10CdbLength = 10;
constexpr std::uint8_t kInquiryVitalData = 0x01;  // EVPD, byte 1
constexpr std::size_t kInquiryPageCode = 2;
constexpr std::size_t kInquiryAllocationHigh = 3;
constexpr std::size_t kSixByteAllocation = 4;  // REQUEST SENSE, MODE SENSE(6)
constexpr std::size_t kTenByteAllocation = 7;  // MODE SENSE(10), 16 bits
constexpr std::uint8_t kDeviceSpecificWriteProtect = 0x80;
constexpr std::uint32_t kLogicalBlockBytes = 512;

bool NeedsCard(ReaderOperation operation) {
  return operation != ReaderOperation::Inquiry && operation != ReaderOperation::GetLunMap &&
         operation != ReaderOperation::GetCardType;
}

bool WritesCard(ReaderOperation operation) {
  return operation == ReaderOperation::WriteLba || operation == ReaderOperation::ErasePhyBlk ||
         operation == ReaderOperation::WriteRedundant || operation == ReaderOperation::WritePhySector;
}

bool IsLogicalTransfer(std::uint8_t code) { return code == opcode::kRead10 || code == opcode::kWrite10; }

}  // namespace

std::vector<std::uint8_t> FixedSense(std::uint8_t key, std::uint8_t asc, std::uint8_t ascq) {
  std::vector<std::uint8_t> sense(fixed_sense::kLength, 0);
  sense[0] = fixed_sense::kCurrent;
  sense[fixed_sense::kKeyByte] = key;
  sense[fixed_sense::kAdditionalLengthByte] =
      static_cast<std::uint8_t>(fixed_sense::kLength - fixed_sense::kAdditionalLengthByte - 1);
  sense[fixed_sense::kAscByte] = asc;
  sense[fixed_sense::kAscqByte] = ascq;
  return sense;
}

ReaderTarget::ReaderTarget(Reader& reader_) : reader(reader_), reportedMediaChanges(reader_.MediaChanges()) {}

TargetAnswer ReaderTarget::Fail(std::uint8_t key, std::uint8_t asc) {
  sense = FixedSense(key, asc);
  lastSense = sense;
  return TargetAnswer{kStatusCheckCondition, 0};
}

TargetAnswer ReaderTarget::Reply(const std::uint8_t* bytes, std::size_t size, std::uint32_t allocation,
                                 std::uint8_t* data, std::uint32_t length) {
  const auto moved = static_cast<std::uint32_t>(std::min<std::size_t>({size, allocation, length}));
  if (moved != 0) std::copy_n(bytes, moved, data);
  return TargetAnswer{kStatusGood, moved};
}

TargetAnswer ReaderTarget::Execute(const std::uint8_t* cdb, std::size_t cdbLength, DataDirection direction,
                                   std::uint8_t* data, std::uint32_t length) {
  sense.clear();
  if (cdb == nullptr || cdbLength < kShortCdb || (length != 0 && data == nullptr)) {
    return Fail(sense_key::kIllegalRequest, asc::kInvalidFieldInCdb);
  }
  if (cdb[cdb::kOpcode] == standard::kRequestSense) return RequestSense(cdb, data, length);
  if (cdb[cdb::kOpcode] != opcode::kInquiry && reader.MediaChanges() != reportedMediaChanges) {
    reportedMediaChanges = reader.MediaChanges();
    return Fail(sense_key::kUnitAttention, asc::kMediumChanged);
  }
  bool handled = false;
  const TargetAnswer answer = Standard(cdb, cdbLength, data, length, handled);
  if (handled) return answer;
  return Firmware(cdb, cdbLength, direction, data, length);
}

TargetAnswer ReaderTarget::RequestSense(const std::uint8_t* cdb, std::uint8_t* data, std::uint32_t length) {
  const std::vector<std::uint8_t> reply =
      lastSense.empty() ? FixedSense(sense_key::kNoSense, 0) : std::exchange(lastSense, {});
  return Reply(reply.data(), reply.size(), cdb[kSixByteAllocation], data, length);
}

// The commands the firmware does not know; `handled` tells whether this was one.
TargetAnswer ReaderTarget::Standard(const std::uint8_t* cdb, std::size_t cdbLength, std::uint8_t* data,
                                    std::uint32_t length, bool& handled) {
  handled = true;
  const bool present = reader.CardPresent();
  switch (cdb[cdb::kOpcode]) {
    case standard::kTestUnitReady:
      return present ? TargetAnswer{} : Fail(sense_key::kNotReady, asc::kMediumNotPresent);
    case standard::kPreventAllowRemoval:
    case standard::kStartStopUnit:
    case standard::kSynchronizeCache10:
      return TargetAnswer{};
    case standard::kReadCapacity10: {
      if (!present) return Fail(sense_key::kNotReady, asc::kMediumNotPresent);
      std::array<std::uint8_t, 8> reply{};
      StoreBe32(&reply[0], static_cast<std::uint32_t>(reader.Logical().LogicalSectors() - 1));
      StoreBe32(&reply[4], kLogicalBlockBytes);
      return Reply(reply.data(), reply.size(), length, data, length);
    }
    case standard::kModeSense6:
    case standard::kModeSense10: {
      if (!present) return Fail(sense_key::kNotReady, asc::kMediumNotPresent);
      // The header alone: no block descriptor, no mode page; the device-specific
      // byte carries the write-protect tab.
      const std::uint8_t wp = reader.Plan().writeProtected ? kDeviceSpecificWriteProtect : 0;
      if (cdb[cdb::kOpcode] == standard::kModeSense6) {
        const std::array<std::uint8_t, 4> header = {3, 0, wp, 0};
        return Reply(header.data(), header.size(), cdb[kSixByteAllocation], data, length);
      }
      if (cdbLength < kRead10CdbLength) return Fail(sense_key::kIllegalRequest, asc::kInvalidFieldInCdb);
      const std::array<std::uint8_t, 8> header = {0, 6, 0, wp, 0, 0, 0, 0};
      return Reply(header.data(), header.size(), LoadBe16(cdb + kTenByteAllocation), data, length);
    }
    case opcode::kInquiry: {
      if (cdbLength == cdb::kLongCdbLength) break;
      if ((cdb[cdb::kByteOne] & kInquiryVitalData) != 0 || cdb[kInquiryPageCode] != 0 ||
          cdb[kInquiryAllocationHigh] != 0) {
        return Fail(sense_key::kIllegalRequest, asc::kInvalidFieldInCdb);
      }
      // The firmware takes the 12-byte block of the same allocation.
      const ReaderCommand command = InquiryCommand(cdb[kSixByteAllocation]);
      return Firmware(command.cdb.data(), command.cdbLength, command.direction, data, length);
    }
    default:
      if (IsLogicalTransfer(cdb[cdb::kOpcode]) && cdbLength >= kRead10CdbLength) {
        // The host's flags (DPO, FUA), group and control bytes are not the
        // firmware's business: it takes the sector and the count.
        ReaderCommand command = cdb[cdb::kOpcode] == opcode::kRead10 ? ReadLbaCommand(0, 0) : WriteLbaCommand(0, 0);
        std::copy_n(cdb + cdb::kLbaSector, 4, command.cdb.begin() + cdb::kLbaSector);
        std::copy_n(cdb + cdb::kLbaCount, 2, command.cdb.begin() + cdb::kLbaCount);
        const std::uint64_t end = std::uint64_t{LoadBe32(cdb + cdb::kLbaSector)} + LoadBe16(cdb + cdb::kLbaCount);
        if (end > reader.Logical().LogicalSectors() && reader.CardPresent()) {
          return Fail(sense_key::kIllegalRequest, kLbaOutOfRange);
        }
        return Firmware(command.cdb.data(), command.cdbLength, command.direction, data, length);
      }
      break;
  }
  handled = false;
  return TargetAnswer{};
}

TargetAnswer ReaderTarget::Firmware(const std::uint8_t* cdb, std::size_t cdbLength, DataDirection direction,
                                    std::uint8_t* data, std::uint32_t length) {
  const DataDirection phase = length != 0 ? direction : DataDirection::None;
  if (reader.Execute(cdb, cdbLength, phase, data, length) == kStatusGood) {
    lastSense.clear();
    return TargetAnswer{kStatusGood, length};
  }
  ExplainFailure(cdb, cdbLength, phase, length);
  return TargetAnswer{kStatusCheckCondition, 0};
}

// Why the firmware refused, as its sense data says it.
void ReaderTarget::ExplainFailure(const std::uint8_t* cdb, std::size_t cdbLength, DataDirection direction,
                                  std::uint32_t length) {
  const CommandRow* row = FindCommandRow(cdb, cdbLength);
  if (row == nullptr) {
    Fail(sense_key::kIllegalRequest, asc::kInvalidOpcode);
  } else if (cdbLength != row->cdbLength || direction != row->direction || length != ExpectedDataLength(*row, cdb)) {
    Fail(sense_key::kIllegalRequest, asc::kInvalidFieldInCdb);
  } else if (!reader.CardPresent() && NeedsCard(row->operation)) {
    Fail(sense_key::kNotReady, asc::kMediumNotPresent);
  } else if (reader.Plan().writeProtected && WritesCard(row->operation)) {
    Fail(sense_key::kDataProtect, asc::kWriteProtected);
  } else {
    Fail(sense_key::kMediumError, WritesCard(row->operation) ? kWriteFault : kUnrecoveredReadError);
  }
}

}  // namespace sim
