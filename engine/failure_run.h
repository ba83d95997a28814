// Counts the reader commands that failed in a row, to tell a card that has
// stopped answering from one with a few bad spots, on a backend that cannot
// say that the card is gone.
//
// The writes of the file system go on past a failed write of a zero fill,
// but not past 32 in a row: since the backends pause 1000 ms after every
// failed command, giving up there costs half a minute. (The CIS scan and
// the erase pass judge failures against a control instead: see
// RetirementRule.)
#pragma once

#include <cstdint>

class FailureRun {
 public:
  static constexpr std::uint32_t kCardGone = 32;

  // Notes the result of one command and passes it on.
  int Note(int result) {
    length = result ? 0 : length + 1;
    return result;
  }
  bool CardGone() const { return length >= kCardGone; }
  std::uint32_t Length() const { return length; }

 private:
  std::uint32_t length = 0;
};
