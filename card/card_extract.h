// Copying the files of a card's FAT file system into a folder of the host,
// for a card that a camera no longer reads: every file whose sectors can be
// read comes out whole, and a file with unreadable sectors still comes out,
// with zeros in their place, so that a photo with one bad sector is not
// lost. Nothing is written outside the destination folder: each name from
// the card becomes one plain name the host takes, and an existing link on
// the way is refused.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "engine/fat_reader.h"

namespace card {

struct ExtractRequest {
  std::string destination;  // the host folder; made when it is not there (its parent must be)
  // Files or folders of the card to copy, by long or 8.3 names in any case,
  // with '/' or '\' between them ("DCIM/100OLYMP"); none: all of them.
  std::vector<std::string> paths;
  bool replace = false;  // files already there are replaced; else nothing is written when one is there
};

// One file or folder, as it was written.
struct ExtractedItem {
  std::string path;      // on the card
  std::string hostPath;  // where it went
  bool folder = false;
  std::uint32_t size = 0;  // of a file, as its entry says
  bool renamed = false;    // its name was one the host refuses, or was taken: hostPath tells the new one
  FatFileRead read;        // for a file: what could not be read
  std::string error;       // the host's refusal; empty when written
};

struct ExtractReport {
  std::string error;                 // why nothing was written; empty when the copy went ahead
  std::vector<FatDamage> damage;     // folders of the copy that could not be read whole
  std::vector<ExtractedItem> items;  // in the order written
  std::uint32_t files = 0, folders = 0;
  std::uint64_t bytes = 0;
};

// Copies the chosen files and folders (all of them when none is named).
// `told` hears of each item as soon as it is written.
ExtractReport ExtractFiles(const FatReader& reader, const ExtractRequest& request,
                           const std::function<void(const ExtractedItem&)>& told = {});

}  // namespace card
