#include <signal.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <ostream>

#include "app/cli/smcard_serve.h"
#include "card/card.h"
#include "card/card_geometry.h"
#include "card/card_tools.h"
#include "sim/reader_target.h"
#include "usbip/server.h"

const char* const kServeUsage =
    "       smcard serve [--listen ADDRESS] [--port PORT] [--log FILE]\n"
    "                    --reader SLOT[,SLOT...] [--usb-id VID:PID] [--serial TEXT]\n"
    "                    [--unplug-after N] [--reader ...]\n";

namespace {

constexpr const char* kDefaultAddress = "127.0.0.1";
constexpr const char* kEmptySlot = "empty";
constexpr const char* kEmptySlotSize = "1M";  // the card an empty slot never shows
// The first reader of the supported-device list.
constexpr std::uint16_t kDefaultVendor = 0x1D6B;
constexpr std::uint16_t kDefaultProduct = 0x5301;

std::atomic<int> serveStop{0};

void StopServing(int) { serveStop.store(1); }

struct ServedReader {
  std::vector<std::string> slots;  // image paths, or "empty"
  std::uint16_t vendor = kDefaultVendor;
  std::uint16_t product = kDefaultProduct;
  std::string serial;
  std::optional<std::uint32_t> unplugAfter;
};

struct ServeOptions {
  std::string address = kDefaultAddress;
  std::uint16_t port = usbip::kDefaultPort;
  std::string logPath;
  std::vector<ServedReader> readers;
};

std::vector<std::string> SplitSlots(const std::string& text) {
  std::vector<std::string> slots;
  std::size_t start = 0;
  for (std::size_t comma; (comma = text.find(',', start)) != std::string::npos; start = comma + 1) {
    slots.push_back(text.substr(start, comma - start));
  }
  slots.push_back(text.substr(start));
  return slots;
}

bool ParseNumber(const std::string& text, std::uint32_t limit, std::uint32_t& value) {
  if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos) return false;
  value = static_cast<std::uint32_t>(std::stoul(text));
  return value <= limit;
}

bool ParseUsbId(const std::string& text, ServedReader& served) {
  if (text.size() != 9 || text[4] != ':' || text.find_first_not_of("0123456789abcdefABCDEF:") != std::string::npos) {
    return false;
  }
  served.vendor = static_cast<std::uint16_t>(std::stoul(text.substr(0, 4), nullptr, 16));
  served.product = static_cast<std::uint16_t>(std::stoul(text.substr(5), nullptr, 16));
  return true;
}

// The reader options apply to the --reader before them.
std::string ParseServe(const std::vector<std::string>& args, ServeOptions& options) {
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& option = args[i];
    if (i + 1 >= args.size()) return option.rfind("--", 0) == 0 ? option + " needs a value" : "unexpected " + option;
    const std::string& value = args[++i];
    std::uint32_t number = 0;
    if (option == "--reader") {
      if (value.empty()) return "--reader needs a slot";
      options.readers.emplace_back();
      options.readers.back().slots = SplitSlots(value);
    } else if (option == "--listen") {
      options.address = value;
    } else if (option == "--port") {
      if (!ParseNumber(value, 65535, number)) return "--port takes a port number";
      options.port = static_cast<std::uint16_t>(number);
    } else if (option == "--log") {
      options.logPath = value;
    } else if (options.readers.empty()) {
      return option == "--usb-id" || option == "--serial" || option == "--unplug-after"
                 ? option + " belongs to a --reader given before it"
                 : "unknown option " + option;
    } else if (option == "--usb-id") {
      if (!ParseUsbId(value, options.readers.back())) return "--usb-id takes VID:PID in hexadecimal (1d6b:5301)";
    } else if (option == "--serial") {
      options.readers.back().serial = value;
    } else if (option == "--unplug-after") {
      if (!ParseNumber(value, 0xFFFFFFFF, number) || number == 0) return "--unplug-after takes a number of commands";
      options.readers.back().unplugAfter = number;
    } else {
      return "unknown option " + option;
    }
  }
  return options.readers.empty() ? "serve needs at least one --reader" : "";
}

// What the server offers, and everything it is made of.
struct Offer {
  std::vector<std::unique_ptr<card::Card>> cards;
  std::vector<std::unique_ptr<sim::Reader>> slots;
  std::vector<std::unique_ptr<sim::ReaderTarget>> targets;
  std::vector<std::unique_ptr<usbip::MassStorageDevice>> devices;
  std::vector<usbip::ExportedReader> exported;
  std::string error;
};

