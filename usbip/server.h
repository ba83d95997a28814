// A USB/IP server on a TCP port offering simulated readers as USB devices:
// a client (the usbip tool, then the kernel's vhci-hcd) lists them, imports
// one by its bus id ("1-1") and drives it with URBs over the same
// connection, until it lets go of the device or the reader is unplugged.
//
// The keeper of the server plays what happens to the hardware with control
// lines (from the server's standard input):
//   pull BUSID[/LUN]     the card is taken out of the slot (default LUN 0)
//   insert BUSID[/LUN]   it is put back: the reader presents it anew
//   unplug BUSID         the reader is unplugged: its client loses it
//   plug BUSID           it can be imported again
// and a reader may be unplugged by itself after a number of commands.
//
// Every command that reaches a slot, and every such event, is logged, one
// line each: "1-1/0 ED 00 00 00 00 00 in 1 -> GOOD".
#pragma once

#include <atomic>
#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "sim/reader.h"
#include "usbip/mass_storage.h"
#include "usbip/protocol.h"

namespace usbip {

struct ExportedReader {
  std::string busId;  // "1-1"
  MassStorageDevice* device = nullptr;
  std::vector<sim::Reader*> slots;           // null: the slot has no card to pull or insert
  std::optional<std::uint32_t> unplugAfter;  // commands, counted from the start
};

class Server {
 public:
  Server(std::vector<ExportedReader> readers, std::ostream& log);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Listens on `address` (an IPv4 address) and `port` (0: any free port).
  // Returns an error message, empty on success.
  std::string Listen(const std::string& address, std::uint16_t port);
  std::uint16_t Port() const { return port; }

  // Serves until `stop` is raised. `control` is a descriptor to read control
  // lines from (-1: none); its end only ends the control.
  void Run(const std::atomic<int>& stop, int control);

  // Carries out one control line; returns what was done, or why not.
  std::string Control(const std::string& line);

 private:
  struct Connection {
    int fd = -1;
    std::vector<std::uint8_t> input;
    int reader = -1;  // the imported reader, -1 before the import
  };
  struct ReaderState {
    ExportedReader exported;
    bool plugged = true;
    int connection = -1;  // fd of the client that imported it
    std::uint32_t commands = 0;
    bool unplugDue = false;
  };

  void Accept();
  // Reads what arrived and answers every complete message; false when the
  // connection is to be closed.
  bool Serve(Connection& connection);
  bool Handshake(Connection& connection, std::size_t& used);
  bool Urb(Connection& connection, std::size_t& used);
  bool Send(int fd, const std::vector<std::uint8_t>& bytes);
  void Close(Connection& connection);
  DeviceRecord RecordOf(const ReaderState& reader) const;
  int ReaderIndex(const std::string& busId) const;
  void Unplug(ReaderState& reader);
  void LogCommand(const std::string& busId, const CommandRecord& record);

  std::vector<ReaderState> readers;
  std::vector<Connection> connections;
  std::ostream& log;
  int listener = -1;
  std::uint16_t port = 0;
};

}  // namespace usbip
