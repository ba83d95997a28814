#include "card/card_dump.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "card/card_files.h"
#include "card/page_ecc.h"
#include "card/page_format.h"
#include "engine/zone_layout.h"

namespace card {

namespace {

constexpr const char* kPartialSuffix = ".part";
constexpr const char* kMapSuffix = ".map";
constexpr std::size_t kMostMapBytes = 16 << 20;  // a map lists at most every page of a 4 GiB image, and less
constexpr std::uint32_t kMapEveryBlocks = 16;    // the map is brought up to date after so many blocks
constexpr std::uint32_t kSamplePages = 16;       // pages read again to tell the card
constexpr long kLongestSeek = 1L << 30;          // a seek of std::fseek's reach on every system

std::string WriteFailure(const std::string& path) {
  return path + ": cannot write the dump: " + (errno != 0 ? SystemText(errno) : "the system gave no reason");
}

// --- The map of a partial dump ---------------------------------------------------------

struct DumpMap {
  CardGeometry geometry;
  std::uint64_t pagesRead = 0;  // whole blocks, from the card's first page in physical order
  FaultPlan faults;             // the pages that could not be read, and the write-protect tab
};

std::string GeometryWords(const CardGeometry& geometry) {
  std::string words;
  for (const UnitGeometry& unit : geometry.units) {
    words += (words.empty() ? "" : "+") + std::to_string(unit.blocks) + "x" + std::to_string(unit.pagesPerBlock);
  }
  return words;
}

std::string MapText(const DumpMap& map) {
  return "# smformat: the pages of a card dumped so far; a dump to the same file with the same card goes on from here\n"
         "geometry " +
         GeometryWords(map.geometry) + "\npages-read " + std::to_string(map.pagesRead) + "\n" +
         FormatFaultPlan(map.faults);
}

bool ParseGeometryWords(const std::string& words, CardGeometry& geometry) {
  std::istringstream in(words);
  std::string unit;
  while (std::getline(in, unit, '+')) {
    unsigned long blocks = 0, pages = 0;
    char x = 0;
    std::istringstream part(unit);
    if (!(part >> blocks >> x >> pages) || x != 'x' || !part.eof()) return false;
    geometry.units.push_back({static_cast<std::uint32_t>(blocks), static_cast<std::uint32_t>(pages)});
  }
  return !geometry.units.empty();
}

// Reads the map; empty when it was read, else what is wrong with it.
std::string ReadMap(const std::string& path, DumpMap& map) {
  std::ifstream file(path, std::ios::binary);
  std::string text(kMostMapBytes + 1, '\0');
  if (file) file.read(&text[0], static_cast<std::streamsize>(text.size()));
  if (!file && !file.eof()) return path + ": cannot read it";
  text.resize(static_cast<std::size_t>(file.gcount()));
  std::istringstream lines(text);
  std::string line, rest;
  bool geometry = false, pages = false;
  while (std::getline(lines, line)) {
    std::istringstream words(line);
    std::string key;
    words >> key;
    if (key == "geometry") {
      std::string value;
      geometry = words >> value && ParseGeometryWords(value, map.geometry);
    } else if (key == "pages-read") {
      pages = static_cast<bool>(words >> map.pagesRead);
    } else {
      rest += line + "\n";
    }
  }
  FaultPlanLoad faults = ParseFaultPlan(rest);
  map.faults = std::move(faults.plan);
  if (!geometry || !pages || !faults.error.empty()) return path + ": not a map of a partial dump";
  return "";
}

std::string WriteMap(const std::string& path, const DumpMap& map) {
  const std::string temporary = TemporarySibling(path);
  std::string problem = WriteTextFile(temporary, MapText(map));
  if (problem.empty()) problem = ReplaceFile(temporary, path);
  if (!problem.empty()) RemoveQuietly(temporary);
  return problem;
}

// The blocks the first `pages` pages of the card make, or none when they are no whole blocks.
std::optional<std::uint64_t> WholeBlocks(const CardGeometry& geometry, std::uint64_t pages) {
  std::uint64_t blocks = 0;
  for (const UnitGeometry& unit : geometry.units) {
    const std::uint64_t here = std::min<std::uint64_t>(pages, unit.Pages());
    if (here % unit.pagesPerBlock != 0) return std::nullopt;
    blocks += here / unit.pagesPerBlock;
    pages -= here;
  }
  if (pages != 0) return std::nullopt;
  return blocks;
}

PageRef PageAt(const CardGeometry& geometry, std::uint64_t index) {
  std::uint8_t unit = 0;
  while (index >= geometry.units[unit].Pages()) index -= geometry.units[unit++].Pages();
  return {unit, static_cast<std::uint32_t>(index)};
}

// --- Telling the card -------------------------------------------------------------------

// Whether the card in the reader is the one whose partial dump `file`
// holds: pages already copied are read again, the CIS page and pages spread
// over what was read, and those that held data must read the same.
struct Likeness {
  std::string differs;  // why it is another card; empty when it is the same
  PassEnd end = PassEnd::Complete;
};

std::vector<std::uint64_t> SamplePages(const CardGeometry& geometry, std::uint64_t pagesRead, std::FILE* file) {
  const std::uint64_t blocks = *WholeBlocks(geometry, pagesRead);
  std::vector<std::uint64_t> samples;
  std::uint64_t page = 0;  // the first page of each sampled block, found unit by unit
  for (std::uint32_t k = 0; k < kSamplePages && blocks > 0; ++k) {
    std::uint64_t block = k * blocks / kSamplePages;
    page = 0;
    for (const UnitGeometry& unit : geometry.units) {
      if (block < unit.blocks) {
        page += block * unit.pagesPerBlock;
        break;
      }
      block -= unit.blocks;
      page += unit.Pages();
    }
    samples.push_back(page);
  }
  // The CIS page, in the first blocks of unit 0.
  PageBuffer buffer{};
  const std::uint32_t pagesPerBlock = geometry.units[0].pagesPerBlock;
  for (std::uint64_t at = 0;
       at < pagesRead && at < std::uint64_t{zone_layout::CisWindowBlocks(geometry.units[0].blocks)} * pagesPerBlock;
       at += pagesPerBlock) {
    if (std::fseek(file, static_cast<long>(at * kPageSize), SEEK_SET) != 0 ||
        std::fread(buffer.data(), 1, kPageSize, file) != kPageSize) {
      break;
    }
    if (IsCisPage(buffer.data())) {
      samples.push_back(at);
      break;
    }
  }
  std::sort(samples.begin(), samples.end());
  samples.erase(std::unique(samples.begin(), samples.end()), samples.end());
  return samples;
}

bool ReadPageAt(std::FILE* file, std::uint64_t index, PageBuffer& page) {
  if (std::fseek(file, 0, SEEK_SET) != 0) return false;
  for (std::uint64_t offset = index * kPageSize; offset > 0;) {
    const long step = static_cast<long>(std::min<std::uint64_t>(offset, kLongestSeek));
    if (std::fseek(file, step, SEEK_CUR) != 0) return false;
    offset -= static_cast<std::uint64_t>(step);
  }
  return std::fread(page.data(), 1, kPageSize, file) == kPageSize;
}

Likeness CompareCard(PageSource& pages, const std::string& partial, const DumpMap& map) {
  Likeness likeness;
  if (!(map.geometry == pages.Geometry())) {
    likeness.differs = "it was read from a card of " + GeometryWords(map.geometry) + " (blocks x pages)";
    return likeness;
  }
  std::FILE* file = std::fopen(partial.c_str(), "rb");
  if (file == nullptr) {
    likeness.differs = "it cannot be read";
    return likeness;
  }
  for (const std::uint64_t index : SamplePages(map.geometry, map.pagesRead, file)) {
    const PageRef where = PageAt(map.geometry, index);
    PageBuffer copied{}, now{};
    if (map.faults.PageUnreadable(where.unit, where.page) || !ReadPageAt(file, index, copied) ||
        ErasedPage(copied.data())) {
      continue;
    }
    if (!pages.Read(where.unit, where.page, now)) {
      likeness.end = PassEndOf(pages.LastFault());
      if (likeness.end != PassEnd::Complete) break;
      continue;
    }
    if (now != copied) {
      likeness.differs = "page " + std::to_string(where.unit) + ":" + std::to_string(where.page) +
                         " of the card in the reader differs from its copy";
      break;
    }
  }
  std::fclose(file);
  return likeness;
}

// --- Writing ------------------------------------------------------------------------------

// The pages of each block as they come, FF bytes for those that could not be read.
class DumpFile {
 public:
  DumpFile(const std::string& path, bool append) : path(path) {
    errno = 0;
    file = std::fopen(path.c_str(), append ? "ab" : "wb");
    if (file == nullptr) error = path + ": cannot create the file: " + SystemText(errno);
  }
  ~DumpFile() {
    if (file != nullptr) std::fclose(file);
  }
  DumpFile(const DumpFile&) = delete;
  DumpFile& operator=(const DumpFile&) = delete;

