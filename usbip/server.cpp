#include "usbip/server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ostream>
#include <sstream>

#include "transport/scsi_sense.h"

namespace usbip {

namespace {

constexpr int kPollMs = 100;  // how soon a raised stop flag is seen
constexpr int kBacklog = 8;
constexpr std::size_t kReadChunk = 64 * 1024;

std::string Hex(const std::vector<std::uint8_t>& bytes) {
  std::string text;
  char byte[4];
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    std::snprintf(byte, sizeof byte, i ? " %02X" : "%02X", bytes[i]);
    text += byte;
  }
  return text;
}

std::string SystemError(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

}  // namespace

Server::Server(std::vector<ExportedReader> exported, std::ostream& log_) : log(log_) {
  for (ExportedReader& reader : exported) readers.push_back(ReaderState{std::move(reader)});
  for (std::size_t i = 0; i < readers.size(); ++i) {
    readers[i].exported.device->OnCommand([this, i](const CommandRecord& record) {
      ReaderState& reader = readers[i];
      LogCommand(reader.exported.busId, record);
      ++reader.commands;
      if (reader.exported.unplugAfter && reader.commands >= *reader.exported.unplugAfter) reader.unplugDue = true;
    });
  }
}

Server::~Server() {
  for (Connection& connection : connections) ::close(connection.fd);
  if (listener >= 0) ::close(listener);
}

std::string Server::Listen(const std::string& address, std::uint16_t wanted) {
  sockaddr_in where{};
  where.sin_family = AF_INET;
  where.sin_port = htons(wanted);
  if (::inet_pton(AF_INET, address.c_str(), &where.sin_addr) != 1) return "not an IPv4 address: " + address;
  listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listener < 0) return SystemError("socket");
  const int on = 1;
  ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (::bind(listener, reinterpret_cast<sockaddr*>(&where), sizeof where) != 0) {
    return SystemError(("cannot listen on " + address + ":" + std::to_string(wanted)).c_str());
  }
  if (::listen(listener, kBacklog) != 0) return SystemError("listen");
  socklen_t size = sizeof where;
  ::getsockname(listener, reinterpret_cast<sockaddr*>(&where), &size);
  port = ntohs(where.sin_port);
  return {};
}

void Server::Run(const std::atomic<int>& stop, int control) {
  std::string pending;  // a control line not yet complete
  while (stop.load() == 0) {
    std::vector<pollfd> watched{{listener, POLLIN, 0}};
    if (control >= 0) watched.push_back({control, POLLIN, 0});
    const std::size_t first = watched.size();
    for (const Connection& connection : connections) watched.push_back({connection.fd, POLLIN, 0});
    if (::poll(watched.data(), watched.size(), kPollMs) <= 0) continue;
    if (watched[0].revents & POLLIN) Accept();
    if (control >= 0 && watched[1].revents != 0) {
      char chunk[256];
      const ssize_t got = ::read(control, chunk, sizeof chunk);
      if (got <= 0) {
        control = -1;
      } else {
        pending.append(chunk, static_cast<std::size_t>(got));
        for (std::size_t end; (end = pending.find('\n')) != std::string::npos; pending.erase(0, end + 1)) {
          log << Control(pending.substr(0, end)) << std::endl;
        }
      }
    }
    // Connections may close while they are served: walk the ones polled, by descriptor.
    for (std::size_t k = first; k < watched.size(); ++k) {
      if (watched[k].revents == 0) continue;
      for (std::size_t c = 0; c < connections.size(); ++c) {
        if (connections[c].fd != watched[k].fd) continue;
        if (!Serve(connections[c])) Close(connections[c]);
        break;
      }
    }
    for (std::size_t c = connections.size(); c-- > 0;) {
      if (connections[c].fd < 0) connections.erase(connections.begin() + static_cast<std::ptrdiff_t>(c));
    }
  }
}

void Server::Accept() {
  const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) return;
  const int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);  // one small reply per transfer
  connections.push_back(Connection{fd, {}, -1});
}

void Server::Close(Connection& connection) {
  if (connection.reader >= 0) {
    ReaderState& reader = readers[static_cast<std::size_t>(connection.reader)];
    reader.connection = -1;
    reader.exported.device->Reset();
    log << reader.exported.busId << " released" << std::endl;
  }
  ::close(connection.fd);
  connection.fd = -1;
}

