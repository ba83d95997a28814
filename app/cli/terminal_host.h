// The command-line tool's FormatHost: message boxes become lines on stderr
// with their caption, questions are answered on the terminal (or by --yes),
// and progress is a live bar on a terminal and plain lines otherwise.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <string>

#include "app/cli/cli_context.h"
#include "engine/format_host.h"

struct TerminalIo {
  std::ostream& err;
  std::istream& in;
  bool errIsTerminal = false;                // draw a live bar instead of plain lines
  std::function<void(std::uint32_t)> sleep;  // real sleep in the tool, a virtual one in tests
  int columns = 80;                          // the terminal's width, for the bar
  bool quiet = false;                        // no progress and no status lines
  // Raised by Ctrl-C: a question it interrupts was not left unanswered.
  const std::atomic<int>* stopFlag = nullptr;
};

// The tool's stderr and stdin as the context gives them; `realClock` false:
// no real pauses (a simulated card's pass on its own clock).
TerminalIo ConsoleIo(CliContext& context, bool realClock = true);

class TerminalHost : public FormatHost {
 public:
  TerminalHost(TerminalIo io, bool assumeYes);
  ~TerminalHost() override;

  MessageAnswer ShowMessage(const std::string& text, const std::string& caption, MessageStyle style,
                            MessageOwner owner) override;
  void SetProgressRange(int low, int high) override;
  void SetProgress(int position) override;
  void SetStatus(const std::string& text) override;
  void ShowStatus(bool visible) override;
  void Sleep(std::uint32_t milliseconds) override;

 private:
  int Percent() const;
  void DrawBar();
  void ShowPosition();
  void EndBarLine();
  MessageAnswer Ask(const std::string& question, bool confirmation);

  TerminalIo io;
  bool assumeYes;
  int low = 0;
  int high = 100;
  int position = 0;
  int lastPrinted = -1;
  std::string status;
  bool barOnScreen = false;
  bool statusVisible = false;  // progress and status are shown only while the job shows them
  bool endHeld = false;        // 100 % waits for the job's word that the format is complete
};

// "Error: text" with the text's line breaks folded into spaces.
std::string MessageLine(const std::string& caption, const std::string& text);
