// What a format would do to a card, told from what it would read first (the
// first page of each block) and from the file system's sectors: the CIS it
// would keep or write, the blocks it would erase, those it would read again
// and may mark bad, the file system it would write, and what the card holds
// that it would erase. smformat --dry-run on a reader says it, writing
// nothing to the card.
#pragma once

#include <string>
#include <vector>

#include "card/card_check.h"

struct FormatForecast {
  std::vector<std::string> lines;
  bool refused = false;  // the format would refuse the card
};

// `check` is a quick check of the card.
FormatForecast ForecastFormat(const card::CardCheck& check, const card::CardGeometry& geometry);
