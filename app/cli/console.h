// The process's console: whether stderr is a terminal, and Ctrl-C.
#pragma once

#include <atomic>

bool StderrIsTerminal();

// The first Ctrl-C raises `stopFlag` and says so on stderr; a second one ends
// the process as usual.
void StopOnInterrupt(std::atomic<int>& stopFlag);
