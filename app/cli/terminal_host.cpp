#include "app/cli/terminal_host.h"

#include <algorithm>
#include <cctype>
#include <istream>
#include <ostream>

#include "app/cli/console.h"
#include "app/cli/progress_line.h"
#include "app/cli/real_readers.h"

namespace {

constexpr int kBarWidth = 40;
constexpr int kPlainStep = 10;  // percent between two plain progress lines
constexpr int kEndPercent = 100;
constexpr const char* kCompleteText = "Format Complete!";
constexpr const char* kNoAnswerText =
    "No answer: standard input ended before one came (it is not a terminal?). To answer Yes without a terminal, "
    "give --yes.";

std::string Trim(const std::string& s) {
  const auto first = s.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return {};
  const auto last = s.find_last_not_of(" \t\r\n");
  return s.substr(first, last - first + 1);
}

bool IsYes(std::string answer) {
  answer = Trim(answer);
  std::transform(answer.begin(), answer.end(), answer.begin(), [](unsigned char c) { return std::tolower(c); });
  return answer == "y" || answer == "yes";
}

}  // namespace

std::string MessageLine(const std::string& caption, const std::string& text) {
  std::string folded = Trim(text);
  std::replace(folded.begin(), folded.end(), '\n', ' ');
  return caption + ": " + folded;
}

TerminalIo ConsoleIo(CliContext& context, bool realClock) {
  TerminalIo io{context.err, context.in, context.errIsTerminal, realClock ? context.sleep : nullptr};
  io.columns = TerminalWidth(context);
  io.quiet = context.quiet;
  io.stopFlag = &context.stopFlag;
  return io;
}

TerminalHost::TerminalHost(TerminalIo io_, bool assumeYes_) : io(std::move(io_)), assumeYes(assumeYes_) {}

TerminalHost::~TerminalHost() { EndBarLine(); }

MessageAnswer TerminalHost::ShowMessage(const std::string& text, const std::string& caption, MessageStyle style,
                                        MessageOwner /*owner*/) {
  if (text == kCompleteText) ShowPosition();
  EndBarLine();
  if (style.buttons == MessageButtons::YesNo) return Ask(MessageLine(caption, text), text == kConfirmText);
  io.err << MessageLine(caption, text) << std::endl;
  return MessageAnswer::Ok;
}

// --yes answers the confirmation; any other question (a volume another
// program holds) gets No, as nobody is there to weigh it.
MessageAnswer TerminalHost::Ask(const std::string& question, bool confirmation) {
  if (assumeYes) {
    io.err << question << (confirmation ? " [y/N] yes (--yes)" : " [y/N] no (--yes answers only the confirmation)")
           << std::endl;
    return confirmation ? MessageAnswer::Yes : MessageAnswer::No;
  }
  io.err << question << " [y/N] " << std::flush;
  std::string answer;
  InterruptAtQuestion(true);
  const bool answered = static_cast<bool>(std::getline(io.in, answer));
  InterruptAtQuestion(false);
  if (!answered) {
    io.err << std::endl;
    // Ctrl-C ends the wait as well; it needs no explaining.
    if (io.stopFlag == nullptr || io.stopFlag->load() == 0) io.err << kNoAnswerText << std::endl;
    return MessageAnswer::No;
  }
  return IsYes(answer) ? MessageAnswer::Yes : MessageAnswer::No;
}

void TerminalHost::SetProgressRange(int low_, int high_) {
  low = low_;
  high = high_ > low_ ? high_ : low_ + 1;
}

int TerminalHost::Percent() const {
  const int clamped = std::clamp(position, low, high);
  return (clamped - low) * 100 / (high - low);
}

// The end of the way is shown only when the format is complete: a format
// that fails after its last step (the job then sets 100 too) keeps the
// position it reached.
void TerminalHost::SetProgress(int position_) {
  position = position_;
  endHeld = statusVisible && Percent() == kEndPercent;
  if (!endHeld) ShowPosition();
}

void TerminalHost::ShowPosition() {
  if (!statusVisible || io.quiet || Percent() == lastPrinted) return;
  if (io.errIsTerminal) {
    lastPrinted = Percent();
    DrawBar();
  } else if (lastPrinted < 0 || Percent() / kPlainStep != lastPrinted / kPlainStep || Percent() == 100) {
    // Plain lines (a log, a pipe): one per tenth of the way, and the end.
    lastPrinted = Percent();
    io.err << lastPrinted << "%" << std::endl;
  }
}

void TerminalHost::SetStatus(const std::string& text) {
  status = text;
  if (!statusVisible || io.quiet) return;
  if (io.errIsTerminal) {
    if (barOnScreen) DrawBar();
  } else {
    io.err << text << std::endl;
  }
}

void TerminalHost::ShowStatus(bool visible) {
  statusVisible = visible;
  endHeld = false;
  lastPrinted = -1;
  if (!visible) EndBarLine();
}

void TerminalHost::Sleep(std::uint32_t milliseconds) {
  if (io.sleep) io.sleep(milliseconds);
}

void TerminalHost::DrawBar() {
  const std::string percent = std::to_string(Percent());
  const std::string after =
      " " + std::string(3 - std::min<std::size_t>(3, percent.size()), ' ') + percent + "%  " + status;
  io.err << "\r" << BarLine("", Percent(), after, io.columns, kBarWidth) << std::flush;
  barOnScreen = true;
}

void TerminalHost::EndBarLine() {
  if (!barOnScreen) return;
  io.err << std::endl;
  barOnScreen = false;
}
