#include "sim/sim_reader_device.h"

#include <algorithm>
#include <vector>

CSimReader::CSimReader(FormatHost& host, sim::Reader& reader_, char driveLetter_)
    : CReaderDevice(host), reader(reader_), letter(driveLetter_) {
  openFlag = 0;
}

bool CSimReader::Probe(const ReaderCommand& command, std::uint8_t* data) {
  return reader.Execute(command.cdb.data(), command.cdbLength, command.direction, data, command.dataLength) ==
         sim::kStatusGood;
}

int CSimReader::Send(const ReaderCommand& command, std::uint8_t* data) {
  if (Probe(command, data)) {
    NoteCommandFault(CommandFault::None);
    return 1;
  }
  // The simulated reader answers a pulled card as a real one does: NOT READY, medium not present.
  NoteCommandFault(reader.CardPresent() ? CommandFault::Failed : CommandFault::NoMedium);
  Host().Sleep(kFailurePauseMs);
  return 0;
}

int CSimReader::GetDeviceState(std::uint8_t& state) {
  std::uint8_t reply = 0;
  const int ok = Send(GetDeviceStateCommand(), &reply);
  state = ok ? reply : 0;
  return ok;
}

int CSimReader::WaitReady() {
  Host().Sleep(kWaitReadyMs);
  return 1;
}

int CSimReader::SetLbaOffset(std::uint32_t offset) { return Send(SetLbaOffsetCommand(offset), nullptr); }
int CSimReader::FormatEnd() { return Send(FormatEndCommand(), nullptr); }
int CSimReader::Lock() { return Send(LockCommand(), nullptr); }
int CSimReader::UnLock() { return Send(UnLockCommand(), nullptr); }

int CSimReader::WritePhySector(std::uint8_t unit, std::uint32_t sector, const SectorBuffer& data) {
  SectorBuffer copy = data;
  return Send(WritePhySectorCommand(unit, sector), copy.data());
}

int CSimReader::WriteRedundant(std::uint8_t unit, std::uint32_t sector, const RedundantArea& redundant) {
  RedundantArea copy = redundant;
  return Send(WriteRedundantCommand(unit, sector), copy.data());
}

int CSimReader::ReadPhySector(std::uint8_t unit, std::uint32_t sector, PageBuffer& page) {
  return Send(ReadPhySectorCommand(unit, sector), page.data());
}

int CSimReader::ErasePhyBlk(std::uint8_t unit, std::uint16_t block) {
  return Send(ErasePhyBlkCommand(unit, block), nullptr);
}

int CSimReader::ReadMediaInfo(void*, std::uint8_t, std::uint8_t, MediaGeometry& target) {
  std::array<std::uint8_t, kMediaInfoReplySize> reply{};
  if (!Send(ReadMediaInfoCommand(), reply.data())) return 0;
  DecodeMediaInfo(reply, target);
  return 1;
}

int CSimReader::WriteLBA(std::uint16_t sector, std::uint16_t count, const std::uint8_t* data) {
  std::vector<std::uint8_t> copy(data, data + std::size_t{count} * kSectorSize);
  return Send(WriteLbaCommand(sector, count), copy.data());
}

int CSimReader::ReadLBA(std::uint16_t sector, std::uint16_t count, std::uint8_t* data) {
  return Send(ReadLbaCommand(sector, count), data);
}

int CSimReader::FindDevice(char& found) {
  found = 0;
  std::array<std::uint8_t, kInquiryReplySize> inquiry{};
  if (!Probe(InquiryCommand(), inquiry.data()) || !IsSupportedInquiry(inquiry.data(), inquiry.size())) return 0;
  std::uint8_t cardType = 0;
  if (!Probe(GetCardTypeCommand(), &cardType) || !IsSmartMediaCard(cardType)) return 0;
  if (!ReadMediaInfo(nullptr, 0, 0, geometry)) {
    Host().ShowMessage("Read media information fail!", "Error", MessageStyle{MessageButtons::Ok, MessageIcon::Error},
                       MessageOwner::None);
    return 0;
  }
  // What the reader presents to the system, as its capacity reply would say.
  presentedSectors = reader.Logical().LogicalSectors();
  openFlag = 1;
  driveLetter = letter;
  found = letter;
  return 1;
}
