// smformat on real card readers: the list of readers, the format of the card
// in one of them, and the SmartMedia logical format on any block device or
// image file. Linux reaches readers with SG_IO on the reader's disk node
// (/dev/sdX), Windows with SCSI pass-through on the card's volume (E:); each
// platform has its own implementation of these functions.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "app/cli/card_read.h"
#include "app/cli/cli_context.h"
#include "engine/media_geometry.h"

struct RealReaderOptions {
  std::optional<std::string> target;  // DEVICE or TARGET; none: the one reader holding a card
  bool assumeYes = false;             // only ever with an explicit target
  std::optional<std::string> tracePath;
  std::vector<std::string> arguments;      // the command line, to show how to run it as root
  std::optional<CardRead> read;            // --check, --dump or --dry-run instead of a format
  std::optional<std::string> restorePath;  // --restore DUMP after the format
};

int ListReaders(const RealReaderOptions& options, CliContext& context);
int FormatReader(const RealReaderOptions& options, CliContext& context);
int FormatLogical(const RealReaderOptions& options, CliContext& context);
// --check or --dump of the card in the reader `target` names: opened for
// reading only, and only the commands that read reach it.
int ReadCard(const RealReaderOptions& options, CliContext& context);

// What a user types for DEVICE on this platform ("/dev/sdc", "E:"), for help texts.
extern const char* const kDeviceExample;

// --- Shared by both platforms' implementations --------------------------------

// "smformat: TEXT" on stderr; returns kExitFailure.
int Refuse(CliContext& context, const std::string& text);
// "16 MB card, 32000 sectors": the card's physical size and its logical sectors.
std::string CardSizeText(const MediaGeometry& geometry, std::uint32_t capacityKey);
extern const char* const kConfirmText;  // the format job's question
// Why --dump may not write its OUT, before anything is sent to the reader:
// it exists without --force, it is the trace file, or the platform's own
// rule (`onTheCard`) finds it on the card; empty when it may.
std::string DumpOutRefusal(const RealReaderOptions& options, const std::string& onTheCard);
