#include "card/card.h"

#include <utility>
#include <vector>

#include "card/card_files.h"
#include "card/firmware.h"
#include "card/page_format.h"

namespace card {

namespace {

// A 64-bit linear congruential generator (four bytes of each step's high
// half): enough to make a card look used.
class FillPattern {
 public:
  explicit FillPattern(std::uint64_t seed) : state(seed * 0x9E3779B97F4A7C15ull + 1) {}
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

void FillRandom(Nand& nand, std::uint64_t seed) {
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

CardOpen Refuse(const std::string& path, const std::string& reason) { return CardOpen{nullptr, path + ": " + reason}; }

std::string StandardSizes() {
  std::string sizes;
  for (const StandardCard& card : kStandardCards) {
    sizes += (sizes.empty() ? "" : ", ") + std::string(card.name) + " = " +
             std::to_string(CardGeometry{{card.unit}}.ImageBytes());
  }
  return sizes;
}

// The image's size, or why it is no card image at all.
std::string ImageSize(const std::string& path, std::uint64_t& size) {
  const std::string problem = CheckRegularFile(path, "a card image");
  if (!problem.empty()) return problem;
  const std::string error = FileSize(path, size);
  return error.empty() ? "" : path + ": cannot tell the image's size: " + error;
}

CardOpen OpenWith(const std::string& path, const CardGeometry& geometry, Access access, const StorageOpener& open) {
  ImageLockResult locked = LockImage(path, access);
  if (!locked.error.empty()) return CardOpen{nullptr, locked.error};
  StorageOpen storage = open(path, access);
  if (!storage) return CardOpen{nullptr, storage.error};
  if (storage.storage->Size() != geometry.ImageBytes()) return Refuse(path, "the image changed size while opened");
  auto card = std::make_unique<Card>(Nand(geometry, std::move(storage.storage)), path);
  card->HoldLock(std::move(locked.lock));
  return CardOpen{std::move(card), ""};
}

// Bad blocks, the CIS and the fill of a new card.
std::string Prepare(Nand& nand, const CreateOptions& options) {
  for (const BlockRef& ref : options.plan.factoryBadBlocks) nand.MarkBad(ref.unit, ref.block);
  if (options.withCis && !WriteCis(nand)) return "no good block for the CIS in unit 0";
  if (options.fill == Fill::Random) FillRandom(nand, options.seed);
  return "";
}

std::string CheckOptions(const CreateOptions& options) {
  const std::string problem = CheckGeometry(options.geometry);
  return problem.empty() ? CheckBadBlocks(options.geometry, options.plan.factoryBadBlocks) : problem;
}

// Writes the new card to `temporary`; returns an error message, empty on success.
std::string WriteNewImage(const std::string& temporary, const CreateOptions& options) {
  std::string problem = WriteFilledFile(temporary, options.geometry.ImageBytes(), kErased);
  if (!problem.empty()) return problem;
  StorageOpen storage = OpenFileStorage(temporary, Access::ReadWrite);
  if (!storage) return storage.error;
  Nand nand(options.geometry, std::move(storage.storage));
  problem = Prepare(nand, options);
  if (problem.empty() && !nand.Flush()) problem = nand.HostError();
  if (problem.empty()) problem = nand.HostError();
  return problem;
}

}  // namespace

Card::Card(const CardGeometry& geometry) : nand(geometry) {}

Card::Card(Nand nand_, std::string path_) : nand(std::move(nand_)), path(std::move(path_)) {}

std::string Card::Commit() { return nand.Commit() ? "" : nand.HostError(); }

std::string Card::Flush() { return nand.Flush() ? "" : nand.HostError(); }

CardOpen OpenCardImage(const std::string& path, Access access, const StorageOpener& open) {
  std::uint64_t size = 0;
  const std::string problem = ImageSize(path, size);
  if (!problem.empty()) return CardOpen{nullptr, problem};
  const std::optional<CardGeometry> geometry = GeometryForImageSize(size);
  if (!geometry) {
    return Refuse(path, std::to_string(size) + " bytes is not the size of a standard card image (pages of 528 bytes; " +
                            StandardSizes() + " bytes); a truncated or foreign file?");
  }
  return OpenWith(path, *geometry, access, open);
}

CardOpen OpenCardImage(const std::string& path, const CardGeometry& geometry, Access access,
                       const StorageOpener& open) {
  std::string problem = CheckGeometry(geometry);
  if (!problem.empty()) return Refuse(path, problem);
  std::uint64_t size = 0;
  problem = ImageSize(path, size);
  if (!problem.empty()) return CardOpen{nullptr, problem};
  if (size != geometry.ImageBytes()) {
    return Refuse(path, std::to_string(size) + " bytes, but a card of " + Describe(geometry) + " takes " +
                            std::to_string(geometry.ImageBytes()) + " bytes" +
                            (size < geometry.ImageBytes() ? " (truncated?)" : ""));
  }
  return OpenWith(path, geometry, access, open);
}

CardOpen CreateCard(const CreateOptions& options) {
  const std::string problem = CheckOptions(options);
  if (!problem.empty()) return CardOpen{nullptr, problem};
  Nand nand(options.geometry);
  const std::string prepared = Prepare(nand, options);
  if (!prepared.empty()) return CardOpen{nullptr, prepared};
  return CardOpen{std::make_unique<Card>(std::move(nand)), ""};
}

CardOpen CreateCardImage(const std::string& path, const CreateOptions& options) {
  std::string problem = CheckOptions(options);
  if (!problem.empty()) return CardOpen{nullptr, problem};
  FaultPlan kept = options.plan;
  kept.factoryBadBlocks.clear();
  const std::string sidecar = FaultSidecarPath(path);
  // The sidecar is replaced or removed with the image: a name the system
  // cannot take, or something there that is no file, would stop that half-way.
  problem = UnusableName(sidecar);
  if (problem.empty() && PathExists(sidecar)) problem = CheckRegularFile(sidecar, "a fault plan");
  if (!problem.empty()) return CardOpen{nullptr, problem};
  // The card being replaced stays locked while the new one is made (the
  // lock goes just before the rename: Windows renames over no open file).
  ImageLockResult replaced = LockImage(path, Access::ReadWrite);
  if (!replaced.error.empty()) return CardOpen{nullptr, replaced.error};
  const bool replacing = PathExists(path);
  const std::string image = TemporarySibling(path);
  const std::string faults = TemporarySibling(sidecar);
  problem = WriteNewImage(image, options);
  if (problem.empty() && !kept.Empty()) problem = WriteTextFile(faults, FormatFaultPlan(kept));
  replaced.lock.reset();
  if (problem.empty()) problem = ReplaceFile(image, path);
  if (!problem.empty()) {
    RemoveQuietly(image);
    RemoveQuietly(faults);
    return CardOpen{nullptr, problem};
  }
  // A sidecar left from the card that was replaced would apply to the new one.
  problem = kept.Empty() ? RemoveFile(sidecar) : ReplaceFile(faults, sidecar);
  if (!problem.empty()) {
    RemoveQuietly(faults);
    if (!replacing) RemoveQuietly(path);  // a failure leaves no new card behind
    return CardOpen{nullptr, problem};
  }
  return OpenCardImage(path, options.geometry);
}

}  // namespace card
