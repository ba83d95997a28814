// The process's console: whether stderr is a terminal, and Ctrl-C.
#pragma once

#include <atomic>

bool StderrIsTerminal();

// The width of the terminal on stderr in columns; 0 when it cannot tell.
int StderrColumns();

// The first Ctrl-C raises `stopFlag` and says so on stderr; a second one ends
// the process as usual.
void StopOnInterrupt(std::atomic<int>& stopFlag);

// While a question waits for its answer nothing has started: Ctrl-C then
// only ends the question's line (it is answered No) and promises no stop.
void InterruptAtQuestion(bool asking);