bool Server::Send(int fd, const std::vector<std::uint8_t>& bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

bool Server::Serve(Connection& connection) {
  std::uint8_t chunk[kReadChunk];
  const ssize_t got = ::recv(connection.fd, chunk, sizeof chunk, 0);
  if (got <= 0) return got < 0 && errno == EINTR;
  connection.input.insert(connection.input.end(), chunk, chunk + got);
  for (;;) {
    std::size_t used = 0;
    const bool open = connection.reader < 0 ? Handshake(connection, used) : Urb(connection, used);
    if (!open) return false;
    if (used == 0) return true;  // wait for the rest of the message
    connection.input.erase(connection.input.begin(), connection.input.begin() + static_cast<std::ptrdiff_t>(used));
  }
}

// --- Listing and importing ---------------------------------------------------------------

DeviceRecord Server::RecordOf(const ReaderState& reader) const {
  const MassStorageDevice& device = *reader.exported.device;
  DeviceRecord record;
  record.path = "/sys/devices/platform/smcard/usb1/" + reader.exported.busId;
  record.busId = reader.exported.busId;
  record.deviceNumber = static_cast<std::uint32_t>(ReaderIndex(reader.exported.busId) + 2);
  record.vendor = device.Identity().vendor;
  record.product = device.Identity().product;
  record.release = MassStorageDevice::kDeviceRelease;
  record.configurationValue = MassStorageDevice::kConfigurationValue;
  record.interfaces = {{MassStorageDevice::kInterfaceClass, MassStorageDevice::kInterfaceSubClass,
                        MassStorageDevice::kInterfaceProtocol}};
  return record;
}

int Server::ReaderIndex(const std::string& busId) const {
  for (std::size_t i = 0; i < readers.size(); ++i) {
    if (readers[i].exported.busId == busId) return static_cast<int>(i);
  }
  return -1;
}

bool Server::Handshake(Connection& connection, std::size_t& used) {
  const std::vector<std::uint8_t>& in = connection.input;
  if (in.size() < kOpHeaderSize) return true;
  const OpHeader header = ParseOpHeader(in.data());
  std::vector<std::uint8_t> reply;
  if (header.code == kOpRequestDeviceList) {
    std::vector<const ReaderState*> offered;
    for (const ReaderState& reader : readers) {
      if (reader.plugged && reader.connection < 0) offered.push_back(&reader);
    }
    PutOpHeader(reply, OpHeader{kVersion, kOpReplyDeviceList, kOpStatusOk});
    reply.insert(reply.end(), {0, 0, 0, static_cast<std::uint8_t>(offered.size())});
    for (const ReaderState* reader : offered) PutDeviceRecord(reply, RecordOf(*reader), true);
    Send(connection.fd, reply);
    return false;  // the list ends the connection
  }
  if (header.code != kOpRequestImport) return false;
  if (in.size() < kOpHeaderSize + kBusIdSize) return true;
  used = kOpHeaderSize + kBusIdSize;
  const std::string busId = ParseBusId(in.data() + kOpHeaderSize);
  const int index = ReaderIndex(busId);
  if (index < 0 || !readers[static_cast<std::size_t>(index)].plugged ||
      readers[static_cast<std::size_t>(index)].connection >= 0) {
    PutOpHeader(reply, OpHeader{kVersion, kOpReplyImport, kOpStatusError});
    Send(connection.fd, reply);
    log << busId << " refused: " << (index < 0 ? "no such reader" : "unplugged or in use") << std::endl;
    return false;
  }
  ReaderState& reader = readers[static_cast<std::size_t>(index)];
  PutOpHeader(reply, OpHeader{kVersion, kOpReplyImport, kOpStatusOk});
  PutDeviceRecord(reply, RecordOf(reader), false);
  if (!Send(connection.fd, reply)) return false;
  reader.connection = connection.fd;
  reader.exported.device->Reset();
  connection.reader = index;
  log << busId << " imported" << std::endl;
  return true;
}

// --- URB traffic -----------------------------------------------------------------------------

bool Server::Urb(Connection& connection, std::size_t& used) {
  const std::vector<std::uint8_t>& in = connection.input;
  if (in.size() < kUrbHeaderSize) return true;
  const UrbHeader header = ParseUrbHeader(in.data());
  ReaderState& reader = readers[static_cast<std::size_t>(connection.reader)];
  std::vector<std::uint8_t> reply;
  if (header.command == kCmdUnlink) {
    // Every transfer is answered as it comes, so there is never one left to unlink.
    used = kUrbHeaderSize;
    PutReturnUnlink(reply, header.seqnum, 0);
    return Send(connection.fd, reply);
  }
  if (header.command != kCmdSubmit || header.transferLength > kMaxTransfer) return false;
  const bool directionIn = header.direction == kDirectionIn;
  const std::size_t payload = directionIn ? 0 : header.transferLength;
  if (in.size() < kUrbHeaderSize + payload) return true;
  used = kUrbHeaderSize + payload;

  Transfer transfer;
  transfer.endpoint = static_cast<std::uint8_t>(header.endpoint);
  transfer.in = directionIn;
  transfer.length = header.transferLength;
  transfer.setup = header.setup;
  transfer.out.assign(in.begin() + kUrbHeaderSize, in.begin() + static_cast<std::ptrdiff_t>(kUrbHeaderSize + payload));
  const TransferResult result = reader.exported.device->Submit(transfer);
  PutReturnSubmit(reply, header.seqnum, result.status, result.actualLength, result.in);
  if (!Send(connection.fd, reply)) return false;
  if (reader.unplugDue) {
    reader.unplugDue = false;
    Unplug(reader);
    return false;
  }
  return true;
}

// --- What happens to the hardware --------------------------------------------------------------

void Server::Unplug(ReaderState& reader) {
  reader.plugged = false;
  log << reader.exported.busId << " unplugged" << std::endl;
  for (Connection& connection : connections) {
    if (connection.fd >= 0 && connection.fd == reader.connection) Close(connection);
  }
}

std::string Server::Control(const std::string& line) {
  std::istringstream words(line);
  std::string verb, target;
  words >> verb >> target;
  if (verb.empty()) return "";
  const std::size_t slash = target.find('/');
  const std::string busId = target.substr(0, slash);
  const int index = ReaderIndex(busId);
  if (index < 0) return "no reader " + busId + " (pull, insert, unplug or plug BUSID[/LUN])";
  ReaderState& reader = readers[static_cast<std::size_t>(index)];
  if (verb == "unplug") {
    if (reader.plugged) Unplug(reader);
    return busId + " is unplugged";
  }
  if (verb == "plug") {
    reader.plugged = true;
    return busId + " is plugged in";
  }
  std::size_t lun = 0;
  if (slash != std::string::npos) lun = static_cast<std::size_t>(std::strtoul(target.c_str() + slash + 1, nullptr, 10));
  if (lun >= reader.exported.slots.size() || reader.exported.slots[lun] == nullptr) {
    return target + ": no card in that slot to " + verb;
  }
  sim::Reader& slot = *reader.exported.slots[lun];
  if (verb == "pull") {
    slot.RemoveCard();
    return busId + "/" + std::to_string(lun) + " card pulled";
  }
  if (verb == "insert") {
    slot.InsertCard();
    return busId + "/" + std::to_string(lun) + " card inserted";
  }
  return "unknown control '" + verb + "' (pull, insert, unplug or plug BUSID[/LUN])";
}

void Server::LogCommand(const std::string& busId, const CommandRecord& record) {
  log << busId << "/" << unsigned{record.lun} << " " << Hex(record.cdb);
  if (record.dataLength != 0) log << (record.dataIn ? " in " : " out ") << record.dataLength;
  if (record.status == sim::kStatusGood) {
    log << " -> GOOD\n";
  } else {
    const ScsiSense sense = DecodeSense(record.sense.data(), record.sense.size());
    char codes[16];
    std::snprintf(codes, sizeof codes, "%02X/%02X", sense.asc, sense.ascq);
    log << " -> CHECK CONDITION " << SenseKeyName(sense.key) << " " << codes << "\n";
  }
  log.flush();
}

}  // namespace usbip
