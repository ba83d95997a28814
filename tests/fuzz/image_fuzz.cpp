#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "card/card_check.h"
#include "card/card_dump.h"
#include "card/card_tools.h"
#include "card/firmware.h"
#include "sim/reader.h"
#include "tests/fuzz/fuzz_targets.h"

namespace fuzz {

namespace {

namespace fs = std::filesystem;

// A folder of this process's own for the files made from the inputs.
const fs::path& Scratch() {
  static const fs::path dir = [] {
    const char* root = std::getenv("SMFORMAT_TEST_TMP");
    fs::path base = root && *root ? fs::path(root) : fs::temp_directory_path();
    base /= "fuzz-image-" + std::to_string(std::random_device{}());
    fs::create_directories(base);
    return base;
  }();
  return dir;
}

void PutFile(const fs::path& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// `size` bytes made of `seed` repeated (0xFF when it is empty).
std::vector<std::uint8_t> Repeat(const std::vector<std::uint8_t>& seed, std::uint64_t size) {
  std::vector<std::uint8_t> out(static_cast<std::size_t>(size), 0xFF);
  if (seed.empty() || out.empty()) return out;
  std::size_t filled = std::min(seed.size(), out.size());
  std::memcpy(out.data(), seed.data(), filled);
  while (filled < out.size()) {  // the filled part doubles each time
    const std::size_t more = std::min(filled, out.size() - filled);
    std::memcpy(out.data() + filled, out.data(), more);
    filled += more;
  }
  return out;
}

}  // namespace

void ImageOpener(const std::uint8_t* data, std::size_t size) {
  if (size < 3) return;
  const std::uint8_t mode = data[0];
  const std::size_t sidecarLength = (mode & 0x04) ? std::min<std::size_t>(data[1], size - 2) : 0;
  const std::string sidecar(reinterpret_cast<const char*>(data + 2), sidecarLength);
  const std::vector<std::uint8_t> rest(data + 2 + sidecarLength, data + size);

  const fs::path image = Scratch() / "card.img";
  const fs::path faults = Scratch() / "card.img.faults";
  std::error_code ignored;
  fs::remove_all(faults, ignored);
  if (mode & 0x04) PutFile(faults, std::vector<std::uint8_t>(sidecar.begin(), sidecar.end()));
  if (mode & 0x08) fs::create_directory(faults, ignored);

  std::optional<card::CardGeometry> geometry;
  switch (mode & 0x03) {
    case 0:  // the input as it is, recognised by its size
      PutFile(image, rest);
      break;
    case 1:
      if ((mode & 0x30) == 0x30) {  // now and then a 1 MB card of the input's bytes, recognised by its size
        PutFile(image, Repeat(rest, card::StandardGeometry("1M")->ImageBytes()));
        break;
      }
      [[fallthrough]];
    default: {  // a small geometry of its own, the file its size or not
      const std::uint8_t shape = data[1];
      card::CardGeometry given;
      for (int u = 0; u <= (shape >> 6) % 2; ++u) {
        given.units.push_back({16u << ((shape >> (2 * u)) % 3), 1u << ((shape >> (4 + u)) % 4)});
      }
      geometry = given;
      const std::uint64_t bytes = (mode & 0x03) != 3 ? given.ImageBytes() : rest.size();
      PutFile(image, Repeat(rest, std::min<std::uint64_t>(bytes, std::uint64_t{4} << 20)));
      break;
    }
  }

  card::CardAndPlan opened = card::OpenCardAndPlan(image.string(), geometry, card::Access::ReadOnly);
  if (!opened) {
    Require(!opened.error.empty(), "a refusal says why");
    return;
  }
  if (geometry) Require(opened.card->Geometry() == *geometry, "the card has the geometry asked for");
  const card::CardReport report = card::Inspect(*opened.card);
  Require(report.logicalSectors == card::LogicalSectorCount(report.geometry), "the presented capacity");
  Require(report.mappedBlocks <= report.logicalBlocks, "no more blocks mapped than presented");

  const fs::path out = Scratch() / "logical.img";
  const card::ExportResult exported = card::ExportLogicalFile(*opened.card, out.string(), opened.plan);
  if (exported.error.empty()) {
    Require(fs::file_size(out) == report.logicalSectors * 512, "the export holds every sector");
  }
  // The card check and the dump read it whole, whatever its flash and file system hold.
  card::ImagePages pages(opened.card->Media(), &opened.plan);
  const card::CardCheck check = card::CheckCard(pages);
  Require(check.pagesChecked <= report.geometry.TotalPages(), "no page checked twice");
  Require(check.Report().back().rfind("Result:", 0) == 0 && check.Json("", "").back() == '}', "a whole report");
  const fs::path dump = Scratch() / "dump.img";
  fs::remove(dump, ignored);
  const card::DumpResult dumped = card::DumpCard(pages, dump.string());
  Require(dumped.error.empty() && fs::file_size(dump) == report.geometry.ImageBytes() &&
              dumped.sidecar.unreadablePages.size() >= check.Count(card::CardFaultKind::PageUnreadable),
          "the dump holds every page and lists every unreadable one: " + dumped.error);
  // A reader on it answers its search.
  sim::Reader reader(*opened.card, opened.plan);
  std::array<std::uint8_t, kMediaInfoReplySize> media{};
  const ReaderCommand info = ReadMediaInfoCommand();
  reader.Execute(info.cdb.data(), info.cdbLength, info.direction, media.data(), info.dataLength);
  std::vector<std::uint8_t> sector(512);
  const ReaderCommand read = ReadLbaCommand(static_cast<std::uint16_t>(rest.size() % 2000), 1);
  reader.Execute(read.cdb.data(), read.cdbLength, read.direction, sector.data(), read.dataLength);
  Require(reader.LastError().empty() || reader.LastError().find("reading only") != std::string::npos,
          "a reader on a card opened to read fails only when asked to write: " + reader.LastError());
}

}  // namespace fuzz
