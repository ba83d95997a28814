#include "app/cli/terminal_host.h"

#include <algorithm>
#include <cctype>
#include <istream>
#include <ostream>

#include "app/cli/real_readers.h"

namespace {

constexpr int kBarWidth = 40;
constexpr int kPlainStep = 10;  // percent between two plain progress lines

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

TerminalHost::TerminalHost(TerminalIo io_, bool assumeYes_) : io(std::move(io_)), assumeYes(assumeYes_) {}

TerminalHost::~TerminalHost() { EndBarLine(); }

MessageAnswer TerminalHost::ShowMessage(const std::string& text, const std::string& caption, MessageStyle style,
                                        MessageOwner /*owner*/) {
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
  if (!std::getline(io.in, answer)) {
    io.err << std::endl;
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

void TerminalHost::SetProgress(int position_) {
  position = position_;
  if (!statusVisible || Percent() == lastPrinted) return;
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
  if (!statusVisible) return;
  if (io.errIsTerminal) {
    if (barOnScreen) DrawBar();
  } else {
    io.err << text << std::endl;
  }
}

void TerminalHost::ShowStatus(bool visible) {
  statusVisible = visible;
  lastPrinted = -1;
  if (!visible) EndBarLine();
}

void TerminalHost::Sleep(std::uint32_t milliseconds) {
  if (io.sleep) io.sleep(milliseconds);
}

void TerminalHost::DrawBar() {
  const int filled = Percent() * kBarWidth / 100;
  io.err << "\r[" << std::string(filled, '#') << std::string(kBarWidth - filled, '.') << "] ";
  const std::string percent = std::to_string(Percent());
  io.err << std::string(3 - std::min<std::size_t>(3, percent.size()), ' ') << percent << "%  " << status << "\x1b[K"
         << std::flush;
  barOnScreen = true;
}

void TerminalHost::EndBarLine() {
  if (!barOnScreen) return;
  io.err << std::endl;
  barOnScreen = false;
}
