// Runs a test program on a desktop of its own, so that its windows live
// apart from those of any other program in the same Wine session (another
// test run looking for a dialog with the same caption, say), and so that the
// desktop's windows are drawn on the display this run was given.
#pragma once

#include <optional>
#include <string>

// On the desktop whose name starts with `prefix`: nothing (empty). Anywhere
// else: creates a fresh desktop named `prefix` + the process id, starts this
// program again on it with the same command line, waits for it and returns
// its exit status.
std::optional<int> RelaunchOnPrivateDesktop(const std::string& prefix);
