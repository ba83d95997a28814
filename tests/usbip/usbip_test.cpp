// The reader as a USB device over USB/IP: what the kernel's USB core asks
// when the device arrives, the bulk-only transport of each command, and the
// server's messages on a real socket, as the usbip tool and vhci-hcd send
// them.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <sstream>
#include <thread>

#include "tests/sim/sim_bench.h"
#include "usbip/server.h"

namespace {

// A reader with a 16 MB card in slot 0 and an empty slot 1.
class Device : public ::testing::Test {
 protected:
  Device() {
    empty.RemoveCard();
    device.OnCommand([this](const usbip::CommandRecord& r) { records.push_back(r); });
  }

  usbip::TransferResult Control(std::array<std::uint8_t, 8> setup) {
    usbip::Transfer t;
    t.in = (setup[0] & 0x80) != 0;
    t.length = static_cast<std::uint32_t>(setup[6] | (setup[7] << 8));
    t.setup = setup;
    return device.Submit(t);
  }
  usbip::TransferResult Out(std::vector<std::uint8_t> bytes) {
    usbip::Transfer t;
    t.endpoint = usbip::kBulkOutEndpoint;
    t.length = static_cast<std::uint32_t>(bytes.size());
    t.out = std::move(bytes);
    return device.Submit(t);
  }
  usbip::TransferResult In(std::uint32_t length) {
    usbip::Transfer t;
    t.endpoint = usbip::kBulkInEndpoint;
    t.in = true;
    t.length = length;
    return device.Submit(t);
  }
  static std::vector<std::uint8_t> Cbw(std::uint32_t length, bool in, std::uint8_t lun, std::vector<std::uint8_t> cdb) {
    std::vector<std::uint8_t> w = {'U', 'S', 'B', 'C', 0x78, 0x56, 0x34, 0x12};
    for (int i = 0; i < 4; ++i) w.push_back(static_cast<std::uint8_t>(length >> (8 * i)));
    w.insert(w.end(), {static_cast<std::uint8_t>(in ? 0x80 : 0), lun, static_cast<std::uint8_t>(cdb.size())});
    cdb.resize(16, 0);
    w.insert(w.end(), cdb.begin(), cdb.end());
    return w;
  }
  // The wrapper's tag, residue and status.
  static void ExpectCsw(const usbip::TransferResult& r, std::uint32_t residue, std::uint8_t status) {
    ASSERT_EQ(r.in.size(), 13u);
    EXPECT_EQ(std::vector<std::uint8_t>(r.in.begin(), r.in.begin() + 8),
              (std::vector<std::uint8_t>{'U', 'S', 'B', 'S', 0x78, 0x56, 0x34, 0x12}));
    EXPECT_EQ(r.in[8] | (r.in[9] << 8) | (r.in[10] << 16) | (r.in[11] << 24), static_cast<int>(residue));
    EXPECT_EQ(r.in[12], status);
  }

