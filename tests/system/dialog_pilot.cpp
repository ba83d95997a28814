// Drives the Windows program through one whole format, as an operator does,
// on whatever reader it finds: Format, Yes to every question, OK to every
// other box, then Close.
//
//   dialog_pilot PROGRAM.exe
//
// Prints each box it answers as "Caption: text" and exits with 0 when the
// job ended with "Format Complete!". Its waits are long and its looks
// sparse: it runs beside the format on a slow machine.
#include <windows.h>

#include <cstdio>
#include <string>

#include "resources/resource_ids.h"
#include "tests/gui/window_driver.h"

namespace {

constexpr const char* kCaption = "SmartMedia low level format";
constexpr const char* kBoxCaptions[] = {"Warning", "Question", "Information", "Error"};
constexpr DWORD kStartMs = 180000;  // the program's search of C: to Z:
constexpr DWORD kJobMs = 600000;
constexpr DWORD kLookMs = 100;

template <typename Condition>
bool Await(DWORD deadlineMs, const Condition& condition) {
  for (DWORD waited = 0; !condition(); waited += kLookMs) {
    if (waited >= deadlineMs) return false;
    Sleep(kLookMs);
  }
  return true;
}

// The caption of a box of the program that is up, or null.
const char* BoxUp(DWORD id) {
  for (const char* caption : kBoxCaptions) {
    if (gui::FindTopLevel(gui::kDialogClass, caption, id) != nullptr) return caption;
  }
  return nullptr;
}

// Prints the box and answers it: Yes to a question, OK to the rest. Its text.
std::string Answer(const char* caption, DWORD id) {
  const gui::MessageBoxView box = gui::WaitForMessageBox(caption, id);
  std::printf("%s: %s\n", box.caption.c_str(), box.text.c_str());
  std::fflush(stdout);
  gui::Answer(box, box.buttons.size() > 1 ? IDYES : IDOK);
  return box.text;
}

// Answers the boxes of the job until the dialog is idle again; true when
// one of them said the format is complete.
bool RunJob(HWND dialog, DWORD id) {
  bool complete = false;
  for (;;) {
    const char* caption = nullptr;
    if (!Await(kJobMs,
               [&] { return (caption = BoxUp(id)) != nullptr || IsWindowEnabled(GetDlgItem(dialog, IDC_FORMAT)); })) {
      std::fprintf(stderr, "dialog_pilot: the job does not end\n");
      return false;
    }
    if (caption == nullptr) return complete;
    complete |= Answer(caption, id) == "Format Complete!";
  }
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
  bool complete = false;
  HWND dialog = nullptr;
  const char* caption = nullptr;
  Await(kStartMs, [&] {
    dialog = gui::FindTopLevel(gui::kDialogClass, kCaption, id);
    return dialog != nullptr || (caption = BoxUp(id)) != nullptr;
  });
  if (dialog != nullptr) {
    gui::Click(dialog, IDC_FORMAT);
    complete = RunJob(dialog, id);
    gui::Click(dialog, IDC_CLOSE_STOP);
  } else if (caption != nullptr) {
    Answer(caption, id);  // the program found no reader, or more than one
  } else {
    std::fprintf(stderr, "dialog_pilot: no dialog\n");
  }
  if (WaitForSingleObject(process.hProcess, gui::kDeadlineMs) != WAIT_OBJECT_0) {
    std::fprintf(stderr, "dialog_pilot: the program does not close\n");
    TerminateProcess(process.hProcess, 1);
    complete = false;
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return complete ? 0 : 1;
}
