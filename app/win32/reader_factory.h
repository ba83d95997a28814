// The dialog's choice of reader: a backend for the platform's kind, or the
// simulated reader over a card image file.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "app/win32/platform_kind.h"
#include "card/card_geometry.h"
#include "card/card_tools.h"
#include "engine/reader_device.h"
#include "sim/reader.h"

class ReaderFactory {
 public:
  virtual ~ReaderFactory() = default;
  // The reader the dialog owns until it closes; null when there is none to
  // be had, which the dialog reports as "Device not found". `host` outlives
  // the reader.
  virtual std::unique_ptr<CReaderDevice> Create(PlatformKind kind, FormatHost& host) = 0;
};

// A real reader: the ASPI backend on the 9x family, the pass-through backend
// on the NT family, none on an unsupported platform.
class HardwareReaderFactory : public ReaderFactory {
 public:
  std::unique_ptr<CReaderDevice> Create(PlatformKind kind, FormatHost& host) override;
};

// The simulated reader holding the card of an image file (and the faults of
// its sidecar), whatever the platform. The card and the simulated reader
// live as long as the factory; changes reach the file command by command.
class SimulatedReaderFactory : public ReaderFactory {
 public:
  explicit SimulatedReaderFactory(std::string imagePath, std::optional<card::CardGeometry> geometry = {});
  ~SimulatedReaderFactory() override;

  // When the image cannot be opened, says why in a message box with no
  // owner and returns null.
  std::unique_ptr<CReaderDevice> Create(PlatformKind kind, FormatHost& host) override;

 private:
  std::string imagePath;
  std::optional<card::CardGeometry> geometry;
  card::CardAndPlan opened;
  std::unique_ptr<sim::Reader> reader;
};
