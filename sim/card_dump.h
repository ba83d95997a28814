// A copy of a whole card: every page with its redundant area, read through a
// PageSource, written as a card image (pages of 528 bytes in physical order,
// unit after unit), so that smcard and smformat --simulate take it as a
// card. Pages that cannot be read hold FF bytes and are listed in the
// image's fault sidecar as unreadable-page lines, with the write-protect tab
// when it is set: a simulated reader then meets what the reader met.
#pragma once

#include <string>
#include <vector>

#include "sim/fault_plan.h"
#include "sim/page_source.h"

namespace sim {

// Why `path` cannot take a dump, or empty: it exists (or its sidecar does)
// and `replace` is not given, or it is not a regular file.
std::string DumpTargetRefusal(const std::string& path, bool replace);

struct DumpResult {
  std::string error;  // why there is no dump at the path; empty when it was written
  PassEnd end = PassEnd::Complete;
  FaultPlan sidecar;  // what the dump's sidecar says
  std::uint64_t pages = 0;
};

// Writes the dump under a temporary name beside `path` and renames it (and
// its sidecar) into place only when every page was read: a dump that fails
// or is stopped leaves nothing under `path`, and whatever was there as it
// was. An old sidecar of `path` goes when the new dump needs none.
DumpResult DumpCard(PageSource& pages, const std::string& path, const PassWatch& watch = {});

}  // namespace sim
