// Drives the Windows program through one whole format on whatever reader it
// finds, as an operator does: Format, Yes to every question, OK to every
// other box, then Close. Prints each box as "Caption: text"; exits with 0
// when one said "Format Complete!". It looks at the windows every 100 ms
// only: it runs beside the format on a slow machine.
//
//   dialog_pilot PROGRAM.exe
#include <windows.h>

#include <cstdio>
#include <string>

#include "resources/resource_ids.h"
#include "tests/gui/window_driver.h"

namespace {

constexpr const char* kBoxCaptions[] = {"Warning", "Question", "Information", "Error"};
constexpr DWORD kLookMs = 100;
constexpr int kLooks = 6000;  // ten minutes

// Answers every box of the program until `done` holds; false when it never does.
template <typename Done>
bool AnswerBoxesUntil(DWORD id, bool& complete, const Done& done) {
  for (int look = 0; look < kLooks; ++look, Sleep(kLookMs)) {
    for (const char* caption : kBoxCaptions) {
      if (gui::FindTopLevel(gui::kDialogClass, caption, id) == nullptr) continue;
      const gui::MessageBoxView box = gui::WaitForMessageBox(caption, id);
      std::printf("%s: %s\n", caption, box.text.c_str());
      std::fflush(stdout);
      complete |= box.text == "Format Complete!";
      gui::Answer(box, box.buttons.size() > 1 ? IDYES : IDOK);
    }
    if (done()) return true;
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: dialog_pilot PROGRAM.exe\n");
    return 2;
  }
  std::string commandLine = std::string("\"") + argv[1] + "\"";
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
    std::fprintf(stderr, "dialog_pilot: cannot start %s\n", argv[1]);
    return 1;
  }
  const DWORD id = process.dwProcessId;
  const auto exited = [&] { return WaitForSingleObject(process.hProcess, 0) == WAIT_OBJECT_0; };
  bool complete = false;
  HWND dialog = nullptr;
  // The dialog shows after the program's search of C: to Z:; without a
  // reader a box says so instead and the program ends.
  AnswerBoxesUntil(id, complete, [&] {
    dialog = gui::FindTopLevel(gui::kDialogClass, "SmartMedia low level format", id);
    return dialog != nullptr || exited();
  });
  if (dialog != nullptr) {
    gui::Click(dialog, IDC_FORMAT);  // disables Format until the job has ended
    AnswerBoxesUntil(id, complete, [&] { return IsWindowEnabled(GetDlgItem(dialog, IDC_FORMAT)) != FALSE; });
    gui::Click(dialog, IDC_CLOSE_STOP);
  }
  if (!AnswerBoxesUntil(id, complete, exited)) {
    std::fprintf(stderr, "dialog_pilot: the program does not end\n");
    TerminateProcess(process.hProcess, 1);
    complete = false;
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return complete ? 0 : 1;
}
