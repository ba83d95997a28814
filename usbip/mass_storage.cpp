#include "usbip/mass_storage.h"

#include <algorithm>

namespace usbip {

namespace {

// Standard requests and descriptor types (USB 2.0, chapter 9).
namespace request {
constexpr std::uint8_t kGetStatus = 0x00;
constexpr std::uint8_t kClearFeature = 0x01;
constexpr std::uint8_t kSetFeature = 0x03;
constexpr std::uint8_t kSetAddress = 0x05;
constexpr std::uint8_t kGetDescriptor = 0x06;
constexpr std::uint8_t kGetConfiguration = 0x08;
constexpr std::uint8_t kSetConfiguration = 0x09;
constexpr std::uint8_t kGetInterface = 0x0A;
constexpr std::uint8_t kSetInterface = 0x0B;
// The mass-storage class's own (bulk-only transport).
constexpr std::uint8_t kGetMaxLun = 0xFE;
constexpr std::uint8_t kBulkOnlyReset = 0xFF;
}  // namespace request

namespace request_type {
constexpr std::uint8_t kDeviceIn = 0x80;
constexpr std::uint8_t kInterfaceIn = 0x81;
constexpr std::uint8_t kEndpointIn = 0x82;
constexpr std::uint8_t kDeviceOut = 0x00;
constexpr std::uint8_t kInterfaceOut = 0x01;
constexpr std::uint8_t kEndpointOut = 0x02;
constexpr std::uint8_t kClassInterfaceIn = 0xA1;
constexpr std::uint8_t kClassInterfaceOut = 0x21;
}  // namespace request_type

constexpr std::uint8_t kDeviceDescriptor = 1;
constexpr std::uint8_t kConfigurationDescriptor = 2;
constexpr std::uint8_t kStringDescriptor = 3;
constexpr std::uint16_t kEnglishUs = 0x0409;
constexpr std::uint16_t kHighSpeedBulkPacket = 512;

constexpr std::uint8_t kManufacturerString = 1;
constexpr std::uint8_t kProductString = 2;
constexpr std::uint8_t kSerialString = 3;

// Command block and command status wrappers (little-endian fields).
constexpr std::uint32_t kCbwSignature = 0x43425355;  // "USBC"
constexpr std::uint32_t kCswSignature = 0x53425355;  // "USBS"
constexpr std::size_t kCbwLength = 31;
constexpr std::size_t kCswLength = 13;
constexpr std::size_t kCbwTag = 4;
constexpr std::size_t kCbwDataLength = 8;
constexpr std::size_t kCbwFlags = 12;
constexpr std::size_t kCbwLun = 13;
constexpr std::size_t kCbwCdbLength = 14;
constexpr std::size_t kCbwCdb = 15;
constexpr std::uint8_t kCbwDataIn = 0x80;
constexpr std::uint8_t kCbwLunMask = 0x0F;
constexpr std::size_t kMaxCdb = 16;
constexpr std::uint8_t kCswPassed = 0;
constexpr std::uint8_t kCswFailed = 1;

std::uint32_t Le32(const std::uint8_t* p) {
  return p[0] | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) | (std::uint32_t{p[3]} << 24);
}

void PutLe16(std::vector<std::uint8_t>& out, std::uint16_t value) {
  out.push_back(static_cast<std::uint8_t>(value));
  out.push_back(static_cast<std::uint8_t>(value >> 8));
}

void PutLe32(std::vector<std::uint8_t>& out, std::uint32_t value) {
  PutLe16(out, static_cast<std::uint16_t>(value));
  PutLe16(out, static_cast<std::uint16_t>(value >> 16));
}

std::vector<std::uint8_t> StringDescriptor(const std::string& text) {
  std::vector<std::uint8_t> out{static_cast<std::uint8_t>(2 + 2 * text.size()), kStringDescriptor};
  for (char c : text) PutLe16(out, static_cast<std::uint8_t>(c));
  return out;
}

TransferResult Stall() { return TransferResult{kTransferStall, 0, {}}; }

TransferResult Answer(std::vector<std::uint8_t> bytes, std::uint32_t limit) {
  if (bytes.size() > limit) bytes.resize(limit);
  const auto length = static_cast<std::uint32_t>(bytes.size());
  return TransferResult{kTransferOk, length, std::move(bytes)};
}

TransferResult Done() { return TransferResult{}; }

}  // namespace

