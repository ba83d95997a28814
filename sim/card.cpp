#include "sim/card.h"

#include <utility>
#include <vector>

#include "sim/firmware.h"
#include "sim/page_format.h"

namespace sim {

namespace {

constexpr std::ios::openmode kReadWrite = std::ios::in | std::ios::out | std::ios::binary;

// A 64-bit linear congruential generator (four bytes of each step's high
// half): enough to make a card look used.
class FillPattern {
 public:
  explicit FillPattern(std::uint32_t seed) : state(seed * 0x9E3779B97F4A7C15ull + 1) {}
  void Next(std::uint8_t* out, std::size_t length) {
    for (std::size_t i = 0; i < length; ++i) {
      if (i % 4 == 0) state = state * 6364136223846793005ull + 1442695040888963407ull;
      out[i] = static_cast<std::uint8_t>(state >> (56 - 8 * (i % 4)));
    }
  }

 private:
  std::uint64_t state;
};

std::string CheckBadBlocks(const CardGeometry& geometry, const std::vector<BlockRef>& blocks) {
  for (const BlockRef& ref : blocks) {
    if (ref.unit >= geometry.units.size() || ref.block >= geometry.units[ref.unit].blocks) {
      return "bad block " + std::to_string(ref.unit) + ":" + std::to_string(ref.block) + " is not on the card";
    }
  }
  return "";
}

bool WriteCis(Nand& nand) {
  const UnitGeometry& unit = nand.Unit(0);
  const std::uint32_t limit = std::min(unit.blocks, kCisSearchBlocks);
  for (std::uint32_t block = 0; block < limit; ++block) {
    if (nand.IsBad(0, block)) continue;
    const PageBuffer page = CisPage();
    return nand.Program(0, block * unit.pagesPerBlock, 0, page.data(), page.size());
  }
  return false;
}

void FillRandom(Nand& nand, std::uint32_t seed) {
  Firmware firmware(nand);
  FillPattern pattern(seed);
  // One firmware write per logical block of the smallest block size in use.
  std::uint32_t count = kMaxPagesPerBlock;
  for (const UnitGeometry& unit : nand.Geometry().units) count = std::min(count, unit.pagesPerBlock);
  std::vector<std::uint8_t> block(std::size_t{count} * kSectorSize);
  std::uint64_t lba = 0;
  while (lba < firmware.LogicalSectors()) {
    pattern.Next(block.data(), block.size());
    if (!firmware.WriteSectors(lba, count, block.data())) return;
    lba += count;
  }
}

std::uint64_t FileSize(std::fstream& stream) {
  stream.seekg(0, std::ios::end);
  const std::streamoff size = stream.tellg();
  stream.seekg(0, std::ios::beg);
  return size < 0 ? 0 : static_cast<std::uint64_t>(size);
}

CardOpen Refuse(const std::string& path, const std::string& reason) { return CardOpen{nullptr, path + ": " + reason}; }

CardOpen OpenWith(const std::string& path, std::unique_ptr<std::fstream> stream, const CardGeometry& geometry) {
  std::vector<std::uint8_t> contents(geometry.ImageBytes());
  stream->read(reinterpret_cast<char*>(contents.data()), static_cast<std::streamsize>(contents.size()));
  if (static_cast<std::uint64_t>(stream->gcount()) != contents.size()) return Refuse(path, "cannot read the image");
  stream->clear();
  auto card = std::make_unique<Card>(Nand(geometry, std::move(contents)));
  card->Attach(std::move(stream), path);
  return CardOpen{std::move(card), ""};
}

std::unique_ptr<std::fstream> OpenStream(const std::string& path) {
  return std::make_unique<std::fstream>(path, kReadWrite);
}

}  // namespace

Card::Card(const CardGeometry& geometry) : nand(geometry) {}

Card::Card(Nand nand_) : nand(std::move(nand_)) {}

void Card::Attach(std::unique_ptr<std::fstream> stream, const std::string& imagePath) {
  file = std::move(stream);
  path = imagePath;
  nand.TakeDirty();
}

std::string Card::Commit() {
  const std::vector<ByteRange> ranges = nand.TakeDirty();
  if (!file || ranges.empty()) return "";
  for (const ByteRange& range : ranges) {
    file->seekp(static_cast<std::streamoff>(range.offset));
    file->write(reinterpret_cast<const char*>(nand.Bytes().data() + range.offset),
                static_cast<std::streamsize>(range.length));
  }
  file->flush();
  if (!*file) {
    file->clear();
    return path + ": cannot write the image";
  }
  return "";
}

std::string Card::SaveAs(const std::string& imagePath) {
  {
    std::ofstream out(imagePath, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(nand.Bytes().data()), static_cast<std::streamsize>(nand.Bytes().size()));
    out.flush();
    if (!out) return imagePath + ": cannot write the image";
  }
  auto stream = OpenStream(imagePath);
  if (!*stream) return imagePath + ": cannot reopen the image";
  Attach(std::move(stream), imagePath);
  return "";
}

CardOpen OpenCardImage(const std::string& path) {
  auto stream = OpenStream(path);
  if (!*stream) return Refuse(path, "cannot open the image for reading and writing");
  const std::uint64_t size = FileSize(*stream);
  const std::optional<CardGeometry> geometry = GeometryForImageSize(size);
  if (!geometry) {
    std::string sizes;
    for (const StandardCard& card : kStandardCards) {
      sizes += (sizes.empty() ? "" : ", ") + std::string(card.name) + " = " +
               std::to_string(CardGeometry{{card.unit}}.ImageBytes());
    }
    return Refuse(path, std::to_string(size) + " bytes is not the size of a standard card image (pages of 528 bytes; " +
                            sizes + " bytes); a truncated or foreign file?");
  }
  return OpenWith(path, std::move(stream), *geometry);
}

CardOpen OpenCardImage(const std::string& path, const CardGeometry& geometry) {
  const std::string problem = CheckGeometry(geometry);
  if (!problem.empty()) return Refuse(path, problem);
  auto stream = OpenStream(path);
  if (!*stream) return Refuse(path, "cannot open the image for reading and writing");
  const std::uint64_t size = FileSize(*stream);
  if (size != geometry.ImageBytes()) {
    return Refuse(path, std::to_string(size) + " bytes, but a card of " + Describe(geometry) + " takes " +
                            std::to_string(geometry.ImageBytes()) + " bytes" +
                            (size < geometry.ImageBytes() ? " (truncated?)" : ""));
  }
  return OpenWith(path, std::move(stream), geometry);
}

CardOpen CreateCard(const CreateOptions& options) {
  std::string problem = CheckGeometry(options.geometry);
  if (problem.empty()) problem = CheckBadBlocks(options.geometry, options.plan.factoryBadBlocks);
  if (!problem.empty()) return CardOpen{nullptr, problem};
  Nand nand(options.geometry);
  for (const BlockRef& ref : options.plan.factoryBadBlocks) nand.MarkBad(ref.unit, ref.block);
  if (options.withCis && !WriteCis(nand)) return CardOpen{nullptr, "no good block for the CIS in unit 0"};
  if (options.fill == Fill::Random) FillRandom(nand, options.seed);
  nand.TakeDirty();
  return CardOpen{std::make_unique<Card>(std::move(nand)), ""};
}

CardOpen CreateCardImage(const std::string& path, const CreateOptions& options) {
  CardOpen made = CreateCard(options);
  if (!made) return made;
  std::string problem = made.card->SaveAs(path);
  if (problem.empty()) {
    FaultPlan kept = options.plan;
    kept.factoryBadBlocks.clear();
    problem = SaveFaultPlan(path, kept);
  }
  if (!problem.empty()) return CardOpen{nullptr, problem};
  return made;
}

}  // namespace sim
