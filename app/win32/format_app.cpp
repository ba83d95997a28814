#include "app/win32/format_app.h"

#include <commctrl.h>

#include "app/cli/arguments.h"
#include "app/cli/card_options.h"
#include "app/win32/format_dlg.h"
#include "smformat_version.h"

namespace {

constexpr const char* kUsage =
    "Usage: smformatw [--simulate IMAGE [--geometry G]]\n"
    "       smformatw --version\n"
    "\n"
    "Without options the program formats the SmartMedia card in the USB card reader.\n"
    "--simulate IMAGE formats the simulated card held in the card image IMAGE\n"
    "(made with 'smcard create'); --geometry gives the image's geometry when it is\n"
    "not one of the standard sizes, e.g. 1024x32+1024x32. --version shows the\n"
    "program's version.";

// The progress bar, and with version 6 of the common controls (XP and later)
// the themed standard ones. One call each: the common controls before 6.0
// refuse a call that names the standard classes, 5.82 (XP's unthemed one)
// wholly, which would leave the dialog without its progress bar.
void EnableCommonControls() {
  for (const DWORD classes : {DWORD{ICC_PROGRESS_CLASS}, DWORD{ICC_STANDARD_CLASSES}}) {
    INITCOMMONCONTROLSEX controls{};
    controls.dwSize = sizeof controls;
    controls.dwICC = classes;
    InitCommonControlsEx(&controls);
  }
}

// On standard output where that leads somewhere (a file, a pipe: "smformatw
// --version > version.txt"), else in a message box.
void ShowVersion() {
  const char* const text = "smformatw " SMFORMAT_VERSION_STRING;
  const std::string line = std::string(text) + "\r\n";
  const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD written = 0;
  if (out != nullptr && out != INVALID_HANDLE_VALUE &&
      WriteFile(out, line.data(), static_cast<DWORD>(line.size()), &written, nullptr) && written == line.size()) {
    return;
  }
  MessageBoxA(nullptr, text, "smformatw", MB_OK | MB_ICONINFORMATION);
}

}  // namespace

LaunchPlan PlanFromCommandLine(const std::vector<std::string>& args) {
  LaunchPlan plan;
  const ParsedArgs parsed = ParseArgs(args, {"--simulate", "--geometry"}, {"--version"});
  if (!parsed.error.empty()) {
    plan.error = parsed.error;
  } else if (!parsed.positional.empty()) {
    plan.error = "unexpected argument '" + parsed.positional[0] + "'";
  } else if (parsed.Has("--version")) {
    plan.showVersion = args.size() == 1;
    if (!plan.showVersion) plan.error = "--version takes no other option";
  } else if (const auto image = parsed.Value("--simulate")) {
    std::optional<card::CardGeometry> geometry;
    if (const auto text = parsed.Value("--geometry")) {
      geometry = ParseGeometry(*text, plan.error);
      if (!geometry) return plan;
    }
    plan.readers = std::make_unique<SimulatedReaderFactory>(*image, geometry);
  } else if (parsed.Value("--geometry")) {
    plan.error = "--geometry needs --simulate";
  } else {
    plan.readers = std::make_unique<HardwareReaderFactory>();
  }
  return plan;
}

CFormatApp::CFormatApp(HINSTANCE instance_) : instance(instance_) {}

int CFormatApp::Run(const std::vector<std::string>& args) {
  EnableCommonControls();
  const LaunchPlan plan = PlanFromCommandLine(args);
  if (plan.showVersion) {
    ShowVersion();
    return kExitClosed;
  }
  if (plan.readers == nullptr) {
    const std::string text = plan.error + "\n\n" + kUsage;
    MessageBoxA(nullptr, text.c_str(), "smformatw", MB_OK | MB_ICONERROR);
    return kExitUsage;
  }
  CFormatDlg dialog(instance, *plan.readers);
  return dialog.DoModal() == CFormatDlg::kNoDevice ? kExitNoDevice : kExitClosed;
}