  std::unique_ptr<card::Card> card = simtest::MakeCard(simtest::Standard("16M"));
  std::unique_ptr<card::Card> none = simtest::MakeCard(simtest::Standard("1M"));
  sim::Reader reader{*card};
  sim::Reader empty{*none};
  sim::ReaderTarget slot0{reader};
  sim::ReaderTarget slot1{empty};
  usbip::MassStorageDevice device{usbip::DeviceIdentity{0x1D6B, 0x5301, "Generic", "STORAGE DEVICE", "11"},
                                  {&slot0, &slot1}};
  std::vector<usbip::CommandRecord> records;
};

// What the USB core and usb-storage ask of a new device.
TEST_F(Device, AnswersTheRequestsOfEnumeration) {
  const struct {
    std::array<std::uint8_t, 8> setup;
    std::int32_t status;
    std::vector<std::uint8_t> head;  // the first bytes of the answer
    std::size_t length;
  } cases[] = {
      {{0x80, 6, 0, 1, 0, 0, 64, 0}, 0, {18, 1, 0x00, 0x02, 0, 0, 0, 64, 0x6B, 0x1D, 0x01, 0x53}, 18},
      {{0x80, 6, 0, 2, 0, 0, 9, 0}, 0, {9, 2, 32, 0, 1, 1}, 9},
      // The interface (08/06/50), bulk in 81h and bulk out 02h of 512 bytes.
      {{0x80, 6, 0, 2, 0, 0, 255, 0},
       0,
       {9, 2, 32, 0, 1, 1, 0, 0x80, 50, 9, 4, 0, 0, 2, 8, 6, 0x50, 0, 7, 5, 0x81, 2, 0, 2, 0, 7, 5, 0x02, 2, 0, 2, 0},
       32},
      {{0x80, 6, 0, 3, 0, 0, 255, 0}, 0, {4, 3, 0x09, 0x04}, 4},
      {{0x80, 6, 3, 3, 0x09, 0x04, 255, 0}, 0, {6, 3, '1', 0, '1', 0}, 6},
      {{0x80, 6, 0, 6, 0, 0, 10, 0}, -32, {}, 0},    // no device qualifier
      {{0x00, 9, 1, 0, 0, 0, 0, 0}, 0, {}, 0},       // SET_CONFIGURATION
      {{0xA1, 0xFE, 0, 0, 0, 0, 1, 0}, 0, {1}, 1},   // Get Max LUN: two slots
      {{0x02, 1, 0, 0, 0x81, 0, 0, 0}, 0, {}, 0},    // clearing a halt
      {{0x40, 0x33, 0, 0, 0, 0, 0, 0}, -32, {}, 0},  // a vendor request it does not know
  };
  for (const auto& c : cases) {
    const usbip::TransferResult r = Control(c.setup);
    EXPECT_EQ(r.status, c.status) << unsigned{c.setup[1]};
    EXPECT_EQ(r.in.size(), c.length) << unsigned{c.setup[1]};
    EXPECT_EQ(r.actualLength, c.length);
    EXPECT_EQ(std::vector<std::uint8_t>(r.in.begin(), r.in.begin() + std::min(r.in.size(), c.head.size())), c.head);
  }
}

// Each command: its wrapper, the data phase the host asked for, and the
// status wrapper with what was left over.
TEST_F(Device, CarriesEachCommandWithItsDataAndStatus) {
  // INQUIRY on slot 0: all 36 bytes.
  Out(Cbw(36, true, 0, {0x12, 0, 0, 0, 36, 0}));
  const usbip::TransferResult inquiry = In(36);
  EXPECT_EQ(std::string(inquiry.in.begin() + 8, inquiry.in.begin() + 30), "Generic STORAGE DEVICE");
  ExpectCsw(In(13), 0, 0);
  // MODE SENSE with room for 192 bytes: a short packet of 4, 188 left over.
  Out(Cbw(192, true, 0, {0x1A, 0, 0x3F, 0, 192, 0}));
  EXPECT_EQ(In(192).in.size(), 4u);
  ExpectCsw(In(13), 188, 0);
  // TEST UNIT READY on the empty slot fails; REQUEST SENSE says why.
  Out(Cbw(0, false, 1, {0x00, 0, 0, 0, 0, 0}));
  ExpectCsw(In(13), 0, 1);
  Out(Cbw(18, true, 1, {0x03, 0, 0, 0, 18, 0}));
  const usbip::TransferResult sense = In(18);
  ASSERT_EQ(sense.in.size(), 18u);
  EXPECT_EQ(sense.in[2], 2);
  EXPECT_EQ(sense.in[12], 0x3A);
  ExpectCsw(In(13), 0, 0);
  // A failed read sends no data: a zero-length packet, the whole length left over.
  Out(Cbw(528, true, 1, {0xEA, 0, 0, 0, 0, 0}));
  EXPECT_EQ(In(528).actualLength, 0u);
  ExpectCsw(In(13), 528, 1);
  // WRITE(10) in two out transfers, then READ(10) in two in transfers.
  const std::vector<std::uint8_t> sector = simtest::Pattern(512, 3);
  Out(Cbw(512, false, 0, {0x2A, 0, 0, 0, 0, 9, 0, 0, 1, 0}));
  Out({sector.begin(), sector.begin() + 200});
  Out({sector.begin() + 200, sector.end()});
  ExpectCsw(In(13), 0, 0);
  Out(Cbw(512, true, 0, {0x28, 0, 0, 0, 0, 9, 0, 0, 1, 0}));
  std::vector<std::uint8_t> back = In(256).in;
  const std::vector<std::uint8_t> rest = In(256).in;
  back.insert(back.end(), rest.begin(), rest.end());
  EXPECT_EQ(back, sector);
  ExpectCsw(In(13), 0, 0);
  ASSERT_EQ(records.size(), 7u);
  EXPECT_EQ(records[2].lun, 1);
  EXPECT_EQ(records[2].sense.at(12), 0x3A);
}

TEST_F(Device, RefusesWhatIsNoCommandWrapper) {
  std::vector<std::uint8_t> bad = Cbw(0, false, 0, {0x00, 0, 0, 0, 0, 0});
  bad[0] = 'X';
  EXPECT_EQ(Out(bad).status, usbip::kTransferStall);
  EXPECT_EQ(In(13).status, usbip::kTransferStall) << "no status without a command";
  Out(Cbw(0, false, 0, {0x00, 0, 0, 0, 0, 0}));
  ExpectCsw(In(13), 0, 0);
}

// --- The server on a socket --------------------------------------------------------------------

class Served : public Device {
 protected:
  Served() : server({usbip::ExportedReader{"1-1", &device, {&reader, nullptr}, std::nullopt}}, log) {
    EXPECT_EQ(server.Listen("127.0.0.1", 0), "");
    EXPECT_EQ(::pipe(control), 0);
    thread = std::thread([this] { server.Run(stop, control[0]); });
  }
  ~Served() override {
    stop = 1;
    thread.join();
    ::close(control[0]);
    ::close(control[1]);
  }
  int Connect() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(server.Port());
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
    return fd;
  }
  static std::vector<std::uint8_t> Receive(int fd, std::size_t length) {
    std::vector<std::uint8_t> bytes(length);
    std::size_t got = 0;
    while (got < length) {
      const ssize_t n = ::recv(fd, bytes.data() + got, length - got, 0);
      if (n <= 0) break;
      got += static_cast<std::size_t>(n);
    }
    bytes.resize(got);
    return bytes;
  }
  static std::vector<std::uint8_t> Import(const char* busId) {
    std::vector<std::uint8_t> request = {0x01, 0x11, 0x80, 0x03, 0, 0, 0, 0};
    request.resize(8 + 32, 0);
    std::copy(busId, busId + std::strlen(busId), request.begin() + 8);
    return request;
  }

