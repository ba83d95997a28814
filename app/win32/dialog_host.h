// The FormatHost of the dialog: message boxes owned by the dialog or by no
// window, as the caller asks; progress and status through the dialog's own
// messages, so that a worker thread never touches a control; pauses through
// the dialog's clock; the supported-device list from string resource 102.
#pragma once

#include <windows.h>

#include "app/win32/clock.h"
#include "engine/format_host.h"

class DialogHost : public FormatHost {
 public:
  static constexpr int kDeviceIdListBufferSize = 1000;

  DialogHost(HINSTANCE instance, Clock& clock);

  // The dialog window, once it exists.
  void Attach(HWND dialog) { window = dialog; }

  MessageAnswer ShowMessage(const std::string& text, const std::string& caption, MessageStyle style,
                            MessageOwner owner) override;
  void SetProgressRange(int low, int high) override;
  void SetProgress(int position) override;
  void SetStatus(const std::string& text) override;
  void ShowStatus(bool visible) override;
  void Sleep(std::uint32_t milliseconds) override;
  std::string DeviceIdListText() const override;

 private:
  HINSTANCE instance;
  Clock& clock;
  HWND window = nullptr;
};

// MessageBoxA's flags for a style.
UINT MessageBoxFlags(MessageStyle style);
