// The reader's command set: every command block the tool sends, and the
// decoding of every reply. Pure functions, no I/O; every backend and the
// simulated reader speak to the reader through these and nothing else.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "engine/media_geometry.h"

enum class DataDirection : std::uint8_t { None, In, Out };

struct ReaderCommand {
  static constexpr std::size_t kMaxCdb = 12;
  std::array<std::uint8_t, kMaxCdb> cdb{};  // bytes the table does not name are zero
  std::uint8_t cdbLength = 0;               // the length the transport is told: 12 or 6
  DataDirection direction = DataDirection::None;
  std::uint32_t dataLength = 0;  // bytes of the data phase
};

namespace opcode {
constexpr std::uint8_t kInquiry = 0x12;
constexpr std::uint8_t kRead10 = 0x28;
constexpr std::uint8_t kWrite10 = 0x2A;
constexpr std::uint8_t kControl = 0xE6;         // sub-function in byte 1 (below)
constexpr std::uint8_t kQuery = 0xE7;           // sub-function in byte 1 (below)
constexpr std::uint8_t kEraseBlock = 0xE8;      // unit in byte 1
constexpr std::uint8_t kWriteRedundant = 0xE9;  // unit in byte 1
constexpr std::uint8_t kReadPage = 0xEA;        // unit in byte 1
constexpr std::uint8_t kWritePageData = 0xEB;   // unit in byte 1
constexpr std::uint8_t kLunMap = 0xEC;
constexpr std::uint8_t kCardType = 0xED;
}  // namespace opcode

namespace subfunction {
// Under opcode::kControl
constexpr std::uint8_t kUnLock = 2;
constexpr std::uint8_t kLock = 3;
constexpr std::uint8_t kSetLbaOffset = 4;
constexpr std::uint8_t kFormatEnd = 5;
// Under opcode::kQuery
constexpr std::uint8_t kMediaInfo = 0;
constexpr std::uint8_t kDeviceState = 1;
}  // namespace subfunction

// Where the fields sit in a command block. All multi-byte fields are big-endian.
namespace cdb {
constexpr std::size_t kOpcode = 0;
constexpr std::size_t kByteOne = 1;            // sub-function, or the unit in its low 5 bits
constexpr std::size_t kBlock = 2;              // 16-bit erase-block number (ErasePhyBlk)
constexpr std::size_t kPage = 2;               // 32-bit page number within the unit
constexpr std::size_t kLbaSector = 2;          // 32-bit logical sector (READ(10)/WRITE(10)); bytes 2, 3 stay 0
constexpr std::size_t kLbaCount = 7;           // 16-bit logical sector count (READ(10)/WRITE(10))
constexpr std::size_t kLbaOffsetValue = 2;     // 32-bit operand of SetLbaOffset
constexpr std::size_t kAllocationLength = 4;   // INQUIRY, media information and device state
constexpr std::uint8_t kLongCdbLength = 12;    // INQUIRY, READ(10), WRITE(10): declared as 12, not 6 or 10
constexpr std::uint8_t kVendorCdbLength = 6;   // every vendor command
constexpr std::uint8_t kQueryAllocation = 36;  // byte 4 of both queries, even when one byte comes back
}  // namespace cdb

constexpr std::uint8_t kUnitMask = 0x1F;  // the unit travels in the low 5 bits of byte 1
constexpr std::size_t kInquiryReplySize = 36;
constexpr std::size_t kMediaInfoReplySize = 36;  // six records of six bytes
constexpr std::size_t kMediaInfoRecordSize = 6;
constexpr std::size_t kMediaInfoRecords = kMediaInfoReplySize / kMediaInfoRecordSize;
constexpr std::uint8_t kSmartMediaCardType = 2;
constexpr std::uint8_t kWriteProtectBit = 0x01;    // in the device state byte
constexpr std::uint8_t kLunMapCountedBits = 0xF8;  // bits 3 to 7 of the logical-unit map
constexpr std::size_t kInquiryIdOffset = 8;        // vendor id and the start of the product id
constexpr std::size_t kInquiryIdLength = 22;
constexpr const char* kSupportedInquiryId = "Generic STORAGE DEVICE";
static_assert(std::char_traits<char>::length(kSupportedInquiryId) == kInquiryIdLength);
static_assert(kMediaInfoRecords == MediaGeometry::kMaxReportedUnits);

