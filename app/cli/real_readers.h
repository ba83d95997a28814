// smformat on real card readers: the list of readers, the format of the card
// in one of them, and the SmartMedia logical format on any block device or
// image file. Linux reaches readers with SG_IO on the reader's disk node
// (/dev/sdX), Windows with SCSI pass-through on the card's volume (E:); each
// platform has its own implementation of these functions.
#pragma once

#include <iosfwd>
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
  bool json = false;                       // --list as one JSON object
};

int ListReaders(const RealReaderOptions& options, CliContext& context);
int FormatReader(const RealReaderOptions& options, CliContext& context);
int FormatLogical(const RealReaderOptions& options, CliContext& context);
// --check or --dump of the card in the reader `target` names: opened for
// reading only, and only the commands that read reach it.
int ReadCard(const RealReaderOptions& options, CliContext& context);

// What a user types for DEVICE on this platform ("/dev/sdc", "E:"), for help texts.
extern const char* const kDeviceExample;
// What --logical writes on, and the help's paragraph on devices and rights,
// in the platform's terms.
extern const char* const kLogicalTargets;
extern const char* const kPlatformHelp;

// --- Shared by both platforms' implementations --------------------------------

// When `path`, given as a DEVICE, is a file: what to give instead
// (--simulate for a card image, --logical for a logical one); empty when
// it is no file.
std::string DeviceIsAFile(const std::string& path);
// When the file `path`, no card image, has the size of a logical image:
// how to use it instead; empty otherwise.
std::string LogicalImageHint(const std::string& path);

// "smformat: TEXT" on stderr; returns kExitFailure.
int Refuse(CliContext& context, const std::string& text);
// "16 MB": the card's physical size.
std::string CardMegabytesText(const MediaGeometry& geometry);
// "16 MB card, 32000 sectors": the card's physical size and its logical sectors.
std::string CardSizeText(const MediaGeometry& geometry, std::uint32_t capacityKey);
extern const char* const kConfirmText;  // the format job's question
// Why --dump may not write its OUT, before anything is sent to the reader:
// it exists without --force, it is the trace file, or the platform's own
// rule (`onTheCard`) finds it on the card; empty when it may.
std::string DumpOutRefusal(const RealReaderOptions& options, const std::string& onTheCard);

// One disk of --list: its device, USB identifier (empty where the platform
// does not tell it), name, whether it is a supported reader, and its state
// (the card, or why it is of no use).
struct ListedDisk {
  std::string device;
  std::string usbId;
  std::string name;
  bool supported = false;
  std::string state;
};
// One line a disk, `none` when there is no disk; or one JSON object:
// {"disks": [{"device": ..., "usbId": ..., "name": ..., "supported": ...,
// "state": ...}]}.
void PrintDiskList(std::ostream& out, const std::vector<ListedDisk>& disks, bool json, const std::string& none);
