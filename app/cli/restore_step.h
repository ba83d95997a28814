// smformat --restore DUMP: the dump opened and judged before anything is
// erased, announced before the question, and its file system put back onto
// the card once the format has completed (see sim/card_restore.h).
#pragma once

#include <memory>
#include <string>

#include "app/cli/cli_context.h"
#include "card/card_restore.h"
#include "card/card_tools.h"

class CReaderDevice;

class RestoreStep {
 public:
  // Opens DUMP, a card image with its sidecar, for the card the reader
  // reports; Refusal() says why it cannot go back onto it.
  RestoreStep(const std::string& dumpPath, const MediaGeometry& card, CliContext& context);
  RestoreStep(const RestoreStep&) = delete;
  RestoreStep& operator=(const RestoreStep&) = delete;

  const std::string& Refusal() const { return refusal; }
  // What goes back, and what of it cannot: lines before the question.
  void Announce(const std::string& intro);
  // Puts the files back onto the card a format has just completed; the exit status.
  int Run(CReaderDevice& reader, FormatHost& host);

 private:
  std::string path;
  CliContext& context;
  card::CardAndPlan dump;
  std::unique_ptr<card::ImagePages> pages;
  std::unique_ptr<card::RestorePlan> plan;
  std::string refusal;
};
