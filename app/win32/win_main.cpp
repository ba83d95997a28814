// Entry point of the Windows program.
#include <windows.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "app/win32/format_app.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  const std::vector<std::string> args(__argv + 1, __argv + __argc);
  return CFormatApp(instance).Run(args);
}
