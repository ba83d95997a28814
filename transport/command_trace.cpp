#include "transport/command_trace.h"

#include <cstdio>
#include <ostream>

#include "transport/scsi_sense.h"

namespace {

constexpr std::uint8_t kStatusGood = 0x00;
constexpr std::uint8_t kStatusCheckCondition = 0x02;
constexpr std::uint8_t kStatusBusy = 0x08;

const char* DirectionName(DataDirection direction) {
  switch (direction) {
    case DataDirection::In:
      return "in";
    case DataDirection::Out:
      return "out";
    case DataDirection::None:
      break;
  }
  return "none";
}

std::string StatusName(std::uint8_t status) {
  switch (status) {
    case kStatusGood:
      return "GOOD";
    case kStatusCheckCondition:
      return "CHECK CONDITION";
    case kStatusBusy:
      return "BUSY";
    default:
      return "status " + HexBytes(&status, 1);
  }
}

std::string Hex4(unsigned value) {
  char text[8];
  std::snprintf(text, sizeof text, "%04X", value & 0xFFFFu);
  return text;
}

}  // namespace

std::string HexBytes(const std::uint8_t* bytes, std::size_t count) {
  std::string text;
  for (std::size_t i = 0; i < count; ++i) {
    char byte[4];
    std::snprintf(byte, sizeof byte, "%02X", bytes[i]);
    if (i != 0) text += ' ';
    text += byte;
  }
  return text;
}

CommandTrace::CommandTrace(std::ostream& out_) : out(out_) {}

void CommandTrace::Command(const TraceRecord& r) {
  const CommandRow* row = FindCommandRow(r.cdb.data(), r.cdb.size());
  out << '#' << ++count << ' ' << r.device << ' ' << (row != nullptr ? row->name : "unknown") << " ["
      << HexBytes(r.cdb.data(), r.cdb.size()) << "] " << DirectionName(r.direction) << ' ' << r.dataLength
      << " B, timeout " << r.timeoutMs << " ms -> ";
  if (!r.carried) {
    out << "refused by the system: " << r.refusal << '\n' << std::flush;
    return;
  }
  out << StatusName(r.status);
  if (r.hostStatus != 0 || r.driverStatus != 0)
    out << ", host " << Hex4(r.hostStatus) << " driver " << Hex4(r.driverStatus);
  if (r.resid != 0) out << ", resid " << r.resid;
  if (!r.sense.empty()) {
    out << ", sense [" << HexBytes(r.sense.data(), r.sense.size()) << ']';
    const ScsiSense sense = DecodeSense(r.sense.data(), r.sense.size());
    if (sense.valid) {
      out << ' ' << SenseKeyName(sense.key) << " ASC " << HexBytes(&sense.asc, 1) << " ASCQ "
          << HexBytes(&sense.ascq, 1);
    }
  }
  out << ", " << r.durationMs << " ms\n" << std::flush;
}

void CommandTrace::Note(const std::string& text) { out << text << '\n' << std::flush; }
