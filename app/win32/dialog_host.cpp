#include "app/win32/dialog_host.h"

#include "app/win32/dialog_messages.h"
#include "resources/resource_ids.h"

// Every question is one whose Yes changes the card: No is its default button,
// so that Enter or a stray key press keeps the card as it is.
UINT MessageBoxFlags(MessageStyle style) {
  UINT flags = style.buttons == MessageButtons::YesNo ? MB_YESNO | MB_DEFBUTTON2 : MB_OK;
  switch (style.icon) {
    case MessageIcon::Error:
      flags |= MB_ICONERROR;
      break;
    case MessageIcon::Warning:
      flags |= MB_ICONWARNING;
      break;
    case MessageIcon::Information:
      flags |= MB_ICONINFORMATION;
      break;
    case MessageIcon::None:
      break;
  }
  return flags;
}

DialogHost::DialogHost(HINSTANCE instance_, Clock& clock_) : instance(instance_), clock(clock_) {}

MessageAnswer DialogHost::ShowMessage(const std::string& text, const std::string& caption, MessageStyle style,
                                      MessageOwner owner) {
  const HWND ownerWindow = owner == MessageOwner::Dialog ? window : nullptr;
  switch (MessageBoxA(ownerWindow, text.c_str(), caption.c_str(), MessageBoxFlags(style))) {
    case IDYES:
      return MessageAnswer::Yes;
    case IDNO:
      return MessageAnswer::No;
    default:
      return MessageAnswer::Ok;
  }
}

void DialogHost::SetProgressRange(int low, int high) {
  SendMessageA(window, kSetProgressRangeMessage, static_cast<WPARAM>(low), static_cast<LPARAM>(high));
}

void DialogHost::SetProgress(int position) {
  SendMessageA(window, kSetProgressMessage, static_cast<WPARAM>(position), 0);
}

void DialogHost::SetStatus(const std::string& text) {
  SendMessageA(window, kSetStatusMessage, 0, reinterpret_cast<LPARAM>(text.c_str()));
}

void DialogHost::ShowStatus(bool visible) { SendMessageA(window, kShowStatusMessage, visible ? 1 : 0, 0); }

void DialogHost::Sleep(std::uint32_t milliseconds) { clock.Sleep(milliseconds); }

std::string DialogHost::DeviceIdListText() const {
  char buffer[kDeviceIdListBufferSize] = {};
  const int length = LoadStringA(instance, IDS_DEVICE_ID_LIST, buffer, kDeviceIdListBufferSize);
  return std::string(buffer, length > 0 ? static_cast<std::size_t>(length) : 0);
}