Offer MakeOffer(const ServeOptions& options, CliContext& context) {
  Offer offer;
  for (std::size_t r = 0; r < options.readers.size(); ++r) {
    const ServedReader& served = options.readers[r];
    usbip::ExportedReader exported;
    exported.busId = "1-" + std::to_string(r + 1);
    exported.unplugAfter = served.unplugAfter;
    std::vector<sim::ReaderTarget*> targets;
    for (const std::string& slot : served.slots) {
      const bool empty = slot == kEmptySlot;
      card::FaultPlan plan;
      if (empty) {
        offer.cards.push_back(std::make_unique<card::Card>(*card::StandardGeometry(kEmptySlotSize)));
      } else {
        card::CardAndPlan opened =
            card::OpenCardAndPlan(slot, std::nullopt, card::Access::ReadWrite, context.openImage);
        if (!opened) {
          offer.error = opened.error;
          return offer;
        }
        offer.cards.push_back(std::move(opened.card));
        plan = std::move(opened.plan);
      }
      offer.slots.push_back(std::make_unique<sim::Reader>(*offer.cards.back(), std::move(plan)));
      if (empty) offer.slots.back()->RemoveCard();
      offer.targets.push_back(std::make_unique<sim::ReaderTarget>(*offer.slots.back()));
      targets.push_back(offer.targets.back().get());
      exported.slots.push_back(empty ? nullptr : offer.slots.back().get());
    }
    usbip::DeviceIdentity identity;
    identity.vendor = served.vendor;
    identity.product = served.product;
    identity.serial = served.serial;
    offer.devices.push_back(std::make_unique<usbip::MassStorageDevice>(identity, targets));
    exported.device = offer.devices.back().get();
    offer.exported.push_back(std::move(exported));
  }
  return offer;
}

std::string Describe(const ServeOptions& options) {
  std::string text;
  for (std::size_t r = 0; r < options.readers.size(); ++r) {
    const ServedReader& served = options.readers[r];
    char id[16];
    std::snprintf(id, sizeof id, "%04x:%04x", served.vendor, served.product);
    text += "  1-" + std::to_string(r + 1) + "  USB " + id;
    for (std::size_t s = 0; s < served.slots.size(); ++s) text += (s ? ", " : "  ") + served.slots[s];
    if (served.unplugAfter) text += "  (unplugged after " + std::to_string(*served.unplugAfter) + " commands)";
    text += "\n";
  }
  return text;
}

}  // namespace

int ServeMain(const std::vector<std::string>& args, CliContext& context) {
  for (const std::string& arg : args) {
    if (arg == "--help") {
      context.out << "Usage: " << (kServeUsage + 7);
      return kExitSuccess;
    }
  }
  ServeOptions options;
  const std::string problem = ParseServe(args, options);
  if (!problem.empty()) {
    context.err << "smcard: " << problem << "\nUsage:" << (kServeUsage + 6);
    return kExitUsage;
  }
  Offer offer = MakeOffer(options, context);
  if (!offer.error.empty()) {
    context.err << "smcard: " << offer.error << "\n";
    return kExitFailure;
  }
  std::ofstream logFile;
  if (!options.logPath.empty()) {
    logFile.open(options.logPath, std::ios::app);
    if (!logFile) {
      context.err << "smcard: cannot write the log " << options.logPath << "\n";
      return kExitFailure;
    }
  }
  usbip::Server server(std::move(offer.exported),
                       logFile.is_open() ? static_cast<std::ostream&>(logFile) : context.err);
  const std::string error = server.Listen(options.address, options.port);
  if (!error.empty()) {
    context.err << "smcard: " << error << "\n";
    return kExitFailure;
  }
  context.out << "serving on " << options.address << ":" << server.Port() << " (usbip attach -r HOST -b BUSID):\n"
              << Describe(options) << std::flush;
  struct sigaction stop {};
  stop.sa_handler = StopServing;
  sigaction(SIGINT, &stop, nullptr);
  sigaction(SIGTERM, &stop, nullptr);
  server.Run(serveStop, STDIN_FILENO);
  for (const auto& card : offer.cards) {
    const std::string flushed = card->Flush();
    if (!flushed.empty()) {
      context.err << "smcard: " << flushed << "\n";
      return kExitFailure;
    }
  }
  return kExitSuccess;
}
