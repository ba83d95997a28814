// Counts the reader commands that failed in a row, to tell a card that has
// stopped answering from one with a few bad spots, on a backend that cannot
// say that the card is gone.
//
// The CIS scan reads the first page of each block where hosts look for the
// CIS, and tries a failed read once more. On a card that is present, a
// block that cannot be read gives two failures in a row; thirty-two - sixteen
// blocks on which not one command worked - mean that the card is gone or
// dead; and since the backends pause 1000 ms after every failed command,
// giving up there costs half a minute. The writes of the file system count
// the same way: the layout goes on past a failed write of a zero fill, but
// not past 32 in a row. (The erase pass ends sooner on its own rule: see
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