// --- The command table ------------------------------------------------------
// One row per operation the reader understands. The builders below start every
// block from its row, and whoever receives blocks (the simulated reader) can
// look a block up here to check its CDB length, direction and data length.

enum class ReaderOperation : std::uint8_t {
  Inquiry,
  ReadLba,
  WriteLba,
  UnLock,
  Lock,
  SetLbaOffset,
  FormatEnd,
  ReadMediaInfo,
  GetDeviceState,
  ErasePhyBlk,
  WriteRedundant,
  ReadPhySector,
  WritePhySector,
  GetLunMap,
  GetCardType,
};

// What byte 1 of the block holds.
enum class ByteOneUse : std::uint8_t {
  Fixed,  // exactly CommandRow::byteOne (a sub-function, or 0)
  Unit,   // the unit number, 0 to 31
};

// How the data length of the block is determined.
enum class DataLengthRule : std::uint8_t {
  Fixed,             // CommandRow::dataLength bytes
  SectorCount,       // the count of bytes 7 and 8, times 512
  AllocationLength,  // byte 4 (CommandRow::dataLength is its usual value)
};

struct CommandRow {
  ReaderOperation operation;
  const char* name;
  std::uint8_t opcode;
  ByteOneUse byteOneUse;
  std::uint8_t byteOne;  // the value of byte 1 when byteOneUse is Fixed
  std::uint8_t cdbLength;
  DataDirection direction;
  DataLengthRule lengthRule;
  std::uint32_t dataLength;
};

constexpr std::array<CommandRow, 15> kReaderCommandTable = {{
    {ReaderOperation::Inquiry, "Inquiry", opcode::kInquiry, ByteOneUse::Fixed, 0, cdb::kLongCdbLength,
     DataDirection::In, DataLengthRule::AllocationLength, kInquiryReplySize},
    {ReaderOperation::ReadLba, "ReadLBA", opcode::kRead10, ByteOneUse::Fixed, 0, cdb::kLongCdbLength, DataDirection::In,
     DataLengthRule::SectorCount, 0},
    {ReaderOperation::WriteLba, "WriteLBA", opcode::kWrite10, ByteOneUse::Fixed, 0, cdb::kLongCdbLength,
     DataDirection::Out, DataLengthRule::SectorCount, 0},
    {ReaderOperation::UnLock, "UnLock", opcode::kControl, ByteOneUse::Fixed, subfunction::kUnLock,
     cdb::kVendorCdbLength, DataDirection::None, DataLengthRule::Fixed, 0},
    {ReaderOperation::Lock, "Lock", opcode::kControl, ByteOneUse::Fixed, subfunction::kLock, cdb::kVendorCdbLength,
     DataDirection::None, DataLengthRule::Fixed, 0},
    {ReaderOperation::SetLbaOffset, "SetLbaOffset", opcode::kControl, ByteOneUse::Fixed, subfunction::kSetLbaOffset,
     cdb::kVendorCdbLength, DataDirection::None, DataLengthRule::Fixed, 0},
    {ReaderOperation::FormatEnd, "FormatEnd", opcode::kControl, ByteOneUse::Fixed, subfunction::kFormatEnd,
     cdb::kVendorCdbLength, DataDirection::None, DataLengthRule::Fixed, 0},
    {ReaderOperation::ReadMediaInfo, "ReadMediaInfo", opcode::kQuery, ByteOneUse::Fixed, subfunction::kMediaInfo,
     cdb::kVendorCdbLength, DataDirection::In, DataLengthRule::Fixed, kMediaInfoReplySize},
    {ReaderOperation::GetDeviceState, "GetDeviceState", opcode::kQuery, ByteOneUse::Fixed, subfunction::kDeviceState,
     cdb::kVendorCdbLength, DataDirection::In, DataLengthRule::Fixed, 1},
    {ReaderOperation::ErasePhyBlk, "ErasePhyBlk", opcode::kEraseBlock, ByteOneUse::Unit, 0, cdb::kVendorCdbLength,
     DataDirection::None, DataLengthRule::Fixed, 0},
    {ReaderOperation::WriteRedundant, "WriteRedundant", opcode::kWriteRedundant, ByteOneUse::Unit, 0,
     cdb::kVendorCdbLength, DataDirection::Out, DataLengthRule::Fixed, kRedundantSize},
    {ReaderOperation::ReadPhySector, "ReadPhySector", opcode::kReadPage, ByteOneUse::Unit, 0, cdb::kVendorCdbLength,
     DataDirection::In, DataLengthRule::Fixed, kPageSize},
    {ReaderOperation::WritePhySector, "WritePhySector", opcode::kWritePageData, ByteOneUse::Unit, 0,
     cdb::kVendorCdbLength, DataDirection::Out, DataLengthRule::Fixed, kSectorSize},
    {ReaderOperation::GetLunMap, "GetLunMap", opcode::kLunMap, ByteOneUse::Fixed, 0, cdb::kVendorCdbLength,
     DataDirection::In, DataLengthRule::Fixed, 1},
    {ReaderOperation::GetCardType, "GetCardType", opcode::kCardType, ByteOneUse::Fixed, 0, cdb::kVendorCdbLength,
     DataDirection::In, DataLengthRule::Fixed, 1},
}};

