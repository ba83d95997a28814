#include "app/cli/progress_line.h"

#include <algorithm>
#include <chrono>
#include <ostream>

namespace {

constexpr int kNarrowestBar = 10;

}  // namespace

std::string BarLine(const std::string& before, int percent, const std::string& after, int columns, int widest) {
  const int room = std::max(columns, 2) - 1;
  const int free = room - static_cast<int>(before.size() + after.size()) - 2;
  const int width = std::clamp(free, kNarrowestBar, std::max(widest, kNarrowestBar));
  const int filled = std::clamp(percent, 0, 100) * width / 100;
  std::string line = before + "[" + std::string(filled, '#') + std::string(width - filled, '.') + "]" + after;
  line.resize(static_cast<std::size_t>(room), ' ');
  return line;
}

std::ostream& ProgressStream(CliContext& context) {
  static std::ostream nowhere(nullptr);  // a stream without a buffer writes nothing
  return context.quiet ? nowhere : context.err;
}

int TerminalWidth(const CliContext& context) {
  const int columns = context.terminalColumns ? context.terminalColumns() : 0;
  return columns > 0 ? columns : kDefaultColumns;
}

std::uint64_t Milliseconds(const CliContext& context) {
  if (context.clock) return context.clock();
  return static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
          .count());
}
