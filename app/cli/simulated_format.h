// smformat on a simulated card: the card image and its fault sidecar in a
// simulated reader, formatted as the Format button does.
#pragma once

#include <optional>
#include <string>

#include "app/cli/card_read.h"
#include "app/cli/cli_context.h"
#include "card/card_geometry.h"

struct SimulatedFormat {
  std::string image;
  std::optional<card::CardGeometry> geometry;
  bool assumeYes = false;
  std::optional<std::string> restorePath;  // --restore DUMP
};

// Returns the exit status. The reader's pauses pass on the virtual clock.
// A failure of the host under the image (it cannot be read or written) ends
// the format at its next checkpoint and is reported as what it is, with the
// system's text, in place of the card errors it would otherwise cause.
int FormatSimulatedCard(const SimulatedFormat& request, CliContext& context);

// --dry-run: the same format (and restore) on a copy of the image and its
// sidecar beside it, which goes afterwards, and a quick check of what the
// copy holds then; the image itself is only read.
int RehearseSimulatedFormat(const SimulatedFormat& request, CliContext& context);

// --check or --dump of the simulated card: the image is opened for reading
// only, and the card is read through the simulated reader as a real one is.
// A dump never goes over the image or its sidecar.
int ReadSimulatedCard(const std::string& image, const std::optional<card::CardGeometry>& geometry,
                      const CardRead& request, CliContext& context);
