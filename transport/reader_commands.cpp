#include "transport/reader_commands.h"

#include <cstring>

#include "engine/byte_order.h"

namespace {

// Media information record layout.
constexpr std::size_t kRecordTag = 0;
constexpr std::size_t kRecordBlocksLog2 = 4;
constexpr std::size_t kRecordPagesPerBlockLog2 = 5;
constexpr unsigned kBitsInU32 = 32;
constexpr unsigned kBitsInU8 = 8;

// A block with the row's opcode and fixed byte 1, its CDB length, direction
// and fixed data length; every other byte zero.
ReaderCommand StartCommand(ReaderOperation operation) {
  const CommandRow& row = CommandRowFor(operation);
  ReaderCommand command;
  command.cdb[cdb::kOpcode] = row.opcode;
  command.cdb[cdb::kByteOne] = row.byteOne;
  command.cdbLength = row.cdbLength;
  command.direction = row.direction;
  command.dataLength = row.dataLength;
  return command;
}

ReaderCommand UnitCommand(ReaderOperation operation, std::uint8_t unit) {
  ReaderCommand command = StartCommand(operation);
  command.cdb[cdb::kByteOne] = unit & kUnitMask;
  return command;
}

ReaderCommand PageCommand(ReaderOperation operation, std::uint8_t unit, std::uint32_t page) {
  ReaderCommand command = UnitCommand(operation, unit);
  StoreBe32(&command.cdb[cdb::kPage], page);
  return command;
}

ReaderCommand LbaCommand(ReaderOperation operation, std::uint16_t sector, std::uint16_t count) {
  ReaderCommand command = StartCommand(operation);
  StoreBe32(&command.cdb[cdb::kLbaSector], sector);
  StoreBe16(&command.cdb[cdb::kLbaCount], count);
  command.dataLength = static_cast<std::uint32_t>(count) * kSectorSize;
  return command;
}

ReaderCommand QueryCommand(ReaderOperation operation) {
  ReaderCommand command = StartCommand(operation);
  command.cdb[cdb::kAllocationLength] = cdb::kQueryAllocation;
  return command;
}

bool RowMatches(const CommandRow& row, std::uint8_t opcodeByte, std::uint8_t byteOne) {
  if (row.opcode != opcodeByte) return false;
  if (row.byteOneUse == ByteOneUse::Unit) return (byteOne & ~kUnitMask) == 0;
  return row.byteOne == byteOne;
}

// 2^exponent in 8 bits: 0 once the power no longer fits.
std::uint8_t PowerOfTwoU8(std::uint8_t exponent) {
  return exponent < kBitsInU8 ? static_cast<std::uint8_t>(1u << exponent) : 0;
}

// 2^exponent × factor as an unsigned 32-bit value. Both are powers of two, so
// a product that does not fit wraps to 0; an exponent of 32 or more gives 0
// too (rather than an undefined shift).
std::uint32_t ScaledPowerOfTwoU32(std::uint8_t exponent, std::uint8_t factor) {
  if (exponent >= kBitsInU32) return 0;
  const std::uint64_t product = (std::uint64_t{1} << exponent) * factor;
  return static_cast<std::uint32_t>(product);
}

}  // namespace

const CommandRow* FindCommandRow(const std::uint8_t* cdbBytes, std::size_t cdbLength) {
  if (cdbBytes == nullptr || cdbLength <= cdb::kByteOne) return nullptr;
  for (const CommandRow& row : kReaderCommandTable) {
    if (RowMatches(row, cdbBytes[cdb::kOpcode], cdbBytes[cdb::kByteOne])) return &row;
  }
  return nullptr;
}

std::uint32_t ExpectedDataLength(const CommandRow& row, const std::uint8_t* cdbBytes) {
  switch (row.lengthRule) {
    case DataLengthRule::SectorCount:
      return static_cast<std::uint32_t>(LoadBe16(&cdbBytes[cdb::kLbaCount])) * kSectorSize;
    case DataLengthRule::AllocationLength:
      return cdbBytes[cdb::kAllocationLength];
    case DataLengthRule::Fixed:
      break;
  }
  return row.dataLength;
}

ReaderCommand InquiryCommand(std::uint8_t allocationLength) {
  ReaderCommand command = StartCommand(ReaderOperation::Inquiry);
  command.cdb[cdb::kAllocationLength] = allocationLength;
  command.dataLength = allocationLength;
  return command;
}