Setup ParseSetup(const std::array<std::uint8_t, 8>& b) {
  return Setup{b[0], b[1], static_cast<std::uint16_t>(b[2] | (b[3] << 8)),
               static_cast<std::uint16_t>(b[4] | (b[5] << 8)), static_cast<std::uint16_t>(b[6] | (b[7] << 8))};
}

MassStorageDevice::MassStorageDevice(DeviceIdentity identity_, std::vector<sim::ReaderTarget*> slots_)
    : identity(std::move(identity_)), slots(std::move(slots_)) {}

TransferResult MassStorageDevice::Submit(const Transfer& transfer) {
  if (transfer.endpoint == 0) return Control(transfer);
  if (transfer.endpoint == kBulkOutEndpoint && !transfer.in) return BulkOut(transfer);
  if (transfer.endpoint == kBulkInEndpoint && transfer.in) return BulkIn(transfer);
  return Stall();
}

// --- The control endpoint ------------------------------------------------------------

TransferResult MassStorageDevice::Control(const Transfer& transfer) {
  const Setup setup = ParseSetup(transfer.setup);
  switch (setup.requestType) {
    case request_type::kDeviceIn:
      if (setup.request == request::kGetDescriptor) return Descriptor(setup);
      if (setup.request == request::kGetStatus) return Answer({0, 0}, setup.length);
      if (setup.request == request::kGetConfiguration) return Answer({kConfigurationValue}, setup.length);
      break;
    case request_type::kInterfaceIn:
      if (setup.request == request::kGetStatus) return Answer({0, 0}, setup.length);
      if (setup.request == request::kGetInterface) return Answer({0}, setup.length);
      break;
    case request_type::kEndpointIn:
      if (setup.request == request::kGetStatus) return Answer({0, 0}, setup.length);
      break;
    case request_type::kDeviceOut:
      if (setup.request == request::kSetConfiguration || setup.request == request::kSetAddress ||
          setup.request == request::kClearFeature || setup.request == request::kSetFeature) {
        return Done();
      }
      break;
    case request_type::kInterfaceOut:
      if (setup.request == request::kSetInterface) return Done();
      break;
    case request_type::kEndpointOut:
      // Clearing a halt after a stall: the endpoints never stay halted here.
      if (setup.request == request::kClearFeature || setup.request == request::kSetFeature) return Done();
      break;
    case request_type::kClassInterfaceIn:
      if (setup.request == request::kGetMaxLun) {
        return Answer({static_cast<std::uint8_t>(slots.empty() ? 0 : slots.size() - 1)}, setup.length);
      }
      break;
    case request_type::kClassInterfaceOut:
      if (setup.request == request::kBulkOnlyReset) {
        Reset();
        return Done();
      }
      break;
    default:
      break;
  }
  return Stall();
}

TransferResult MassStorageDevice::Descriptor(const Setup& setup) const {
  const auto type = static_cast<std::uint8_t>(setup.value >> 8);
  const auto index = static_cast<std::uint8_t>(setup.value);
  std::vector<std::uint8_t> out;
  switch (type) {
    case kDeviceDescriptor:
      out = {18, kDeviceDescriptor, 0x00, 0x02, 0, 0, 0, 64};  // USB 2.0, class per interface, 64-byte packets
      PutLe16(out, identity.vendor);
      PutLe16(out, identity.product);
      PutLe16(out, kDeviceRelease);
      out.insert(out.end(), {kManufacturerString, kProductString,
                             static_cast<std::uint8_t>(identity.serial.empty() ? 0 : kSerialString), 1});
      return Answer(out, setup.length);
    case kConfigurationDescriptor: {
      if (index != 0) return Stall();
      out = {9, kConfigurationDescriptor, 32, 0, 1, kConfigurationValue, 0, 0x80, 50};  // bus-powered, 100 mA
      out.insert(out.end(), {9, 4, 0, 0, 2, kInterfaceClass, kInterfaceSubClass, kInterfaceProtocol, 0});
      const std::uint8_t bulk = 0x02;
      out.insert(out.end(), {7, 5, static_cast<std::uint8_t>(0x80 | kBulkInEndpoint), bulk});
      PutLe16(out, kHighSpeedBulkPacket);
      out.push_back(0);
      out.insert(out.end(), {7, 5, kBulkOutEndpoint, bulk});
      PutLe16(out, kHighSpeedBulkPacket);
      out.push_back(0);
      return Answer(out, setup.length);
    }
    case kStringDescriptor:
      switch (index) {
        case 0:
          out = {4, kStringDescriptor};
          PutLe16(out, kEnglishUs);
          return Answer(out, setup.length);
        case kManufacturerString:
          return Answer(StringDescriptor(identity.manufacturer), setup.length);
        case kProductString:
          return Answer(StringDescriptor(identity.productName), setup.length);
        case kSerialString:
          if (!identity.serial.empty()) return Answer(StringDescriptor(identity.serial), setup.length);
          break;
        default:
          break;
      }
      return Stall();
    default:
      return Stall();  // no device qualifier, no other-speed configuration, no BOS
  }
}

