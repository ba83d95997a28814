#include "engine/cis.h"

#include <algorithm>

#include "engine/page_layout.h"
#include "engine/reader_device.h"

namespace {

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

int CReaderDevice::WriteCisBlock(std::uint32_t block) {
  const std::uint32_t sector = block * GetSectorsPerBlock(0);
  int result = WriteRedundant(0, sector, CisRedundantArea());
  if (result == 1) result = WritePhySector(0, sector, CisData());
  // The page must read back as a CIS page with its data and ECC as written:
  // a block that kept old bits, or a write the reader reported but did not
  // make, leaves no CIS a host would accept. A failed read is tried once more.
  PageBuffer page{};
  const auto readBack = [&] { return ReadPhySector(0, sector, page) == 1 && ReadsBackAsCis(*this, page); };
  if (result == 1 && !readBack() && (CardGone() || !readBack())) result = 0;
  if (result != 1 && !CardGone()) ShowPlainError("Write low level header error");
  return result;
}
