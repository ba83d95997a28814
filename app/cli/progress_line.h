// Progress on stderr that fits its terminal: the bar narrows to the width
// and the text after it is cut to what is left, so that a redraw stays on
// its own line instead of wrapping into a new one.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>

#include "app/cli/cli_context.h"

constexpr int kDefaultColumns = 80;  // a terminal that cannot tell its width

// "BEFORE[#####.....]AFTER" for `percent`: the bar at most `widest` marks
// wide, the whole line one column short of `columns` (the last column would
// wrap on some terminals), padded with blanks so that it covers a longer
// line drawn before it.
std::string BarLine(const std::string& before, int percent, const std::string& after, int columns, int widest);

// Where progress goes: stderr, or nowhere with --quiet.
std::ostream& ProgressStream(CliContext& context);
int TerminalWidth(const CliContext& context);
std::uint64_t Milliseconds(const CliContext& context);
