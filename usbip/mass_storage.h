// The simulated reader as a USB device: a high-speed mass-storage device of
// class 08h (mass storage), subclass 06h (SCSI transparent command set),
// protocol 50h (bulk-only transport), with one configuration, one interface
// and two bulk endpoints, and one logical unit per slot of the reader.
//
// Each transfer the host submits is answered at once: requests on the
// control endpoint (descriptors, configuration, endpoint halt, the class's
// Get Max LUN and Bulk-Only Mass Storage Reset), and on the bulk endpoints
// the command block wrapper, the data phase and the command status wrapper
// of each command, which its slot (sim::ReaderTarget) runs.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "sim/reader_target.h"

namespace usbip {

// Transfer status values, as the host's USB stack gives them (negated errno).
constexpr std::int32_t kTransferOk = 0;
constexpr std::int32_t kTransferStall = -32;  // -EPIPE: the endpoint halted or the request was refused

constexpr std::uint8_t kBulkInEndpoint = 1;   // 81h
constexpr std::uint8_t kBulkOutEndpoint = 2;  // 02h

struct Setup {
  std::uint8_t requestType = 0;
  std::uint8_t request = 0;
  std::uint16_t value = 0;
  std::uint16_t index = 0;
  std::uint16_t length = 0;
};
Setup ParseSetup(const std::array<std::uint8_t, 8>& bytes);

// One transfer as the host submits it.
struct Transfer {
  std::uint8_t endpoint = 0;  // 0 control, else the endpoint number
  bool in = false;            // device to host
  std::uint32_t length = 0;   // the host's buffer (in) or the bytes it sends (out)
  std::array<std::uint8_t, 8> setup{};
  std::vector<std::uint8_t> out;  // the bytes sent, for an out transfer
};

struct TransferResult {
  std::int32_t status = kTransferOk;
  std::uint32_t actualLength = 0;
  std::vector<std::uint8_t> in;  // the bytes returned, for an in transfer
};

// What the device tells its keeper of each command it ran.
struct CommandRecord {
  std::uint8_t lun = 0;
  std::vector<std::uint8_t> cdb;
  std::uint32_t dataLength = 0;
  bool dataIn = false;
  std::uint8_t status = 0;
  std::vector<std::uint8_t> sense;
};

struct DeviceIdentity {
  std::uint16_t vendor = 0;
  std::uint16_t product = 0;
  std::string manufacturer = "Generic";
  std::string productName = "STORAGE DEVICE";
  std::string serial;
};

class MassStorageDevice {
 public:
  // Descriptor fields the USB/IP device list repeats.
  static constexpr std::uint16_t kDeviceRelease = 0x0100;
  static constexpr std::uint8_t kInterfaceClass = 0x08;
  static constexpr std::uint8_t kInterfaceSubClass = 0x06;
  static constexpr std::uint8_t kInterfaceProtocol = 0x50;
  static constexpr std::uint8_t kConfigurationValue = 1;

  // `slots` outlive the device; slot k is logical unit k.
  MassStorageDevice(DeviceIdentity identity, std::vector<sim::ReaderTarget*> slots);

  TransferResult Submit(const Transfer& transfer);

  const DeviceIdentity& Identity() const { return identity; }
  std::size_t Luns() const { return slots.size(); }
  void OnCommand(std::function<void(const CommandRecord&)> observer) { commandObserver = std::move(observer); }
  // A new host, or the class's reset: the next transfer starts a command.
  void Reset();

 private:
  enum class Phase : std::uint8_t { Command, DataOut, DataIn, Status };

  TransferResult Control(const Transfer& transfer);
  TransferResult Descriptor(const Setup& setup) const;
  TransferResult BulkOut(const Transfer& transfer);
  TransferResult BulkIn(const Transfer& transfer);
  void Run();

  DeviceIdentity identity;
  std::vector<sim::ReaderTarget*> slots;
  std::function<void(const CommandRecord&)> commandObserver;

  // The command under way.
  Phase phase = Phase::Command;
  std::uint32_t tag = 0;
  std::uint32_t expected = 0;  // dCBWDataTransferLength
  bool dataIn = false;
  std::uint8_t lun = 0;
  std::vector<std::uint8_t> cdb;
  std::vector<std::uint8_t> data;
  std::uint32_t moved = 0;  // bytes of the data phase carried so far
  std::uint32_t produced = 0;
  std::uint8_t csw = 0;  // the status the wrapper will carry
};

}  // namespace usbip
