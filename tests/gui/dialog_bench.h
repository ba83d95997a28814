// A fixture: a simulated card in a simulated reader, and the live dialog
// around it with a gate, a virtual clock and a recording shell.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "card/card.h"
#include "sim/reader.h"
#include "tests/gui/live_dialog.h"

namespace guitest {

inline card::CreateOptions CardOptions(const char* size, bool withCis = true) {
  card::CreateOptions options;
  options.geometry = *card::StandardGeometry(size);
  options.withCis = withCis;
  return options;
}

class DialogBench : public ::testing::Test {
 protected:
  explicit DialogBench(const card::CreateOptions& options = CardOptions("1M"))
      : card(card::CreateCard(options).card), simReader(*card), factory(simReader, gate, fate, timeline) {}

  LiveDialog& Live() {
    if (!live) live = std::make_unique<LiveDialog>(factory, version, clock, shell);
    return *live;
  }

  Timeline timeline;
  VirtualClock clock{timeline};
  RecordingShell shell{timeline};
  FakeVersionApi version = WindowsXp();
  CommandGate gate;
  ReaderFate fate;
  std::unique_ptr<card::Card> card;
  sim::Reader simReader;
  TestReaderFactory factory;
  std::unique_ptr<LiveDialog> live;  // made on first use, after the test has set the seams up
};

}  // namespace guitest
