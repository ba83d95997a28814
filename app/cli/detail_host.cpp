#include "app/cli/detail_host.h"

#include <ostream>

DetailHost::DetailHost(FormatHost& inner_, std::ostream& err_, std::string detail_, std::function<void()> onYes_,
                       std::function<std::string()> late_)
    : inner(inner_), err(err_), detail(std::move(detail_)), onYes(std::move(onYes_)), late(std::move(late_)) {}

MessageAnswer DetailHost::ShowMessage(const std::string& text, const std::string& caption, MessageStyle style,
                                      MessageOwner owner) {
  if (style.buttons != MessageButtons::YesNo) return inner.ShowMessage(text, caption, style, owner);
  if (!detail.empty()) err << detail << "\n";
  // The late line belongs to the first question, the format's own.
  if (late) {
    const std::string line = late();
    late = nullptr;
    if (!line.empty()) err << line << "\n";
  }
  const MessageAnswer answer = inner.ShowMessage(text, caption, style, owner);
  if (answer == MessageAnswer::Yes && onYes) onYes();
  return answer;
}
