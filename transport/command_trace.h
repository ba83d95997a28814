// A log of every command sent to a reader, for people whose reader
// misbehaves: each command block with its direction, data length and
// timeout, what came back (transport refusal, SCSI status, host and driver
// status, sense data and its meaning) and how long it took. The platform
// backends' seams feed it; it only writes lines.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

#include "transport/reader_commands.h"

struct TraceRecord {
  std::string device;  // "/dev/sdc", "E:"
  std::vector<std::uint8_t> cdb;
  DataDirection direction = DataDirection::None;
  std::uint32_t dataLength = 0;
  std::uint32_t timeoutMs = 0;
  bool carried = false;  // the system took the request to the device
  std::string refusal;   // why the system did not, when it did not
  std::uint8_t status = 0;
  std::uint16_t hostStatus = 0;
  std::uint16_t driverStatus = 0;
  std::int32_t resid = 0;
  std::vector<std::uint8_t> sense;  // what the device returned
  std::uint32_t durationMs = 0;
};

class CommandTrace {
 public:
  explicit CommandTrace(std::ostream& out);

  // One line per command: "#3 /dev/sdc ErasePhyBlk [E8 00 01 2C 00 00]
  // none 0 B, timeout 3000 ms -> GOOD, 2 ms".
  void Command(const TraceRecord& record);
  // Any other event worth a line (an open, a block read), as given.
  void Note(const std::string& text);

  unsigned Commands() const { return count; }

 private:
  std::ostream& out;
  unsigned count = 0;
};

// "E8 00 01 2C"
std::string HexBytes(const std::uint8_t* bytes, std::size_t count);
