#include <algorithm>

#include "engine/cis.h"
#include "engine/page_layout.h"
#include "engine/reader_device.h"

namespace {

// The CIS is looked for in at most the first 1024 blocks of unit 0.
constexpr std::uint32_t kCisSearchBlocks = 1024;

RedundantArea CisRedundantArea() {
  RedundantArea redundant{};
  std::fill_n(redundant.begin(), kCisRedundantFfBytes, 0xFF);
  return redundant;
}

SectorBuffer CisData() {
  SectorBuffer data{};
  for (std::size_t offset : kCisCopyOffsets) std::copy(CisImage.begin(), CisImage.end(), data.begin() + offset);
  return data;
}

bool SignatureAt(const PageBuffer& page, std::size_t offset) {
  return std::equal(CisSignature.begin(), CisSignature.end(), page.begin() + offset);
}

}  // namespace

int CReaderDevice::IsCisPage(const PageBuffer& page) const {
  using namespace page_layout;
  if (Redundant(page, kBlockStatus) != kGood) return 0;
  if (Redundant(page, kDataStatus) != kGood) return 0;
  for (std::size_t offset : {kBlockAddress1, kBlockAddress1 + 1, kBlockAddress2, kBlockAddress2 + 1}) {
    if (Redundant(page, offset) != 0x00) return 0;
  }
  for (std::size_t offset : kCisCopyOffsets) {
    if (!SignatureAt(page, offset)) return 0;
  }
  return 1;
}

int CReaderDevice::WriteCisBlock() {
  const RedundantArea redundant = CisRedundantArea();
  const std::uint32_t unitSectors = GetUnitSectors(0);
  const std::uint32_t sectorsPerBlock = GetSectorsPerBlock(0);
  if (sectorsPerBlock == 0) return 0;  // no block size: there is no block to choose
  const std::uint32_t limit = std::min<std::uint64_t>(unitSectors, std::uint64_t{sectorsPerBlock} * kCisSearchBlocks);

  // The first good block among the first 1024 of unit 0.
  PageBuffer page{};
  std::uint32_t sector = 0;
  for (; sector < limit; sector += sectorsPerBlock) {
    if (ReadPhySector(0, sector, page) && page_layout::IsGoodBlockPage(page)) break;
  }
  if (sector >= limit) return 0;

  int result = WriteRedundant(0, sector, redundant);
  if (result == 1) result = WritePhySector(0, sector, CisData());
  if (result == 0) {
    ShowPlainError("Write low level header error");
    return 0;
  }
  return result;
}
