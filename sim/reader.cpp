#include "sim/reader.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "card/page_format.h"
#include "engine/byte_order.h"

namespace sim {

namespace {

constexpr std::size_t kInquiryVendorOffset = 8;     // 8 bytes of vendor identification
constexpr std::size_t kInquiryProductOffset = 16;   // 16 bytes of product identification
constexpr std::size_t kInquiryRevisionOffset = 32;  // 4 bytes of product revision
constexpr std::uint8_t kDirectAccessDevice = 0x00;
constexpr std::uint8_t kRemovableMedium = 0x80;
constexpr std::uint8_t kScsi2 = 0x02;
constexpr std::uint8_t kResponseFormat = 0x02;
constexpr std::uint8_t kInquiryAdditionalLength = kInquiryReplySize - 5;
constexpr const char kInquiryVendor[] = "Generic ";
constexpr const char kInquiryProduct[] = "STORAGE DEVICE  ";
constexpr const char kInquiryRevision[] = "1.00";

constexpr std::size_t kRecordTag = 0;
constexpr std::size_t kRecordLog2Blocks = 4;
constexpr std::size_t kRecordLog2Pages = 5;
constexpr std::uint8_t kWriteProtected = 0x01;

// Bytes 2 and up of each command block that may be non-zero (bit n = byte n);
// every other byte past the opcode and byte 1 must be zero. Rows follow
// ReaderOperation.
constexpr std::uint16_t Bytes(std::initializer_list<int> positions) {
  std::uint16_t mask = 0;
  for (int p : positions) mask = static_cast<std::uint16_t>(mask | (1u << p));
  return mask;
}
constexpr std::array<std::uint16_t, kReaderCommandTable.size()> kFieldBytes = {
    Bytes({4}),                 // Inquiry: allocation length
    Bytes({2, 3, 4, 5, 7, 8}),  // ReadLba: sector, count
    Bytes({2, 3, 4, 5, 7, 8}),  // WriteLba: sector, count
    Bytes({}),                  // UnLock
    Bytes({}),                  // Lock
    Bytes({2, 3, 4, 5}),        // SetLbaOffset: value
    Bytes({}),                  // FormatEnd
    Bytes({4}),                 // ReadMediaInfo: 36
    Bytes({4}),                 // GetDeviceState: 36
    Bytes({2, 3}),              // ErasePhyBlk: block
    Bytes({2, 3, 4, 5}),        // WriteRedundant: page
    Bytes({2, 3, 4, 5}),        // ReadPhySector: page
    Bytes({2, 3, 4, 5}),        // WritePhySector: page
    Bytes({}),                  // GetLunMap
    Bytes({}),                  // GetCardType
};

bool OnlyFieldBytesSet(const CommandRow& row, const std::uint8_t* cdbBytes) {
  const std::uint16_t allowed = kFieldBytes[static_cast<std::size_t>(row.operation)];
  for (std::size_t i = cdb::kByteOne + 1; i < row.cdbLength; ++i) {
    if (cdbBytes[i] != 0 && (allowed & (1u << i)) == 0) return false;
  }
  return true;
}

bool IsQuery(ReaderOperation operation) {
  return operation == ReaderOperation::ReadMediaInfo || operation == ReaderOperation::GetDeviceState;
}

template <std::size_t N>
void PutText(std::uint8_t* out, const char (&text)[N]) {
  std::memcpy(out, text, N - 1);
}

}  // namespace

Reader::Reader(card::Card& card_, card::FaultPlan plan_)
    : card(card_), plan(std::move(plan_)), firmware(card_.Media()) {
  card.Media().SetFaults(&plan);
}

Reader::~Reader() { card.Media().SetFaults(nullptr); }

void Reader::InsertCard() {
  present = true;
  firmware.Rescan();
  ++mediaChanges;
}

std::uint8_t Reader::Execute(const std::uint8_t* cdb, std::size_t cdbLength, DataDirection direction,
                             std::uint8_t* data, std::uint32_t dataLength) {
  ++commands;
  // After a failure of the host under the card its state is unknown: no
  // command runs on it any more.
  std::uint8_t status =
      card.Media().HostError().empty() ? Dispatch(cdb, cdbLength, direction, data, dataLength) : kStatusCheckCondition;
  const std::string problem = card.Commit();
  if (!problem.empty()) {
    lastError = problem;
    status = kStatusCheckCondition;
  }
  if (plan.removeAfterCommands && commands >= *plan.removeAfterCommands) present = false;
  return status;
}

std::uint8_t Reader::Dispatch(const std::uint8_t* cdb, std::size_t cdbLength, DataDirection direction,
                              std::uint8_t* data, std::uint32_t dataLength) {
  const CommandRow* row = FindCommandRow(cdb, cdbLength);
  if (row == nullptr || cdbLength != row->cdbLength || direction != row->direction) return kStatusCheckCondition;
  if (dataLength != ExpectedDataLength(*row, cdb) || (dataLength != 0 && data == nullptr)) {
    return kStatusCheckCondition;
  }
  if (!OnlyFieldBytesSet(*row, cdb)) return kStatusCheckCondition;
  if (IsQuery(row->operation) && cdb[cdb::kAllocationLength] != cdb::kQueryAllocation) return kStatusCheckCondition;
  if (FailsByPlan(*row)) return kStatusCheckCondition;
  if (std::exchange(attentionPending, false) && plan.unitAttention && row->operation != ReaderOperation::Inquiry) {
    return kStatusCheckCondition;
  }
  if (!present && NeedsCard(row->operation)) return kStatusCheckCondition;
  return Run(Request{*row, cdb, data, dataLength}) ? kStatusGood : kStatusCheckCondition;
}

bool Reader::FailsByPlan(const CommandRow& row) {
  const std::uint32_t byOpcode = ++calls[{row.opcode, -1}];
  const bool hasSubFunction = row.byteOneUse == ByteOneUse::Fixed;
  const std::uint32_t bySubFunction = hasSubFunction ? ++calls[{row.opcode, row.byteOne}] : 0;
  for (const card::CommandFault& fault : plan.commandFaults) {
    if (fault.opcode != row.opcode) continue;
    if (fault.subFunction && (!hasSubFunction || *fault.subFunction != row.byteOne)) continue;
    const std::uint32_t call = fault.subFunction ? bySubFunction : byOpcode;
    if (call == fault.failAtCall || (fault.andLater && call > fault.failAtCall)) return true;
  }
  return false;
}

bool Reader::NeedsCard(ReaderOperation operation) const {
  return operation != ReaderOperation::Inquiry && operation != ReaderOperation::GetLunMap &&
         operation != ReaderOperation::GetCardType;
}

bool Reader::Run(const Request& request) {
  switch (request.row.operation) {
    case ReaderOperation::Inquiry:
      return Inquiry(request);
    case ReaderOperation::ReadLba:
      return ReadLba(request);
    case ReaderOperation::WriteLba:
      return WriteLba(request);
    case ReaderOperation::UnLock:
      locked = false;
      return true;
    case ReaderOperation::Lock:
      locked = true;
      return true;
    case ReaderOperation::SetLbaOffset:
      lbaOffset = LoadBe32(request.cdb + cdb::kLbaOffsetValue);
      return true;
    case ReaderOperation::FormatEnd:
      return FormatEnd();
    case ReaderOperation::ReadMediaInfo: {
      const auto reply = MediaInfoReply();
      std::copy(reply.begin(), reply.end(), request.data);
      return true;
    }
    case ReaderOperation::GetDeviceState:
      return ReplyByte(request, plan.writeProtected ? kWriteProtected : 0);
    case ReaderOperation::ErasePhyBlk:
      return Erase(request);
    case ReaderOperation::WriteRedundant:
      return ProgramPage(request, card::kRedundantStart, kRedundantSize);
    case ReaderOperation::ReadPhySector:
      return ReadPage(request);
    case ReaderOperation::WritePhySector:
      return ProgramPage(request, 0, kSectorSize);
    case ReaderOperation::GetLunMap:
      return ReplyByte(request, plan.lunMap.value_or(kLunMapOneUnit));
    case ReaderOperation::GetCardType:
      return ReplyByte(request, present ? plan.cardType.value_or(kSmartMediaCardType) : kNoCard);
  }
  return false;
}

bool Reader::ReplyByte(const Request& request, std::uint8_t value) const {
  request.data[0] = value;
  return true;
}

std::array<std::uint8_t, kInquiryReplySize> Reader::InquiryReply() const {
  std::array<std::uint8_t, kInquiryReplySize> reply{};
  reply[0] = kDirectAccessDevice;
  reply[1] = kRemovableMedium;
  reply[2] = kScsi2;
  reply[3] = kResponseFormat;
  reply[4] = kInquiryAdditionalLength;
  PutText(&reply[kInquiryVendorOffset], kInquiryVendor);
  PutText(&reply[kInquiryProductOffset], kInquiryProduct);
  PutText(&reply[kInquiryRevisionOffset], kInquiryRevision);
  if (plan.inquiryId) {
    std::string id = plan.inquiryId->substr(0, kInquiryIdLength);
    id.resize(kInquiryIdLength, ' ');
    std::copy(id.begin(), id.end(), reply.begin() + kInquiryIdOffset);
  }
  return reply;
}

bool Reader::Inquiry(const Request& request) const {
  // A longer allocation than the standard reply gets zeros past its end.
  const auto reply = InquiryReply();
  std::fill_n(request.data, request.length, 0);
  std::copy_n(reply.begin(), std::min<std::size_t>(request.length, reply.size()), request.data);
  return true;
}

std::array<std::uint8_t, kMediaInfoReplySize> Reader::MediaInfoReply() const {
  if (plan.mediaInfoReply) return *plan.mediaInfoReply;
  std::array<std::uint8_t, kMediaInfoReplySize> reply{};
  const card::Nand& nand = card.Media();
  for (std::size_t u = 0; u < nand.UnitCount() && u < kMediaInfoRecords; ++u) {
    std::uint8_t* record = &reply[u * kMediaInfoRecordSize];
    record[kRecordTag] = static_cast<std::uint8_t>(u + 1);
    record[kRecordLog2Blocks] = card::Log2(nand.Unit(u).blocks);
    record[kRecordLog2Pages] = card::Log2(nand.Unit(u).pagesPerBlock);
  }
  return reply;
}

bool Reader::ReadLba(const Request& request) {
  const std::uint32_t sector = LoadBe32(request.cdb + cdb::kLbaSector);
  const std::uint16_t count = LoadBe16(request.cdb + cdb::kLbaCount);
  return firmware.ReadSectors(sector, count, request.data);
}

bool Reader::WriteLba(const Request& request) {
  if (plan.writeProtected) return false;
  const std::uint32_t sector = LoadBe32(request.cdb + cdb::kLbaSector);
  const std::uint16_t count = LoadBe16(request.cdb + cdb::kLbaCount);
  return firmware.WriteSectors(sector, count, request.data);
}

bool Reader::Erase(const Request& request) {
  const std::uint8_t unit = request.cdb[cdb::kByteOne];
  const std::uint16_t block = LoadBe16(request.cdb + cdb::kBlock);
  if (plan.writeProtected || !card.Media().HasBlock(unit, block)) return false;
  if (!card.Media().Erase(unit, block)) return false;
  firmware.Invalidate();
  return true;
}

bool Reader::ProgramPage(const Request& request, std::size_t offset, std::size_t length) {
  const std::uint8_t unit = request.cdb[cdb::kByteOne];
  const std::uint32_t page = LoadBe32(request.cdb + cdb::kPage);
  if (plan.writeProtected || !card.Media().HasPage(unit, page)) return false;
  if (!card.Media().Program(unit, page, offset, request.data, length)) return false;
  firmware.Invalidate();
  return true;
}

bool Reader::ReadPage(const Request& request) const {
  const std::uint8_t unit = request.cdb[cdb::kByteOne];
  const std::uint32_t page = LoadBe32(request.cdb + cdb::kPage);
  return card.Media().ReadPage(unit, page, request.data);
}

bool Reader::FormatEnd() {
  firmware.Rescan();
  ++mediaChanges;
  attentionPending = true;
  return true;
}

}  // namespace sim
