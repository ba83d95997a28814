#include "transport/sgio/sg_reader.h"

#include <algorithm>
#include <cerrno>
#include <vector>

namespace {

constexpr const char* kErrorCaption = "Error";
constexpr const char* kMediaInfoFailureText = "Read media information fail!";
constexpr std::size_t kInquiryBufferSize = 48;  // cleared before the INQUIRY; 36 bytes come back

std::uint32_t FaultBit(sgio::Fault fault) { return 1u << static_cast<unsigned>(fault); }

const char* NameOf(const ReaderCommand& command) {
  const CommandRow* row = FindCommandRow(command.cdb.data(), command.cdbLength);
  return row != nullptr ? row->name : "Command";
}

std::uint32_t TimeoutOf(const ReaderCommand& command) {
  const CommandRow* row = FindCommandRow(command.cdb.data(), command.cdbLength);
  return row != nullptr ? sgio::TimeoutMs(row->operation) : sgio::TimeoutMs(ReaderOperation::ReadLba);
}

}  // namespace

std::string SgFaultMessage(const char* operationName, sgio::Fault fault) {
  const std::string name = operationName;
  switch (fault) {
    case sgio::Fault::NoMedium:
      return name + ": No card in the reader!";
    case sgio::Fault::WriteProtected:
      return name + ": The card is write-protected!";
    case sgio::Fault::DeviceGone:
      return name + ": The reader is gone!";
    case sgio::Fault::NotPermitted:
      return name + ": The system refused the command (it needs root, or the CAP_SYS_RAWIO capability)!";
    default:
      return {};
  }
}

CSgReader::CSgReader(FormatHost& host, SgSystem& system_) : CReaderDevice(host), system(system_) { openFlag = 0; }

CSgReader::~CSgReader() { Close(); }

void CSgReader::Attach(int fd, const std::string& devicePath) {
  Close();
  descriptor = fd;
  path = devicePath;
  lastOutcome = sgio::Outcome{};
  lastFault = sgio::Fault::None;
  shownFault = sgio::Fault::None;
  metFaults = 0;
}

void CSgReader::Close() {
  if (descriptor != kNoDescriptor) system.Close(descriptor);
  descriptor = kNoDescriptor;
}

bool CSgReader::Met(sgio::Fault fault) const { return (metFaults & FaultBit(fault)) != 0; }

// --- Requests -------------------------------------------------------------------

sgio::Outcome CSgReader::Send(const ReaderCommand& command, void* data) {
  sgio::Request request;
  sgio::BuildRequest(request, command, data, TimeoutOf(command));
  const int result = system.Ioctl(descriptor, sgio::kSgIo, &request.header);
  // An INQUIRY may come back shorter than asked; the caller judges what came.
  const bool fullTransfer = command.direction == DataDirection::In && command.cdb[cdb::kOpcode] != opcode::kInquiry;
  return sgio::ReadOutcome(request, result, fullTransfer);
}

bool CSgReader::Transmit(const ReaderCommand& command, void* data) {
  if (descriptor == kNoDescriptor) {
    lastOutcome = sgio::Outcome{};
    lastOutcome.error = EBADF;
    lastOutcome.fault = sgio::Fault::Other;
  } else {
    lastOutcome = Send(command, data);
    // UNIT ATTENTION: the reader presents its card anew (after the
    // format-end command, or a card put back) and did not run the command;
    // it runs when sent again.
    if (lastOutcome.fault == sgio::Fault::MediumChanged) lastOutcome = Send(command, data);
  }
  if (lastOutcome.Succeeded()) return true;
  lastFault = lastOutcome.fault;
  metFaults |= FaultBit(lastFault);
  return false;
}

void CSgReader::Report(const ReaderCommand& command, sgio::Fault fault) {
  if (fault == shownFault) return;
  const std::string text = SgFaultMessage(NameOf(command), fault);
  if (text.empty()) return;
  shownFault = fault;
  Host().ShowMessage(text, kErrorCaption, MessageStyle{MessageButtons::Ok, MessageIcon::Error}, MessageOwner::None);
}

namespace {

CommandFault CommandFaultOf(sgio::Fault fault) {
  switch (fault) {
    case sgio::Fault::None:
      return CommandFault::None;
    case sgio::Fault::NoMedium:
      return CommandFault::NoMedium;
    case sgio::Fault::DeviceGone:
      return CommandFault::DeviceGone;
    default:
      return CommandFault::Failed;
  }
}

}  // namespace

int CSgReader::Run(const ReaderCommand& command, void* data) {
  const bool sent = Transmit(command, data);
  NoteCommandFault(CommandFaultOf(lastOutcome.fault));
  if (sent) {
    shownFault = sgio::Fault::None;
    return 1;
  }
  Report(command, lastOutcome.fault);
  // An empty slot or an unplugged reader will not answer the next command
  // either: waiting for it helps nothing.
  if (!CardGone()) Host().Sleep(kFailurePauseMs);
  return 0;
}

// --- Reader commands ---------------------------------------------------------------

