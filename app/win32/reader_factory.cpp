#include "app/win32/reader_factory.h"

#include "sim/sim_reader_device.h"
#include "transport/aspi/aspi_reader.h"
#include "transport/passthrough/pass_through_reader.h"

std::unique_ptr<CReaderDevice> HardwareReaderFactory::Create(PlatformKind kind, FormatHost& host) {
  switch (kind) {
    case PlatformKind::Windows9x:
      return std::make_unique<CAspiReader>(host);
    case PlatformKind::WindowsNt:
      return std::make_unique<CPassThroughReader>(host);
    case PlatformKind::Unsupported:
      break;
  }
  return nullptr;
}

SimulatedReaderFactory::SimulatedReaderFactory(std::string imagePath_, std::optional<card::CardGeometry> geometry_)
    : imagePath(std::move(imagePath_)), geometry(std::move(geometry_)) {}

SimulatedReaderFactory::~SimulatedReaderFactory() = default;

std::unique_ptr<CReaderDevice> SimulatedReaderFactory::Create(PlatformKind, FormatHost& host) {
  if (!opened) {
    opened = card::OpenCardAndPlan(imagePath, geometry);
    if (!opened) {
      host.ShowMessage(opened.error, "Error", MessageStyle{MessageButtons::Ok, MessageIcon::Error}, MessageOwner::None);
      return nullptr;
    }
    reader = std::make_unique<sim::Reader>(*opened.card, opened.plan);
  }
  return std::make_unique<CSimReader>(host, *reader);
}
