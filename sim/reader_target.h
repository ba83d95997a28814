// A slot of the simulated reader as a host's SCSI disk driver meets it
// through the USB mass-storage transport: the reader's own commands go to its
// firmware (sim::Reader), and the standard commands every host sends to a
// removable disk are answered here: TEST UNIT READY, REQUEST SENSE, READ
// CAPACITY, MODE SENSE (the write-protect bit), PREVENT ALLOW MEDIUM REMOVAL,
// START STOP UNIT and SYNCHRONIZE CACHE. INQUIRY, READ(10) and WRITE(10) are
// taken in their standard lengths too (6 and 10 bytes) besides the 12 bytes
// the format sends.
//
// A failed command leaves sense data that says why (no card, write-protected
// card, a command or field the reader does not take, a medium error), for
// REQUEST SENSE and for the transport. After the reader presents its card
// anew (the format-end command, a card put back) the next command other than
// INQUIRY and REQUEST SENSE is answered with UNIT ATTENTION, medium changed,
// and does not run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "sim/reader.h"
#include "transport/reader_commands.h"

namespace sim {

// Fixed-format sense data (response code 70h) of 18 bytes.
std::vector<std::uint8_t> FixedSense(std::uint8_t key, std::uint8_t asc, std::uint8_t ascq = 0);

struct TargetAnswer {
  std::uint8_t status = kStatusGood;
  // Bytes of the data phase the target filled (data in) or took (data out);
  // less than offered when a reply is shorter than the host's buffer.
  std::uint32_t transferred = 0;
};

class ReaderTarget {
 public:
  explicit ReaderTarget(Reader& reader);

  // Runs one command block as the transport delivers it; `data` holds
  // `length` bytes, the host's buffer for a data-in command, what it sends
  // for a data-out command.
  TargetAnswer Execute(const std::uint8_t* cdb, std::size_t cdbLength, DataDirection direction, std::uint8_t* data,
                       std::uint32_t length);

  // The sense data of the last command, empty when it succeeded.
  const std::vector<std::uint8_t>& Sense() const { return sense; }
  Reader& Held() { return reader; }

 private:
  TargetAnswer Fail(std::uint8_t key, std::uint8_t asc);
  TargetAnswer Reply(const std::uint8_t* bytes, std::size_t size, std::uint32_t allocation, std::uint8_t* data,
                     std::uint32_t length);
  TargetAnswer RequestSense(const std::uint8_t* cdb, std::uint8_t* data, std::uint32_t length);
  TargetAnswer Standard(const std::uint8_t* cdb, std::size_t cdbLength, std::uint8_t* data, std::uint32_t length,
                        bool& handled);
  TargetAnswer Firmware(const std::uint8_t* cdb, std::size_t cdbLength, DataDirection direction, std::uint8_t* data,
                        std::uint32_t length);
  void ExplainFailure(const std::uint8_t* cdb, std::size_t cdbLength, DataDirection direction, std::uint32_t length);

  Reader& reader;
  std::uint32_t reportedMediaChanges;
  std::vector<std::uint8_t> sense;
  std::vector<std::uint8_t> lastSense;  // what REQUEST SENSE returns
};

}  // namespace sim