// --- The bulk endpoints: bulk-only transport -----------------------------------------------

void MassStorageDevice::Reset() {
  phase = Phase::Command;
  data.clear();
  moved = produced = 0;
}

TransferResult MassStorageDevice::BulkOut(const Transfer& transfer) {
  const auto taken = static_cast<std::uint32_t>(transfer.out.size());
  if (phase == Phase::DataOut) {
    data.insert(data.end(), transfer.out.begin(), transfer.out.end());
    if (data.size() >= expected) {
      data.resize(expected);
      Run();
      phase = Phase::Status;
    }
    return TransferResult{kTransferOk, taken, {}};
  }
  const std::uint8_t* w = transfer.out.data();
  if (phase != Phase::Command || transfer.out.size() != kCbwLength || Le32(w) != kCbwSignature ||
      w[kCbwCdbLength] == 0 || w[kCbwCdbLength] > kMaxCdb) {
    return Stall();  // not a valid wrapper: the host recovers with a reset
  }
  tag = Le32(w + kCbwTag);
  expected = Le32(w + kCbwDataLength);
  dataIn = (w[kCbwFlags] & kCbwDataIn) != 0;
  lun = w[kCbwLun] & kCbwLunMask;
  cdb.assign(w + kCbwCdb, w + kCbwCdb + w[kCbwCdbLength]);
  moved = produced = 0;
  data.clear();
  if (expected == 0 || dataIn) {
    data.assign(expected, 0);
    Run();
    phase = expected == 0 ? Phase::Status : Phase::DataIn;
  } else {
    phase = Phase::DataOut;
  }
  return TransferResult{kTransferOk, taken, {}};
}

TransferResult MassStorageDevice::BulkIn(const Transfer& transfer) {
  if (phase == Phase::DataIn) {
    const std::uint32_t count = std::min(transfer.length, produced - moved);
    TransferResult result{kTransferOk, count, {data.begin() + moved, data.begin() + moved + count}};
    moved += count;
    // A short packet ends the data phase; so does the last byte the host asked for.
    if (count < transfer.length || moved == expected) phase = Phase::Status;
    return result;
  }
  if (phase != Phase::Status) return Stall();
  std::vector<std::uint8_t> out;
  PutLe32(out, kCswSignature);
  PutLe32(out, tag);
  PutLe32(out, expected - (dataIn ? moved : produced));
  out.push_back(csw);
  phase = Phase::Command;
  return Answer(out, std::max<std::uint32_t>(transfer.length, kCswLength));
}

void MassStorageDevice::Run() {
  CommandRecord record{lun, cdb, expected, dataIn, sim::kStatusCheckCondition, {}};
  if (lun < slots.size()) {
    const DataDirection direction = expected == 0 ? DataDirection::None
                                    : dataIn      ? DataDirection::In
                                                  : DataDirection::Out;
    const sim::TargetAnswer answer = slots[lun]->Execute(cdb.data(), cdb.size(), direction, data.data(), expected);
    produced = answer.transferred;
    record.status = answer.status;
    record.sense = slots[lun]->Sense();
  }
  csw = record.status == sim::kStatusGood ? kCswPassed : kCswFailed;
  if (commandObserver) commandObserver(record);
}

}  // namespace usbip