int CSgReader::GetDeviceState(std::uint8_t& state) {
  state = 0;
  std::uint8_t reply = 0;
  if (!Run(GetDeviceStateCommand(), &reply)) return 0;
  state = reply;
  return 1;
}

int CSgReader::WaitReady() {
  Host().Sleep(kWaitReadyMs);
  return 1;
}

int CSgReader::FlushDisk() { return descriptor != kNoDescriptor && system.Sync(descriptor) == 0 ? 1 : 0; }

int CSgReader::SetLbaOffset(std::uint32_t offset) { return Run(SetLbaOffsetCommand(offset), nullptr); }

int CSgReader::FormatEnd() { return Run(FormatEndCommand(), nullptr); }

int CSgReader::Lock() { return Run(LockCommand(), nullptr); }

int CSgReader::UnLock() { return Run(UnLockCommand(), nullptr); }

int CSgReader::WritePhySector(std::uint8_t unit, std::uint32_t sector, const SectorBuffer& data) {
  SectorBuffer copy = data;  // the request's data buffer is writable memory
  return Run(WritePhySectorCommand(unit, sector), copy.data());
}

int CSgReader::WriteRedundant(std::uint8_t unit, std::uint32_t sector, const RedundantArea& redundant) {
  RedundantArea copy = redundant;
  return Run(WriteRedundantCommand(unit, sector), copy.data());
}

int CSgReader::ReadPhySector(std::uint8_t unit, std::uint32_t sector, PageBuffer& page) {
  PageBuffer reply{};
  if (!Run(ReadPhySectorCommand(unit, sector), reply.data())) return 0;
  page = reply;
  return 1;
}

int CSgReader::ErasePhyBlk(std::uint8_t unit, std::uint16_t block) {
  return Run(ErasePhyBlkCommand(unit, block), nullptr);
}

int CSgReader::WriteLBA(std::uint16_t sector, std::uint16_t count, const std::uint8_t* data) {
  if (data == nullptr && count != 0) return 0;
  return Run(WriteLbaCommand(sector, count), const_cast<std::uint8_t*>(data));
}

int CSgReader::ReadLBA(std::uint16_t sector, std::uint16_t count, std::uint8_t* data) {
  if (data == nullptr && count != 0) return 0;
  // A failed read leaves the caller's buffer as it was.
  std::vector<std::uint8_t> reply(std::size_t{count} * kSectorSize);
  if (!Run(ReadLbaCommand(sector, count), reply.data())) return 0;
  std::copy(reply.begin(), reply.end(), data);
  return 1;
}

int CSgReader::ReadMediaInfo(void* /*volumeHandle*/, std::uint8_t /*bus*/, std::uint8_t /*target*/,
                             MediaGeometry& geometry) {
  std::array<std::uint8_t, kMediaInfoReplySize> reply{};
  if (!Run(ReadMediaInfoCommand(), reply.data())) return 0;
  DecodeMediaInfo(reply, geometry);
  return 1;
}

// --- Probes ---------------------------------------------------------------------------

int CSgReader::Inquiry(std::uint8_t* buffer, std::uint32_t length) {
  if (buffer == nullptr) return 0;
  return Transmit(InquiryCommand(static_cast<std::uint8_t>(length)), buffer) ? 1 : 0;
}

int CSgReader::GetCardType(std::uint8_t& type) {
  type = 0;
  return Transmit(GetCardTypeCommand(), &type) ? 1 : 0;
}

ProbeResult CSgReader::Probe(bool readState) {
  openFlag = 0;
  ProbeResult result;
  std::array<std::uint8_t, kInquiryBufferSize> inquiry{};
  if (!Inquiry(inquiry.data(), kInquiryReplySize)) return result;
  result.inquiryText = InquiryIdentification(inquiry.data(), kInquiryReplySize);
  if (!IsSupportedInquiry(inquiry.data(), kInquiryReplySize)) {
    result.verdict = ProbeVerdict::UnsupportedInquiry;
    return result;
  }
  if (!GetCardType(result.cardType)) {
    result.verdict =
        lastOutcome.fault == sgio::Fault::NotPermitted ? ProbeVerdict::NotPermitted : ProbeVerdict::CardTypeFailed;
    return result;
  }
  if (!IsSmartMediaCard(result.cardType)) {
    result.verdict = ProbeVerdict::NoCard;
    return result;
  }
  if (!ReadMediaInfo(nullptr, 0, 0, geometry)) {
    result.verdict = ProbeVerdict::MediaInfoFailed;
    return result;
  }
  result.verdict = ProbeVerdict::Card;
  if (readState) {
    std::uint8_t state = 0;
    result.stateRead = GetDeviceState(state) != 0;
    result.writeProtected = IsWriteProtected(state);
  }
  openFlag = 1;
  return result;
}

int CSgReader::FindDevice(char& found) {
  found = 0;
  const ProbeResult result = Probe(false);
  if (result.verdict == ProbeVerdict::MediaInfoFailed) {
    Host().ShowMessage(kMediaInfoFailureText, kErrorCaption, MessageStyle{MessageButtons::Ok, MessageIcon::Error},
                       MessageOwner::None);
  }
  return result.verdict == ProbeVerdict::Card ? 1 : 0;
}
