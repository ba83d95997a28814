#include "tests/support/memory_reader.h"

#include <algorithm>

MemoryReader::MemoryReader(FormatHost& host) : CReaderDevice(host) {
  driveLetter = 'S';
  openFlag = 1;
}

void MemoryReader::SetCapacityKey(std::uint32_t key) {
  MediaUnit unit;
  unit.tag = 1;
  unit.totalSectors = key / 1000 * 1024;
  unit.sectorsPerBlock = 32;
  SetUnits({unit});
}

void MemoryReader::SetUnits(const std::vector<MediaUnit>& units) {
  geometry.unitCount = static_cast<std::uint8_t>(units.size());
  for (std::size_t i = 0; i < units.size() && i < geometry.units.size(); ++i) geometry.units[i] = units[i];
}

void MemoryReader::FailWrite(std::uint16_t sector, int occurrence) {
  faults.push_back(Fault{LbaCall::Op::Write, sector, occurrence, true, {}});
}

void MemoryReader::FailRead(std::uint16_t sector, int occurrence) {
  faults.push_back(Fault{LbaCall::Op::Read, sector, occurrence, true, {}});
}

void MemoryReader::CorruptRead(std::uint16_t sector, std::vector<std::size_t> offsets, int occurrence) {
  faults.push_back(Fault{LbaCall::Op::Read, sector, occurrence, false, std::move(offsets)});
}

SectorBuffer MemoryReader::Sector(std::uint16_t sector) const {
  const auto it = sectors.find(sector);
  if (it != sectors.end()) return it->second;
  SectorBuffer fill;
  fill.fill(unwrittenFill);
  return fill;
}

int MemoryReader::GetDeviceState(std::uint8_t& state) {
  state = deviceState;
  return 1;
}

int MemoryReader::FormatEnd() {
  ++formatEndCalls;
  return 1;
}

int MemoryReader::FindDevice(char& found) {
  openFlag = 1;
  found = driveLetter;
  return 1;
}

std::vector<const MemoryReader::Fault*> MemoryReader::FaultsFor(LbaCall::Op op, std::uint16_t sector) {
  const int call = ++callCounts[{static_cast<int>(op), sector}];
  std::vector<const Fault*> out;
  for (const Fault& f : faults) {
    if (f.op == op && f.sector == sector && (f.occurrence == kEveryCall || f.occurrence == call)) out.push_back(&f);
  }
  return out;
}

int MemoryReader::WriteLBA(std::uint16_t sector, std::uint16_t count, const std::uint8_t* data) {
  LbaCall record{LbaCall::Op::Write, sector, count, 1, std::vector<std::uint8_t>(data, data + count * kSectorSize)};
  // Every sector of the call is checked; any fault fails the whole call and
  // nothing reaches the card.
  for (std::uint16_t i = 0; i < count; ++i) {
    for (const Fault* f : FaultsFor(LbaCall::Op::Write, static_cast<std::uint16_t>(sector + i))) {
      if (f->fail) record.result = 0;
    }
  }
  if (record.result) {
    for (std::uint16_t i = 0; i < count; ++i) {
      SectorBuffer& target = sectors[static_cast<std::uint16_t>(sector + i)];
      std::copy_n(data + i * kSectorSize, kSectorSize, target.begin());
    }
  }
  calls.push_back(std::move(record));
  return calls.back().result;
}

int MemoryReader::ReadLBA(std::uint16_t sector, std::uint16_t count, std::uint8_t* data) {
  LbaCall record{LbaCall::Op::Read, sector, count, 1, {}};
  for (std::uint16_t i = 0; i < count; ++i) {
    const auto s = static_cast<std::uint16_t>(sector + i);
    SectorBuffer content = Sector(s);
    for (const Fault* f : FaultsFor(LbaCall::Op::Read, s)) {
      if (f->fail) record.result = 0;
      for (std::size_t offset : f->offsets) {
        if (offset < kSectorSize) content[offset] ^= 0xFF;
      }
    }
    std::copy(content.begin(), content.end(), data + i * kSectorSize);
  }
  calls.push_back(std::move(record));
  return calls.back().result;
}
