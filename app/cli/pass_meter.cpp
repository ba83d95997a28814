#include "app/cli/pass_meter.h"

#include <algorithm>
#include <chrono>
#include <ostream>

namespace {

constexpr int kBarWidth = 30;
constexpr int kPlainStep = 10;            // percent between two plain lines
constexpr std::uint64_t kRedrawMs = 200;  // the bar is drawn at most this often
constexpr std::uint64_t kMsPerSecond = 1000;
constexpr std::uint64_t kSecondsPerMinute = 60;

}  // namespace

std::uint64_t PassMeter::SteadyMilliseconds() {
  return static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
          .count());
}

std::string DurationText(std::uint64_t seconds) {
  if (seconds < kSecondsPerMinute) return std::to_string(seconds) + " s";
  return std::to_string(seconds / kSecondsPerMinute) + " min " + std::to_string(seconds % kSecondsPerMinute) + " s";
}

PassMeter::PassMeter(std::ostream& err_, bool terminal_, std::string what_, std::string noun_, Clock clock_)
    : err(err_),
      terminal(terminal_),
      what(std::move(what_)),
      noun(std::move(noun_)),
      clock(std::move(clock_)),
      start(clock()) {}

PassMeter::~PassMeter() { EndBarLine(); }

// "104858 of 262144 pages, 812 pages a second, 3 min 7 s left"; no rate
// before any time has passed.
std::string PassMeter::Figures() const {
  std::string text = std::to_string(done) + " of " + std::to_string(total) + " " + noun;
  const std::uint64_t elapsed = clock() - start;
  const std::uint64_t read = done - std::min(done, base);
  if (elapsed == 0 || read == 0) return text;
  const std::uint64_t rate = read * kMsPerSecond / elapsed;
  text += ", " + std::to_string(rate) + " " + noun + " a second";
  if (done < total) text += ", " + DurationText((total - done) * elapsed / read / kMsPerSecond) + " left";
  return text;
}

void PassMeter::Update(std::uint64_t done_, std::uint64_t total_) {
  done = done_;
  total = total_ == 0 ? 1 : total_;
  const int percent = static_cast<int>(done * 100 / total);
  if (terminal) {
    const std::uint64_t now = clock();
    if (barOnScreen && now - lastDrawn < kRedrawMs && done < total) return;
    lastDrawn = now;
    const int filled = percent * kBarWidth / 100;
    err << "\r" << what << " [" << std::string(filled, '#') << std::string(kBarWidth - filled, '.') << "] " << percent
        << "%  " << Figures() << "\x1b[K" << std::flush;
    barOnScreen = true;
  } else if (percent / kPlainStep != lastPercent / kPlainStep) {
    err << what << ": " << percent << "% (" << Figures() << ")" << std::endl;
  }
  lastPercent = percent;
}

void PassMeter::Finish() {
  EndBarLine();
  const std::uint64_t elapsed = clock() - start;
  const std::uint64_t read = done - std::min(done, base);
  err << verb << " " << read << " " << noun << " in " << DurationText(elapsed / kMsPerSecond);
  if (elapsed != 0) err << " (" << read * kMsPerSecond / elapsed << " " << noun << " a second)";
  err << "." << std::endl;
}

void PassMeter::EndBarLine() {
  if (!barOnScreen) return;
  err << std::endl;
  barOnScreen = false;
}
