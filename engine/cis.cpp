#include "engine/cis.h"

#include <algorithm>

#include "engine/failure_run.h"
#include "engine/page_layout.h"
#include "engine/reader_device.h"

namespace {

// The CIS is looked for in at most the first 1024 blocks of unit 0.
constexpr std::uint32_t kCisSearchBlocks = 1024;

RedundantArea CisRedundantArea() {
  RedundantArea redundant{};
  std::copy_n(kCisPage.begin() + page_layout::kRedundantStart, redundant.size(), redundant.begin());
  return redundant;
}

SectorBuffer CisData() {
  SectorBuffer data{};
  std::copy_n(kCisPage.begin(), data.size(), data.begin());
  return data;
}

bool SignatureAt(const PageBuffer& page, std::size_t offset) {
  return std::equal(CisSignature.begin(), CisSignature.end(), page.begin() + offset);
}

// A CIS page whose data and ECC are those written.
bool ReadsBackAsCis(const CReaderDevice& reader, const PageBuffer& page) {
  return reader.IsCisPage(page) && std::equal(page.begin(), page.begin() + kSectorSize, kCisPage.begin()) &&
         page_layout::EccMatchesData(page);
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
  const std::uint32_t unitSectors = GetUnitSectors(0);
  const std::uint32_t sectorsPerBlock = GetSectorsPerBlock(0);
  if (sectorsPerBlock == 0) return 0;  // no block size: there is no block to choose
  const std::uint32_t limit = std::min<std::uint64_t>(unitSectors, std::uint64_t{sectorsPerBlock} * kCisSearchBlocks);

  // The first good block among the first 1024 of unit 0. A block whose first
  // page cannot be read is passed over and marked bad, so that no host takes
  // it, rather than the block after it, for the first good block. A card that
  // stops answering ends the search early instead of costing a pause per block.
  PageBuffer page{};
  FailureRun failures;
  std::uint32_t sector = 0;
  for (; sector < limit && !failures.CardGone(); sector += sectorsPerBlock) {
    if (!failures.Note(ReadPhySector(0, sector, page))) {
      failures.Note(WriteRedundant(0, sector, page_layout::RetiredBlockMark()));
      continue;
    }
    if (page_layout::IsGoodBlockPage(page)) break;
  }
  if (sector >= limit || failures.CardGone()) return 0;

  int result = WriteRedundant(0, sector, CisRedundantArea());
  if (result == 1) result = WritePhySector(0, sector, CisData());
  // The page must read back as a CIS page with its data and ECC as written:
  // a block that kept old bits, or a write the reader reported but did not
  // make, leaves no CIS a host would accept.
  if (result == 1 && !(ReadPhySector(0, sector, page) && ReadsBackAsCis(*this, page))) result = 0;
  if (result == 0) {
    ShowPlainError("Write low level header error");
    return 0;
  }
  return result;
}
