// The start of the dialog's worker thread: the one call of a job that the
// system may refuse. Tests stand in a starter that refuses, or that holds a
// thread after its job.
#pragma once

#include <windows.h>

class ThreadStarter {
 public:
  using Routine = unsigned(__stdcall*)(void*);
  virtual ~ThreadStarter() = default;
  // A thread at normal priority with the default stack, running `routine`;
  // its handle, or null when the system refused to start it.
  virtual HANDLE Start(Routine routine, void* argument) = 0;
};

// The system's thread start (_beginthreadex).
ThreadStarter& SystemThreadStarter();
