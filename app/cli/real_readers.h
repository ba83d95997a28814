// smformat on real card readers: the list of readers, the format of the card
// in one of them, and the SmartMedia logical format on any block device or
// image file. Linux reaches readers with SG_IO on the reader's disk node
// (/dev/sdX), Windows with SCSI pass-through on the card's volume (E:); each
// platform has its own implementation of these functions.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "app/cli/cli_context.h"
#include "engine/media_geometry.h"

struct RealReaderOptions {
  std::optional<std::string> target;  // DEVICE or TARGET; none: the one reader holding a card
  bool assumeYes = false;             // only ever with an explicit target
  std::optional<std::string> tracePath;
  std::vector<std::string> arguments;  // the command line, to show how to run it as root
};

int ListReaders(const RealReaderOptions& options, CliContext& context);
int FormatReader(const RealReaderOptions& options, CliContext& context);
int FormatLogical(const RealReaderOptions& options, CliContext& context);

// What a user types for DEVICE on this platform ("/dev/sdc", "E:"), for help texts.
extern const char* const kDeviceExample;

// --- Shared by both platforms' implementations --------------------------------

// "smformat: TEXT" on stderr; returns kExitFailure.
int Refuse(CliContext& context, const std::string& text);
// "16 MB card, 32000 sectors": the card's physical size and its logical sectors.
std::string CardSizeText(const MediaGeometry& geometry, std::uint32_t capacityKey);
extern const char* const kConfirmText;  // the format job's question
