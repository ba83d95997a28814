// Reading a FAT12 or FAT16 volume without changing it: the volume that
// sector 0 leads to, its FATs, its folders with their long names, the files
// they list and the clusters that hold them, and which sectors are in use.
//
// Made for damaged cards: a sector that cannot be read is a hole, not the
// end. A sector of the first FAT that cannot be read is taken from the
// second; a directory sector that cannot be read loses its entries and the
// rest of the directory is still read; a file's unreadable sectors come as
// zeros and are named. Nothing the card says is trusted: every cluster
// number is checked against the volume, every chain is followed at most
// once around (a loop ends it), a folder is entered once however many
// entries lead to it, and a length is believed only up to what its chain
// holds.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "engine/fat_volume.h"

// A directory entry's date and time, as the card keeps it (local time, to
// two seconds); `valid` false when the entry holds none or nonsense.
struct FatTimestamp {
  bool valid = false;
  unsigned year = 0;  // 1980 to 2107
  unsigned month = 0, day = 0, hour = 0, minute = 0, second = 0;

  // "2024-05-01 12:30:04", or "-" when not valid.
  std::string Text() const;
};

// A file or folder of the volume.
struct FatItem {
  std::string path;       // from the root, folders joined by '/': "DCIM/100OLYMP/P1010001.JPG"
  std::string name;       // the long name (UTF-8) when one is sound, else the 8.3 name
  std::string shortName;  // the 8.3 name: "P1010001.JPG"
  bool folder = false;
  std::uint32_t size = 0;  // as the entry says; 0 for a folder
  std::uint32_t firstCluster = 0;
  FatTimestamp modified;
};

// Something of the volume that could not be read whole: a folder (its
// path ends in '/'; "" is the root directory) or the FAT.
struct FatDamage {
  std::string path;
  std::string what;  // "sector 205 cannot be read: the entries it held are not listed"
};

struct FatTree {
  std::vector<FatItem> items;  // folders before what they hold, in the order the directories list them
  std::vector<FatDamage> damage;
};

// A run of bytes or of sectors: [first, first + count).
struct FatRun {
  std::uint64_t first = 0;
  std::uint64_t count = 0;
};

// Appends a run to `runs`, joined to the last one when they meet.
void AppendRun(std::vector<FatRun>& runs, std::uint64_t first, std::uint64_t count);

// How the reading of one file went.
struct FatFileRead {
  std::uint64_t bytes = 0;      // handed over: the file's size, or less when the size cannot be true
  std::vector<FatRun> filled;   // byte runs handed over as zeros: they could not be read
  std::vector<FatRun> sectors;  // the logical sectors that could not be read
  std::string problem;          // what is wrong with its cluster chain; empty when sound
  bool stopped = false;         // the taker refused a run (the host could not write it)
  bool Whole() const { return filled.empty() && problem.empty(); }
};

// Takes the next run of a file's bytes; false stops the reading.
using FatByteTaker = std::function<bool(const std::uint8_t* bytes, std::size_t count)>;

class FatReader {
 public:
  // `cardSectors` bounds every sector it reads.
  FatReader(LogicalSectorReader read, std::uint64_t cardSectors);

  // Finds the volume sector 0 leads to and reads its FATs. Returns why the
  // volume cannot be read ("no FAT file system: the card is blank", "a
  // FAT32 file system, which SmartMedia cards never hold"), empty when it
  // can. Only then do the queries below answer.
  std::string Open();

  // What sector 0 holds, where the volume is, and its shape.
  SectorZero SectorZeroKind() const { return sectorZero; }
  std::uint32_t PartitionStart() const { return partitionStart; }
  const std::optional<FatVolume>& Volume() const { return volume; }

  // The root directory's entries (no path prefix) and what of it could not be read.
  FatTree ReadRoot() const;
  // Every file and folder, folders entered depth first.
  FatTree Walk() const;
  // A file's bytes, in order, to `take` (null: only find out what can be read).
  FatFileRead ReadFile(const FatItem& file, const FatByteTaker& take) const;

  // Clusters the FAT gives out (neither free nor marked bad); a cluster
  // whose entry cannot be read in either FAT counts as given out.
  std::uint32_t ClustersInUse() const;
  // Whether every FAT entry could be read (from one FAT or the other).
  bool FatWhole() const;
  // The logical sectors a copy of the volume must carry for its files to
  // be whole: from the volume's boot sector through the end of its root
  // directory (reserved area, FATs, root directory), then each cluster in
  // use as above. In order; adjacent runs joined; none beyond the card.
  // Sector 0 and the hidden sectors before a partition are not included.
  std::vector<FatRun> SectorsInUse() const;

 private:
  struct Chain;
  bool Read(std::uint64_t sector, SectorBuffer& data) const;
  std::string LoadFat();
  std::uint32_t EndCluster() const;  // the first cluster number beyond the volume and its FAT
  std::optional<std::uint32_t> Next(std::uint32_t cluster) const;
  Chain Follow(std::uint32_t first, std::uint64_t mostClusters) const;  // mostClusters >= 1
  std::uint64_t ClusterSector(std::uint32_t cluster) const;
  std::uint32_t ClusterBytes() const;
  FatTree ReadFolder(const FatItem* folder) const;

  LogicalSectorReader read;
  std::uint64_t cardSectors;
  SectorZero sectorZero = SectorZero::Unreadable;
  std::uint32_t partitionStart = 0;
  std::optional<FatVolume> volume;
  std::vector<std::uint8_t> fat;     // the FAT as read, sector by sector from one copy or the other
  std::vector<bool> fatSectorKnown;  // per FAT sector: read from either copy
};
