// A copy of a whole card: every page with its redundant area, read through a
// PageSource, written as a card image (pages of 528 bytes in physical order,
// unit after unit), so that smcard and smformat --simulate take it as a
// card. Pages that cannot be read hold FF bytes and are listed in the
// image's fault sidecar as unreadable-page lines, with the write-protect tab
// when it is set: a simulated reader then meets what the reader met.
//
// A dump is written under a partial name beside its path, with a map of
// what it has read so far: the card's geometry, the pages read (whole
// blocks, in physical order), those that could not be read and the
// write-protect tab. A dump that stops (Ctrl-C, a card pulled out, a full
// disk) keeps both, and the next dump to the same path continues after the
// last whole block, once a few of the pages already copied read the same
// from the card in the reader: it is the same card. Only a complete dump
// takes the path's name.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "card/fault_plan.h"
#include "card/page_source.h"

namespace card {

// Where the partial dump of `path` and its map wait.
std::string PartialDumpPath(const std::string& path);
std::string PartialDumpMapPath(const std::string& path);

// Why `path` cannot take a dump, or empty: it exists (or its sidecar does)
// and `replace` is not given, it is not a regular file, or a file that is
// no partial dump of ours sits under the partial name.
std::string DumpTargetRefusal(const std::string& path, bool replace);

struct DumpOptions {
  // Replace the path and its sidecar, and a partial dump of another card.
  bool replace = false;
  // Told, before the pass, that a partial dump goes on after `pagesRead` pages.
  std::function<void(std::uint64_t pagesRead, std::uint64_t total)> resuming = {};
};

struct DumpResult {
  std::string error;  // why there is no dump at the path; empty when it was written
  PassEnd end = PassEnd::Complete;
  FaultPlan sidecar;            // what the dump's sidecar says
  std::uint64_t pages = 0;      // pages in the dump
  std::uint64_t resumedAt = 0;  // pages an earlier dump had read: this one went on from there
  bool partialKept = false;     // the dump stopped: what it read waits under the partial name
};

// Writes the dump and renames it (and its sidecar) into place only when
// every page was read: a dump that fails or is stopped leaves nothing under
// `path`, and whatever was there as it was. An old sidecar of `path` goes
// when the new dump needs none.
DumpResult DumpCard(PageSource& pages, const std::string& path, const PassWatch& watch = {},
                    const DumpOptions& options = {});

}  // namespace card
