// Every number and text the Windows program shows to the outside, written out
// here and not taken from the program's own constants, so that a wrong
// constant in the program fails the tests instead of passing with them.
#pragma once

#include <windows.h>

#include <vector>

#include "tests/gui/window_driver.h"

namespace facts {

constexpr int kDialogTemplate = 131, kIconGroup = 130, kDeviceListString = 102;  // resources
constexpr const char* kDialogCaption = "SmartMedia low level format";
constexpr int kCloseStopButton = 1014, kProgressBar = 1005, kFormatButton = 1007, kStatusText = 1019;
constexpr UINT kSetProgress = WM_USER + 1;  // wParam: the position
constexpr UINT kSetStatus = WM_USER + 2;    // lParam: the text
// The companion password tool's window; it gets WM_COMMAND, wParam 1, lParam 0.
constexpr const char* kCompanionTitle = "Vantrel Password Tool";

struct Box {
  const char* caption;
  const char* text;
  std::vector<int> buttons;
  gui::BoxIcon icon;
};

const Box kDeviceNotFound{"Information", "Device not found", {IDOK}, gui::BoxIcon::Error};
const Box kWriteProtected{
    "Error", "The disk cannot be formatted!\nThe switched is in write protect mode.\n", {IDOK}, gui::BoxIcon::Error};
const Box kConfirm{
    "Warning", "Format disk will erase all data on the device. Continue?", {IDYES, IDNO}, gui::BoxIcon::Warning};
const Box kComplete{"Information", "Format Complete!", {IDOK}, gui::BoxIcon::Information};
const Box kVolumeBusy{"Warning",  // for the simulated reader's drive S
                      "Another program is using drive S:, so it cannot be locked for the format. Format anyway?",
                      {IDYES, IDNO},
                      gui::BoxIcon::Warning};
const Box kReaderGone{"Error",
                      "The reader was unplugged during the format. Plug it in again and format the card again.",
                      {IDOK},
                      gui::BoxIcon::Error};
const Box kNoThread{
    "Error", "The format could not be started: the system refused to start its thread.", {IDOK}, gui::BoxIcon::Error};

}  // namespace facts
