// The reader's command set: every command block the tool sends, and the
// decoding of every reply. Pure functions, no I/O; every backend and the
// simulated reader speak to the reader through these and nothing else.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

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

constexpr std::uint8_t kUnitMask = 0x1F;  // the unit travels in the low 5 bits of byte 1
constexpr std::size_t kInquiryReplySize = 36;
constexpr std::size_t kMediaInfoReplySize = 36;  // six records of six bytes
constexpr std::size_t kMediaInfoRecordSize = 6;
constexpr std::uint8_t kSmartMediaCardType = 2;
constexpr std::size_t kInquiryIdOffset = 8;  // vendor id and the start of the product id
constexpr std::size_t kInquiryIdLength = 22;
constexpr const char* kSupportedInquiryId = "Generic STORAGE DEVICE";

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

// Decodes a successful media information reply: unitCount becomes the number
// of present records, and each present record k fills units[k] (entries are
// not packed). Call it only after the command succeeded.
void DecodeMediaInfo(const std::array<std::uint8_t, kMediaInfoReplySize>& reply, MediaGeometry& geometry);
bool IsWriteProtected(std::uint8_t deviceState);
bool IsSmartMediaCard(std::uint8_t cardType);
int CountLogicalUnits(std::uint8_t lunMap);  // bits 3 to 7 set
// True when bytes 8 to 29 read "Generic STORAGE DEVICE", case-sensitively.
bool IsSupportedInquiry(const std::uint8_t* reply, std::size_t length);
