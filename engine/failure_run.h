// Counts the reader commands that failed in a row, to tell a card that has
// stopped answering from one with a few bad spots.
//
// On a card that is present, failures come singly: a page that cannot be
// read or a block that cannot be erased, each followed by a command that
// works (the mark that retires the block, the next block's read). At worst a
// block whose read and mark both fail gives two in a row, and a SmartMedia
// zone holds at most 24 blocks it cannot use (1000 of every 1024 must work),
// which are scattered, not packed together. Thirty-two failures in a row -
// sixteen blocks or more on which not one command worked - therefore mean
// that the card is gone or dead; and since the backends pause 1000 ms after
// every failed command, giving up there costs half a minute instead of an
// hour on a large card.
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