  std::ostringstream log;
  std::atomic<int> stop{0};
  int control[2] = {-1, -1};  // the server's control lines
  usbip::Server server;
  std::thread thread;
};

TEST_F(Served, ListsImportsCarriesAUrbAndLetsAnUnplugEndIt) {
  const int list = Connect();
  const std::uint8_t devlist[8] = {0x01, 0x11, 0x80, 0x05, 0, 0, 0, 0};
  ::send(list, devlist, sizeof devlist, 0);
  const std::vector<std::uint8_t> listed = Receive(list, 12 + 0x138 + 4);
  ::close(list);
  ASSERT_EQ(listed.size(), 12u + 0x138 + 4);
  EXPECT_EQ(listed[11], 1) << "one device";
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&listed[12 + 256])), "1-1");
  EXPECT_EQ(std::vector<std::uint8_t>(listed.end() - 4, listed.end()), (std::vector<std::uint8_t>{8, 6, 0x50, 0}));

  const int fd = Connect();
  const std::vector<std::uint8_t> import = Import("1-1");
  ::send(fd, import.data(), import.size(), 0);
  const std::vector<std::uint8_t> imported = Receive(fd, 8 + 0x138);
  ASSERT_EQ(imported.size(), 8u + 0x138);
  EXPECT_EQ(imported[7], 0) << "status OK";
  EXPECT_EQ(imported[0x130 + 3], 3) << "high speed";

  // CMD_SUBMIT: GET_DESCRIPTOR(device) on endpoint 0, 18 bytes in.
  std::vector<std::uint8_t> submit(48, 0);
  submit[3] = 1;    // command
  submit[7] = 42;   // seqnum
  submit[15] = 1;   // direction in
  submit[27] = 18;  // transfer buffer length
  const std::uint8_t setup[8] = {0x80, 6, 0, 1, 0, 0, 18, 0};
  std::copy(setup, setup + 8, submit.begin() + 40);
  ::send(fd, submit.data(), submit.size(), 0);
  const std::vector<std::uint8_t> ret = Receive(fd, 48 + 18);
  ASSERT_EQ(ret.size(), 48u + 18);
  EXPECT_EQ(ret[3], 3) << "RET_SUBMIT";
  EXPECT_EQ(ret[7], 42);
  EXPECT_EQ(ret[27], 18) << "actual length";
  EXPECT_EQ(ret[48], 18);
  EXPECT_EQ(ret[49], 1);

  const char unplug[] = "unplug 1-1\n";
  ASSERT_EQ(::write(control[1], unplug, sizeof unplug - 1), static_cast<ssize_t>(sizeof unplug - 1));
  EXPECT_TRUE(Receive(fd, 1).empty()) << "the connection is closed";
  ::close(fd);
  const int again = Connect();
  ::send(again, import.data(), import.size(), 0);
  const std::vector<std::uint8_t> refused = Receive(again, 8);
  ::close(again);
  ASSERT_EQ(refused.size(), 8u);
  EXPECT_EQ(refused[7], 1) << "an unplugged reader cannot be imported";
}

}  // namespace
