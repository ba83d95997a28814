// Parsing of the card-describing options the tools share.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "card/card_geometry.h"
#include "card/fault_plan.h"

// "16M" (a standard size) or units of BLOCKSxPAGES joined by '+', for example
// "1024x32+1024x32" for a card of two units. Sets `error` when malformed.
std::optional<card::CardGeometry> ParseGeometry(const std::string& text, std::string& error);

// "12,40,1:7": block numbers of unit 0, or UNIT:BLOCK. Sets `error` when malformed.
std::vector<card::BlockRef> ParseBlockList(const std::string& text, std::string& error);