  // Writes a block's pages; false once the file cannot be written.
  bool Take(const BlockPages& block) {
    for (std::size_t p = 0; p < block.pages.size(); ++p) {
      if (error.empty() && std::fwrite(block.pages[p].data(), 1, kPageSize, file) != kPageSize) {
        error = WriteFailure(path);
      }
    }
    return error.empty();
  }
  // Everything taken so far is in the file.
  bool Flush() {
    errno = 0;
    if (error.empty() && std::fflush(file) != 0) error = WriteFailure(path);
    return error.empty();
  }
  const std::string& Error() const { return error; }
  // Closes the file; the first failure since it was made, or empty.
  std::string Close() {
    if (file == nullptr) return error;
    errno = 0;
    const bool closed = std::fclose(file) == 0;
    file = nullptr;
    if (!closed && error.empty()) error = WriteFailure(path);
    return error;
  }

 private:
  std::string path;
  std::FILE* file = nullptr;
  std::string error;
};

// The sidecar beside the dump: written anew under a temporary name, or the
// old one removed when the dump needs none.
std::string PlaceSidecar(const std::string& target, const FaultPlan& sidecar) {
  const std::string path = FaultSidecarPath(target);
  if (sidecar.Empty()) return PathExists(path) ? RemoveFile(path) : "";
  const std::string temporary = TemporarySibling(path);
  std::string problem = WriteTextFile(temporary, FormatFaultPlan(sidecar));
  if (problem.empty()) problem = ReplaceFile(temporary, path);
  if (!problem.empty()) RemoveQuietly(temporary);
  return problem;
}

// A dump in the making: a new partial dump, or one that goes on.
class Dumping {
 public:
  Dumping(PageSource& pages, const std::string& path, const DumpOptions& options)
      : pages(pages),
        path(path),
        target(LinkTarget(path)),
        partial(PartialDumpPath(target)),
        mapPath(PartialDumpMapPath(target)),
        options(options) {}

