// What the engine, the reader backends and the format job need from their
// surroundings: the operator (message boxes, progress bar, status line) and
// the clock. The Windows dialog, the command-line tool and the tests each
// provide one implementation; nothing in the engine talks to a window or
// sleeps on its own.
#pragma once

#include <cstdint>
#include <string>

enum class MessageButtons : std::uint8_t { Ok, YesNo };
enum class MessageIcon : std::uint8_t { None, Error, Warning, Information };

// Whether a message box belongs to the dialog (and so disables it while open)
// or is shown with no owner window.
enum class MessageOwner : std::uint8_t { Dialog, None };

// The button the operator pressed to dismiss a message box.
enum class MessageAnswer : std::uint8_t { Ok, Yes, No };

struct MessageStyle {
  MessageButtons buttons = MessageButtons::Ok;
  MessageIcon icon = MessageIcon::None;
};

class FormatHost {
 public:
  virtual ~FormatHost() = default;

  // Shows a modal message box and returns when the operator dismisses it.
  virtual MessageAnswer ShowMessage(const std::string& text, const std::string& caption, MessageStyle style,
                                    MessageOwner owner) = 0;

  virtual void SetProgressRange(int low, int high) = 0;
  virtual void SetProgress(int position) = 0;
  virtual void SetStatus(const std::string& text) = 0;
  virtual void ShowStatus(bool visible) = 0;

  // Every pause of the engine and the backends goes through here, so that
  // tests can run on a virtual clock.
  virtual void Sleep(std::uint32_t milliseconds) = 0;

  // Text of the supported-device identifier list. On Windows the dialog's host
  // returns string resource 102; elsewhere the list compiled into the engine.
  virtual std::string DeviceIdListText() const;
};
