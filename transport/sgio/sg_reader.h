// The card reader on Linux: the reader's disk node (/dev/sdX), opened by the
// caller, carries every reader command as one SG_IO request.
//
// Each operation sends its command block once (twice when the reader first
// answers UNIT ATTENTION: it presents the card anew and did not run the
// command). After a failed command the backend pauses 1000 ms (through the
// host's clock) before it returns 0, unless the reader said that its slot is
// empty or the reader is gone: no pause helps then. The probes (INQUIRY and
// the card type) return at once. Sense data tells the
// failures apart; the first time a command meets a missing card, a
// write-protected card, a reader that is gone or a refusal by the system,
// the backend says so in a message box, once until a command succeeds again.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "engine/reader_device.h"
#include "transport/reader_commands.h"
#include "transport/sgio/sg_request.h"
#include "transport/sgio/sg_system.h"

// What the probes found on a reader, in the order they ask.
enum class ProbeVerdict : std::uint8_t {
  InquiryFailed,       // INQUIRY was not answered
  UnsupportedInquiry,  // the INQUIRY names another device: nothing else was sent
  NotPermitted,        // the system refused the vendor command (root or CAP_SYS_RAWIO needed)
  CardTypeFailed,      // the card-type command failed
  NoCard,              // the slot holds no SmartMedia card
  MediaInfoFailed,     // the media information could not be read
  Card,                // a SmartMedia card, its geometry read
};

struct ProbeResult {
  ProbeVerdict verdict = ProbeVerdict::InquiryFailed;
  std::string inquiryText;  // vendor and product identification, trimmed
  std::uint8_t cardType = 0;
  bool stateRead = false;  // the device state was asked for and answered
  bool writeProtected = false;
};

class CSgReader : public CReaderDevice {
 public:
  static constexpr std::uint32_t kFailurePauseMs = 1000;
  static constexpr std::uint32_t kWaitReadyMs = 1000;
  static constexpr int kNoDescriptor = -1;

  explicit CSgReader(FormatHost& host, SgSystem& system = SystemSgSystem());
  ~CSgReader() override;

  // Takes an open descriptor of the reader's disk node; Close closes it.
  // `devicePath` names the reader in messages.
  void Attach(int fd, const std::string& devicePath);
  int Descriptor() const { return descriptor; }
  const std::string& DevicePath() const { return path; }

  // The backend keeps its descriptor from Attach to Close: there is no
  // cached handle to drop.
  void DropHandle() override {}
  int GetDeviceState(std::uint8_t& state) override;
  int WaitReady() override;
  int FlushDisk() override;  // fsync of the disk node
  char GetDriveLetter() override { return driveLetter; }
  int SetLbaOffset(std::uint32_t offset) override;
  int FormatEnd() override;
  int Lock() override;
  int UnLock() override;
  int WritePhySector(std::uint8_t unit, std::uint32_t sector, const SectorBuffer& data) override;
  int WriteRedundant(std::uint8_t unit, std::uint32_t sector, const RedundantArea& redundant) override;
  int ReadPhySector(std::uint8_t unit, std::uint32_t sector, PageBuffer& page) override;
  int ErasePhyBlk(std::uint8_t unit, std::uint16_t block) override;
  // One command on the attached descriptor; the handle, bus and target of
  // the Windows backends mean nothing here. After a failure: 1000 ms pause,
  // geometry untouched.
  int ReadMediaInfo(void* volumeHandle, std::uint8_t bus, std::uint8_t target, MediaGeometry& geometry) override;
  int IsOpen() override { return openFlag != 0 ? 1 : 0; }
  // The sectors travel straight from and to the caller's buffer.
  int WriteLBA(std::uint16_t sector, std::uint16_t count, const std::uint8_t* data) override;
  int ReadLBA(std::uint16_t sector, std::uint16_t count, std::uint8_t* data) override;
  void Close() override;
  // Probes the attached reader (Probe without the device state); says "Read
  // media information fail!" when the card's geometry cannot be read.
  // Returns 1 and sets the open flag when the reader is accepted.
  int FindDevice(char& found) override;

  // Asks the attached reader, in this order and no further than each answer
  // allows: INQUIRY, the card type, the media information (into `geometry`)
  // and, with `readState`, the device state. No vendor command goes to a
  // device whose INQUIRY names another device. Sets the open flag when a
  // card was found. No message of its own.
  ProbeResult Probe(bool readState);

  // The probes: one attempt, no pause, no message.
  int Inquiry(std::uint8_t* buffer, std::uint32_t length);
  int GetCardType(std::uint8_t& type);

  // The outcome of the last command sent, and the last fault met since Attach.
  const sgio::Outcome& LastOutcome() const { return lastOutcome; }
  sgio::Fault LastFault() const { return lastFault; }
  // Whether a command met this fault since Attach.
  bool Met(sgio::Fault fault) const;

 private:
  // One request, and its outcome.
  sgio::Outcome Send(const ReaderCommand& command, void* data);
  // The command; true when the reader answered GOOD with all its data. A
  // command the reader answers with UNIT ATTENTION (it did not run it) goes
  // once more.
  bool Transmit(const ReaderCommand& command, void* data);
  // A command of the format: on failure the message (once) and the pause.
  int Run(const ReaderCommand& command, void* data);
  void Report(const ReaderCommand& command, sgio::Fault fault);

  SgSystem& system;
  int descriptor = kNoDescriptor;
  std::string path;
  sgio::Outcome lastOutcome;
  sgio::Fault lastFault = sgio::Fault::None;
  sgio::Fault shownFault = sgio::Fault::None;  // the fault whose message is out, until a command succeeds
  std::uint32_t metFaults = 0;                 // bit per fault kind
};

// The fault's message for a command that met it, or empty when the fault
// gets no message of its own ("ErasePhyBlk: No card in the reader!").
std::string SgFaultMessage(const char* operationName, sgio::Fault fault);
