#include "engine/reader_device.h"

#include <cctype>
#include <cstring>

// Five supported readers, as USB vendor and product identifiers.
const char* const kBuiltinDeviceIdList =
    "VID_1D6B&PID_5301;VID_1D6B&PID_5302;VID_1D6B&PID_5310;VID_2F4A&PID_0C01;VID_2F4A&PID_0C02";

namespace {

// The list comes from a 1000-byte resource buffer: at most 999 characters.
constexpr std::size_t kListTextLimit = 999;
constexpr const char* kSeparators = ";, ";
constexpr std::uint32_t kLogicalSectorSize = 512;

}  // namespace

std::string FormatHost::DeviceIdListText() const { return kBuiltinDeviceIdList; }

std::string CardGoneText(CommandFault fault) {
  switch (fault) {
    case CommandFault::NoMedium:
      return "The card was taken out of the reader during the format. Put it back and format it again.";
    case CommandFault::DeviceGone:
      return "The reader was unplugged during the format. Plug it in again and format the card again.";
    case CommandFault::None:
    case CommandFault::Failed:
      break;
  }
  return "";
}

int ParseDeviceIdList(const std::string& text,
                      char (&ids)[CReaderDevice::kMaxDeviceIds][CReaderDevice::kDeviceIdSlot]) {
  const std::string list = text.substr(0, kListTextLimit);
  int count = 0;
  std::size_t pos = list.find_first_not_of(kSeparators);
  while (pos != std::string::npos && count < CReaderDevice::kMaxDeviceIds) {
    std::size_t end = list.find_first_of(kSeparators, pos);
    if (end == std::string::npos) end = list.size();
    const std::size_t length = end - pos;
    if (length < CReaderDevice::kDeviceIdSlot) {
      char* slot = ids[count++];
      for (std::size_t i = 0; i < length; ++i) {
        slot[i] = static_cast<char>(std::toupper(static_cast<unsigned char>(list[pos + i])));
      }
      slot[length] = '\0';
    }
    pos = list.find_first_not_of(kSeparators, end);
  }
  return count;
}

CReaderDevice::CReaderDevice(FormatHost& host_) : host(host_) {
  deviceIdCount = 0;
  deviceIdCount = ParseDeviceIdList(host.DeviceIdListText(), deviceIds);
}

CReaderDevice::~CReaderDevice() = default;

int CReaderDevice::UnlockVolume() { return 1; }
int CReaderDevice::LockVolume() { return 1; }
int CReaderDevice::Reserved() { return 1; }

std::uint8_t CReaderDevice::GetUnitCount() const { return geometry.unitCount; }

std::uint32_t CReaderDevice::GetUnitSectors(std::uint8_t unit) const {
  return unit < MediaGeometry::kUnitSlots ? geometry.units[unit].totalSectors : 0;
}

std::uint8_t CReaderDevice::GetSectorsPerBlock(std::uint8_t unit) const {
  return unit < MediaGeometry::kUnitSlots ? geometry.units[unit].sectorsPerBlock : 0;
}

int CReaderDevice::GetCapacity(std::uint32_t* key, std::uint32_t* sectorSize) const {
  // 1000 usable logical blocks per 1024 physical ones: whole 1024-page groups
  // of each unit give 1000 logical sectors.
  std::uint32_t total = 0;
  const int units = geometry.unitCount < MediaGeometry::kUnitSlots ? geometry.unitCount : MediaGeometry::kUnitSlots;
  for (int u = 0; u < units; ++u) total += (geometry.units[u].totalSectors >> 10) * 1000u;
  if (key) *key = total;
  if (sectorSize) *sectorSize = kLogicalSectorSize;
  return 1;
}

int CReaderDevice::SetPartitionSectors(std::uint32_t value) {
  geometry.partitionSectors = value;
  partitionSectorsSet = true;
  return 1;
}

void CReaderDevice::ShowPlainError(const std::string& text) const {
  host.ShowMessage(text, "Error", MessageStyle{MessageButtons::Ok, MessageIcon::None}, MessageOwner::None);
}
