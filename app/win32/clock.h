// The dialog's clock: every pause of the job (the companion tool's, the
// engine's and the backends') goes through here, so that tests can run the
// dialog on a virtual clock.
#pragma once

#include <cstdint>

class Clock {
 public:
  virtual ~Clock() = default;
  virtual void Sleep(std::uint32_t milliseconds) = 0;
};

// The system's clock (Sleep).
Clock& SystemClock();
