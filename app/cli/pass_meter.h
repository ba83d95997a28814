// The progress of a pass over a card, on stderr: a live bar with the pages
// read, the rate and the time left on a terminal; plain lines, one per tenth
// of the way, in a file or a pipe; and a closing line with the time it took.
// A pass that continues an earlier one counts its rate from where it began.
#pragma once

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <string>

class PassMeter {
 public:
  // Milliseconds from any fixed start.
  using Clock = std::function<std::uint64_t()>;
  static std::uint64_t SteadyMilliseconds();

  // `noun` names what is counted: "pages", or "first pages" of a pass that
  // reads the first page of each block.
  PassMeter(std::ostream& err, bool terminal, std::string what, std::string noun = "pages",
            Clock clock = SteadyMilliseconds);
  ~PassMeter();
  PassMeter(const PassMeter&) = delete;
  PassMeter& operator=(const PassMeter&) = delete;

  // A pass that continues an earlier one: `already` were read then.
  void StartFrom(std::uint64_t already) { base = already; }
  // The closing line's verb: "Read", or "Wrote" for a pass that writes.
  void SetVerb(std::string text) { verb = std::move(text); }
  void Update(std::uint64_t done, std::uint64_t total);
  // "Read 262144 pages in 5 min 3 s (865 pages a second)."
  void Finish();

 private:
  std::string Figures() const;
  void EndBarLine();

  std::ostream& err;
  bool terminal;
  std::string what;
  std::string noun;
  std::string verb = "Read";
  Clock clock;
  std::uint64_t start;
  std::uint64_t lastDrawn = 0;
  std::uint64_t base = 0;  // where this pass began
  std::uint64_t done = 0;
  std::uint64_t total = 0;
  int lastPercent = -1;
  bool barOnScreen = false;
};

// "3 min 7 s", "42 s".
std::string DurationText(std::uint64_t seconds);
