// The application object: reads the command line, runs the main dialog
// modally, and ends the process when the dialog closes.
//
//   smformatw                                   the card in the reader
//   smformatw --simulate IMAGE [--geometry G]   the simulated card of a card
//                                               image file (as made by smcard)
//   smformatw --version                         the program's version (on
//                                               standard output, or in a box)
#pragma once

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "app/win32/reader_factory.h"

// Exit statuses of the program.
constexpr int kExitClosed = 0;    // the dialog was closed
constexpr int kExitNoDevice = 1;  // no reader (or no card image) was found
constexpr int kExitUsage = 2;     // the command line was wrong

// The reader factory a command line asks for, the version to show, or an
// explanation of what is wrong with it.
struct LaunchPlan {
  std::unique_ptr<ReaderFactory> readers;
  bool showVersion = false;
  std::string error;
};
LaunchPlan PlanFromCommandLine(const std::vector<std::string>& args);

class CFormatApp {
 public:
  explicit CFormatApp(HINSTANCE instance);
  // `args` without the program's name. Returns the exit status.
  int Run(const std::vector<std::string>& args);

 private:
  HINSTANCE instance;
};