  DumpResult Run(const PassWatch& watch);

 private:
  // Finds a partial dump of this card to go on with; empty, or why the dump cannot start.
  std::string Resume();
  std::string KeptText() const {
    return "the " + std::to_string(map.pagesRead) + " pages read so far wait in " + partial +
           ": the same command goes on from there";
  }

  PageSource& pages;
  std::string path, target, partial, mapPath;
  const DumpOptions& options;
  DumpMap map;
  bool resumed = false;
  DumpResult result;
};

std::string Dumping::Resume() {
  if (!PathExists(mapPath) || !PathExists(partial)) return "";
  DumpMap found;
  std::string problem = ReadMap(mapPath, found);
  std::uint64_t size = 0;
  if (problem.empty()) problem = FileSize(partial, size);
  if (problem.empty() && (!WholeBlocks(found.geometry, found.pagesRead) || size < found.pagesRead * kPageSize)) {
    problem = mapPath + " does not fit " + partial;
  }
  Likeness likeness;
  if (problem.empty()) likeness = CompareCard(pages, partial, found);
  if (likeness.end != PassEnd::Complete) {
    result.end = likeness.end;
    return PassEndText(likeness.end, "dump");
  }
  if (problem.empty() && likeness.differs.empty()) {
    map = std::move(found);
    resumed = true;
    return TruncateFile(partial, map.pagesRead * kPageSize);
  }
  if (options.replace) return "";
  if (problem.empty()) {
    problem = partial + " holds part of a dump of another card (" + likeness.differs + ")";
  }
  return problem + ". Dump this card to another file, or give --force to start afresh (the partial dump is replaced)";
}

DumpResult Dumping::Run(const PassWatch& watch) {
  map.geometry = pages.Geometry();
  if (const std::string problem = Resume(); !problem.empty()) {
    result.error = problem;
    result.partialKept = PathExists(partial);
    return result;
  }
  result.resumedAt = map.pagesRead;
  if (!resumed) result.error = WriteMap(mapPath, map);
  DumpFile file(partial, resumed);
  if (result.error.empty()) result.error = file.Error();
  if (!result.error.empty()) return result;
  if (resumed && options.resuming) options.resuming(map.pagesRead, map.geometry.TotalPages());
  PassPlan plan;
  plan.skipBlocks = *WholeBlocks(map.geometry, map.pagesRead);
  // The pass halts at the end of a block: when the operator stops it, or the file cannot be written.
  std::atomic<int> halt{0};
  const PassWatch blockWise{[&](std::uint64_t done, std::uint64_t total) {
                              if (watch.progress) watch.progress(done, total);
                              if ((watch.stop != nullptr && watch.stop->load() != 0) || !file.Error().empty()) {
                                halt.store(1);
                              }
                            },
                            &halt};
  std::uint32_t sinceMap = 0;
  result.end = ReadPages(pages, blockWise, plan, [&](const BlockPages& block) {
    // Only what reached the file goes into the map; a map that cannot be
    // brought up to date keeps an earlier state, which a later dump trusts.
    if (!file.Take(block)) return;
    const std::uint32_t pagesPerBlock = map.geometry.units[block.unit].pagesPerBlock;
    for (std::uint32_t p = 0; p < block.pages.size(); ++p) {
      if (!block.readable[p]) map.faults.unreadablePages.push_back({block.unit, block.block * pagesPerBlock + p});
    }
    map.pagesRead += block.pages.size();
    if (++sinceMap == kMapEveryBlocks && file.Flush()) {
      sinceMap = 0;
      WriteMap(mapPath, map);
    }
  });
  const std::string written = file.Close();
  if (written.empty()) WriteMap(mapPath, map);
  result.pages = map.pagesRead;
  result.sidecar = map.faults;
  result.sidecar.writeProtected = pages.WriteProtected().value_or(map.faults.writeProtected);
  if (!written.empty() || result.end != PassEnd::Complete) {
    result.error = (written.empty() ? PassEndText(result.end, "dump") : written) + "; nothing was written to " + path +
                   "; " + KeptText();
    result.partialKept = true;
    return result;
  }
  result.error = PlaceSidecar(target, result.sidecar);
  if (result.error.empty()) result.error = ReplaceFile(partial, target);
  if (result.error.empty()) RemoveQuietly(mapPath);
  return result;
}

}  // namespace

std::string PartialDumpPath(const std::string& path) { return path + kPartialSuffix; }
std::string PartialDumpMapPath(const std::string& path) { return PartialDumpPath(path) + kMapSuffix; }

std::string DumpTargetRefusal(const std::string& path, bool replace) {
  if (const std::string problem = UnusableName(path); !problem.empty()) return problem;
  for (const std::string& file : {path, FaultSidecarPath(path)}) {
    if (!PathExists(file)) continue;
    if (!replace) return file + " exists; give --force to replace it";
    if (const std::string problem = CheckRegularFile(file, "a file to replace"); !problem.empty()) return problem;
  }
  const std::string partial = PartialDumpPath(LinkTarget(path));
  if (PathExists(partial) && !PathExists(PartialDumpMapPath(LinkTarget(path))) && !replace) {
    return partial + " exists, but is no partial dump (it has no map " + PartialDumpMapPath(LinkTarget(path)) +
           "); move it away, or give --force to replace it";
  }
  return "";
}

DumpResult DumpCard(PageSource& pages, const std::string& path, const PassWatch& watch, const DumpOptions& options) {
  return Dumping(pages, path, options).Run(watch);
}

}  // namespace card
