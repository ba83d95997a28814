// Putting a card's files back after a format: the file system of a dump
// (its logical sectors in use: the boot sector and reserved area, both
// FATs, the root directory and the clusters the FAT gives out) written onto
// the freshly formatted card as a SmartMedia host writes it. Each logical
// block goes into a free block of its zone, every page with its ECC and the
// block address, and is read back page by page; the block that held the
// logical block before (the format's own file system) is erased only then.
// The reader is then told that the card changed, so that it builds its map
// anew, and what a logical read reaches (sectors below 65536) is read back
// through it as well. Nothing counts as restored that did not read back
// right.
//
// Only a dump of the SmartMedia layout of the card's own capacity is taken:
// its MBR and boot sector are those the format writes, and its FAT volume
// lies where the card's does. A sector the dump could not give (a page it
// could not read, or one whose ECC cannot mend it) is not written as data:
// a FAT sector is taken from the other FAT when that one could be read; a
// sector of the root directory becomes deleted entries, so that the entries
// after it still show; any other keeps what the format left there (zeros in
// the FATs, FF bytes in the data area).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "card/logical_map.h"
#include "card/page_source.h"
#include "engine/fat_volume.h"
#include "engine/format_host.h"

class CReaderDevice;

namespace card {

// A run of logical sectors: [first, first + count).
struct SectorRun {
  std::uint64_t first = 0;
  std::uint64_t count = 0;
};

class RestorePlan {
 public:
  // Reads the dump (its pages, which must stay readable while the plan is
  // used) for a card of capacity key `capacityKey`. `dumpName` names it in
  // the refusal.
  RestorePlan(PageSource& dump, std::uint32_t capacityKey, const std::string& dumpName);

  // Why the dump cannot go back onto the card; empty when it can.
  const std::string& Refusal() const { return refusal; }
  // What the dump holds: its files, folders and bytes in use.
  const VolumeSurvey& Volume() const { return survey; }
  const std::vector<SectorRun>& Runs() const { return runs; }
  std::uint64_t Sectors() const;
  // Sectors of the first FAT the dump could read only in the second, or the other way round.
  const std::vector<std::uint64_t>& FromOtherFat() const { return fromOtherFat; }
  // Sectors the dump could not give at all, those of the root directory apart.
  const std::vector<std::uint64_t>& Lost() const { return lost; }
  const std::vector<std::uint64_t>& LostInRoot() const { return lostInRoot; }
  // What goes into a sector of the runs; none when it is not written as data.
  std::optional<SectorBuffer> Content(std::uint64_t sector) const;
  // For the operator: "12 files and 1 folder in the root directory, 11.5 MB in use; 23016 sectors", and
  // what happens to the sectors the dump could not give.
  std::vector<std::string> Describe() const;

 private:
  void FindSectorsInUse();
  SectorRead Read(std::uint64_t sector) const { return ReadSector(dump, map, sector); }
  std::optional<std::uint64_t> OtherFat(std::uint64_t sector) const;

  PageSource& dump;
  LogicalMap map;
  std::string refusal;
  VolumeSurvey survey;
  std::vector<SectorRun> runs;
  std::vector<std::uint64_t> fromOtherFat;
  std::vector<std::uint64_t> lost;
  std::vector<std::uint64_t> lostInRoot;
};

struct RestoreResult {
  std::string error;  // empty when every block went back and read back right
  bool stopped = false;
  std::uint32_t blocksWritten = 0;
  std::uint64_t sectorsWritten = 0;         // of the dump's
  std::uint64_t readBackThroughReader = 0;  // of those, read back through the reader's logical read too
};

// Writes the plan onto the card in `reader`, which a format has just given
// the SmartMedia layout. `host` takes the pause after the format-end
// command; `watch` is told of the blocks written and may stop between two.
RestoreResult RestoreCard(CReaderDevice& reader, const RestorePlan& plan, FormatHost& host, const PassWatch& watch);

}  // namespace card