ReaderCommand ReadLbaCommand(std::uint16_t sector, std::uint16_t count) {
  return LbaCommand(ReaderOperation::ReadLba, sector, count);
}

ReaderCommand WriteLbaCommand(std::uint16_t sector, std::uint16_t count) {
  return LbaCommand(ReaderOperation::WriteLba, sector, count);
}

ReaderCommand UnLockCommand() { return StartCommand(ReaderOperation::UnLock); }

ReaderCommand LockCommand() { return StartCommand(ReaderOperation::Lock); }

ReaderCommand SetLbaOffsetCommand(std::uint32_t value) {
  ReaderCommand command = StartCommand(ReaderOperation::SetLbaOffset);
  StoreBe32(&command.cdb[cdb::kLbaOffsetValue], value);
  return command;
}

ReaderCommand FormatEndCommand() { return StartCommand(ReaderOperation::FormatEnd); }

ReaderCommand ReadMediaInfoCommand() { return QueryCommand(ReaderOperation::ReadMediaInfo); }

ReaderCommand GetDeviceStateCommand() { return QueryCommand(ReaderOperation::GetDeviceState); }

ReaderCommand ErasePhyBlkCommand(std::uint8_t unit, std::uint16_t block) {
  ReaderCommand command = UnitCommand(ReaderOperation::ErasePhyBlk, unit);
  StoreBe16(&command.cdb[cdb::kBlock], block);
  return command;
}

ReaderCommand WriteRedundantCommand(std::uint8_t unit, std::uint32_t page) {
  return PageCommand(ReaderOperation::WriteRedundant, unit, page);
}

ReaderCommand ReadPhySectorCommand(std::uint8_t unit, std::uint32_t page) {
  return PageCommand(ReaderOperation::ReadPhySector, unit, page);
}

ReaderCommand WritePhySectorCommand(std::uint8_t unit, std::uint32_t page) {
  return PageCommand(ReaderOperation::WritePhySector, unit, page);
}

ReaderCommand GetLunMapCommand() { return StartCommand(ReaderOperation::GetLunMap); }

ReaderCommand GetCardTypeCommand() { return StartCommand(ReaderOperation::GetCardType); }

void DecodeMediaInfo(const std::array<std::uint8_t, kMediaInfoReplySize>& reply, MediaGeometry& geometry) {
  geometry.unitCount = 0;
  for (std::size_t k = 0; k < kMediaInfoRecords; ++k) {
    const std::uint8_t* record = &reply[k * kMediaInfoRecordSize];
    if (record[kRecordTag] == 0) continue;
    MediaUnit& unit = geometry.units[k];
    ++geometry.unitCount;
    unit.tag = record[kRecordTag];
    unit.sectorsPerBlock = PowerOfTwoU8(record[kRecordPagesPerBlockLog2]);
    unit.totalSectors = ScaledPowerOfTwoU32(record[kRecordBlocksLog2], unit.sectorsPerBlock);
  }
}

bool IsWriteProtected(std::uint8_t deviceState) { return (deviceState & kWriteProtectBit) != 0; }

bool IsSmartMediaCard(std::uint8_t cardType) { return cardType == kSmartMediaCardType; }

int CountLogicalUnits(std::uint8_t lunMap) {
  int count = 0;
  for (unsigned bits = lunMap & kLunMapCountedBits; bits != 0; bits &= bits - 1) ++count;
  return count;
}

bool IsSupportedInquiry(const std::uint8_t* reply, std::size_t length) {
  if (reply == nullptr || length < kInquiryIdOffset + kInquiryIdLength) return false;
  return std::memcmp(reply + kInquiryIdOffset, kSupportedInquiryId, kInquiryIdLength) == 0;
}

std::string InquiryIdentification(const std::uint8_t* reply, std::size_t length) {
  constexpr std::size_t kFirst = 8;  // vendor identification, then product identification
  constexpr std::size_t kEnd = 32;
  std::string text;
  for (std::size_t i = kFirst; i < kEnd && i < length; ++i) {
    const char c = static_cast<char>(reply[i]);
    text += c >= 0x20 && c < 0x7F ? c : '.';
    if (i == kFirst + 7) text += ' ';
  }
  // Collapse the blank padding of both fields.
  std::string out;
  for (char c : text) {
    if (c == ' ' && (out.empty() || out.back() == ' ')) continue;
    out += c;
  }
  while (!out.empty() && out.back() == ' ') out.pop_back();
  return out;
}