constexpr bool CommandTableFollowsOperationOrder() {
  for (std::size_t i = 0; i < kReaderCommandTable.size(); ++i) {
    if (static_cast<std::size_t>(kReaderCommandTable[i].operation) != i) return false;
  }
  return true;
}
static_assert(CommandTableFollowsOperationOrder(), "kReaderCommandTable rows must follow ReaderOperation order");

constexpr const CommandRow& CommandRowFor(ReaderOperation operation) {
  return kReaderCommandTable[static_cast<std::size_t>(operation)];
}

// The row a received block belongs to (by its opcode and byte 1), or null for
// a block the reader does not know or one shorter than two bytes. A unit row
// matches only when the upper three bits of byte 1 are zero, as every block
// built here has them. Comparing the declared CDB length, direction and data
// length with the row is left to the caller.
const CommandRow* FindCommandRow(const std::uint8_t* cdb, std::size_t cdbLength);

// The data length a block of this row declares: the fixed length, the sector
// count times 512, or the allocation length in byte 4. `cdb` holds at least
// row.cdbLength bytes.
std::uint32_t ExpectedDataLength(const CommandRow& row, const std::uint8_t* cdb);

// --- Builders -----------------------------------------------------------------

ReaderCommand InquiryCommand(std::uint8_t allocationLength = kInquiryReplySize);
ReaderCommand ReadLbaCommand(std::uint16_t sector, std::uint16_t count);
ReaderCommand WriteLbaCommand(std::uint16_t sector, std::uint16_t count);
ReaderCommand UnLockCommand();
ReaderCommand LockCommand();
ReaderCommand SetLbaOffsetCommand(std::uint32_t value);
ReaderCommand FormatEndCommand();
ReaderCommand ReadMediaInfoCommand();
ReaderCommand GetDeviceStateCommand();
ReaderCommand ErasePhyBlkCommand(std::uint8_t unit, std::uint16_t block);
ReaderCommand WriteRedundantCommand(std::uint8_t unit, std::uint32_t page);
ReaderCommand ReadPhySectorCommand(std::uint8_t unit, std::uint32_t page);
ReaderCommand WritePhySectorCommand(std::uint8_t unit, std::uint32_t page);
ReaderCommand GetLunMapCommand();
ReaderCommand GetCardTypeCommand();

// --- Reply decoders -------------------------------------------------------------

// Decodes a successful media information reply: unitCount becomes the number
// of present records, and each present record k fills units[k] (entries are
// not packed); entries of absent records, and entries 6 and 7, keep their
// values. A unit whose size cannot be held (sectorsPerBlock beyond 8 bits, or
// pages beyond 32 bits) gets 0 there, which the format refuses. Call it only
// after the command succeeded.
void DecodeMediaInfo(const std::array<std::uint8_t, kMediaInfoReplySize>& reply, MediaGeometry& geometry);
bool IsWriteProtected(std::uint8_t deviceState);
bool IsSmartMediaCard(std::uint8_t cardType);
int CountLogicalUnits(std::uint8_t lunMap);  // bits 3 to 7 set
// True when bytes 8 to 29 read "Generic STORAGE DEVICE", case-sensitively. A
// reply shorter than 30 bytes (or none) is not a supported one.
bool IsSupportedInquiry(const std::uint8_t* reply, std::size_t length);
// The vendor and product identification of an INQUIRY reply (bytes 8 to
// 31) as text for the operator: blank padding collapsed, characters that
// cannot be shown replaced by '.'.
std::string InquiryIdentification(const std::uint8_t* reply, std::size_t length);
