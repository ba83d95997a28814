// Takes the README's pictures of the Windows program: starts it on a card
// image, goes through a format as an operator would and saves the screen
// around the dialog at each step as a bitmap file.
//
//   dialog_pictures PROGRAM.exe CARD.img OUTDIR
//
// Runs on a desktop of its own, which Wine draws with window frames. Writes
// OUTDIR\confirm.bmp (the question), formatting.bmp (the erase pass under
// way) and complete.bmp; exits with 0 when all are there.
// scripts/screenshots turns them into the PNG files of docs/.
#include <windows.h>

#include <commctrl.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "resources/resource_ids.h"
#include "tests/gui/private_desktop.h"
#include "tests/gui/window_driver.h"

namespace {

constexpr const char* kCaption = "SmartMedia low level format";
constexpr DWORD kSettleMs = 400;  // for the windows to finish drawing before a picture
constexpr int kMargin = 16;       // pixels of desktop around the windows
constexpr int kMidFormatPosition = 25;

bool Fail(const std::string& what) {
  std::fprintf(stderr, "dialog_pictures: %s\n", what.c_str());
  return false;
}

RECT Around(const std::vector<HWND>& windows) {
  RECT all{};
  for (HWND window : windows) {
    RECT rect;
    GetWindowRect(window, &rect);
    UnionRect(&all, &all, &rect);
  }
  InflateRect(&all, kMargin, kMargin);
  RECT screen{0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
  IntersectRect(&all, &all, &screen);
  return all;
}

// The screen's pixels in `area`, as a 24-bit bitmap file.
bool SaveScreen(const RECT& area, const std::string& path) {
  const int width = area.right - area.left;
  const int height = area.bottom - area.top;
  const HDC screen = GetDC(nullptr);
  const HDC memory = CreateCompatibleDC(screen);
  const HBITMAP bitmap = CreateCompatibleBitmap(screen, width, height);
  const HGDIOBJ old = SelectObject(memory, bitmap);
  BitBlt(memory, 0, 0, width, height, screen, area.left, area.top, SRCCOPY);
  SelectObject(memory, old);

  BITMAPINFOHEADER info{};
  info.biSize = sizeof info;
  info.biWidth = width;
  info.biHeight = height;  // bottom-up rows, as the file wants them
  info.biPlanes = 1;
  info.biBitCount = 24;
  info.biCompression = BI_RGB;
  const int stride = (width * 3 + 3) & ~3;
  std::vector<char> pixels(static_cast<std::size_t>(stride) * height);
  const int rows =
      GetDIBits(memory, bitmap, 0, height, pixels.data(), reinterpret_cast<BITMAPINFO*>(&info), DIB_RGB_COLORS);
  DeleteObject(bitmap);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
  if (rows != height) return Fail("cannot read the screen");

  BITMAPFILEHEADER file{};
  file.bfType = 0x4D42;  // "BM"
  file.bfOffBits = sizeof file + sizeof info;
  file.bfSize = file.bfOffBits + static_cast<DWORD>(pixels.size());
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(&file), sizeof file);
  out.write(reinterpret_cast<const char*>(&info), sizeof info);
  out.write(pixels.data(), static_cast<std::streamsize>(pixels.size()));
  return out.good() ? true : Fail("cannot write " + path);
}

bool Picture(const std::vector<HWND>& windows, const std::string& path) {
  for (HWND window : windows) RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
  Sleep(kSettleMs);
  return SaveScreen(Around(windows), path);
}

bool TakePictures(const std::string& program, const std::string& card, const std::string& folder) {
  std::string commandLine = "\"" + program + "\" --simulate \"" + card + "\"";
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
    return Fail("cannot start " + program);
  }
  const DWORD id = process.dwProcessId;
  bool ok = false;
  do {
    const HWND dialog = gui::WaitForTopLevel(gui::kDialogClass, kCaption, id);
    if (dialog == nullptr) {
      Fail("no dialog");
      break;
    }

    gui::Click(dialog, IDC_FORMAT);
    const gui::MessageBoxView question = gui::WaitForMessageBox("Warning", id);
    if (question.window == nullptr) {
      Fail("no question");
      break;
    }
    if (!Picture({dialog, question.window}, folder + "\\confirm.bmp")) break;
    gui::Answer(question, IDYES);

    const HWND progress = GetDlgItem(dialog, IDC_PROGRESS);
    if (!gui::WaitUntil([&] { return SendMessageA(progress, PBM_GETPOS, 0, 0) >= kMidFormatPosition; })) {
      Fail("the format does not get going");
      break;
    }
    if (!Picture({dialog}, folder + "\\formatting.bmp")) break;

    const gui::MessageBoxView done = gui::WaitForMessageBox("Information", id, 120000);
    if (done.window == nullptr) {
      Fail("no \"Format Complete!\"");
      break;
    }
    if (!Picture({dialog, done.window}, folder + "\\complete.bmp")) break;
    gui::Answer(done, IDOK);
    gui::WaitUntil([&] { return IsWindowEnabled(GetDlgItem(dialog, IDC_FORMAT)) != FALSE; });
    gui::Click(dialog, IDC_CLOSE_STOP);
    ok = WaitForSingleObject(process.hProcess, gui::kDeadlineMs) == WAIT_OBJECT_0;
    if (!ok) Fail("the program does not close");
  } while (false);
  if (WaitForSingleObject(process.hProcess, 0) != WAIT_OBJECT_0) TerminateProcess(process.hProcess, 1);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: dialog_pictures PROGRAM.exe CARD.img OUTDIR\n");
    return 2;
  }
  if (const auto status = RelaunchOnPrivateDesktop("smformat-pictures-")) return *status;
  return TakePictures(argv[1], argv[2], argv[3]) ? 0 : 1;
}
