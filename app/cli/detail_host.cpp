#include "app/cli/detail_host.h"

#include <ostream>

DetailHost::DetailHost(FormatHost& inner_, std::ostream& err_, std::string detail_)
    : inner(inner_), err(err_), detail(std::move(detail_)) {}

MessageAnswer DetailHost::ShowMessage(const std::string& text, const std::string& caption, MessageStyle style,
                                      MessageOwner owner) {
  if (style.buttons == MessageButtons::YesNo) err << detail << "\n";
  return inner.ShowMessage(text, caption, style, owner);
}
