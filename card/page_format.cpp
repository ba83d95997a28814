#include "card/page_format.h"

#include <algorithm>

#include "engine/byte_order.h"

namespace card {

namespace {

constexpr std::uint16_t kAddressFixedMask = 0xF800;  // the top five bits of a valid word
constexpr std::uint16_t kAddressFixedBits = 0x1000;

bool OddParity(unsigned value) { return ecc_detail::OddBitCount(value); }

}  // namespace

std::uint16_t EncodeBlockAddress(std::uint16_t lba) {
  std::uint16_t word = static_cast<std::uint16_t>(kAddressFixedBits | ((lba & kMaxZoneLba) << 1));
  if (OddParity(word)) word |= 1;
  return word;
}

std::optional<std::uint16_t> DecodeBlockAddress(std::uint16_t word) {
  if ((word & kAddressFixedMask) != kAddressFixedBits || OddParity(word)) return std::nullopt;
  return static_cast<std::uint16_t>((word >> 1) & kMaxZoneLba);
}

RedundantArea LogicalRedundant(std::uint16_t lba, const std::uint8_t* data) {
  RedundantArea area;
  area.fill(kErased);
  const std::uint16_t word = EncodeBlockAddress(lba);
  StoreBe16(&area[redundant::kBlockAddress1], word);
  StoreBe16(&area[redundant::kBlockAddress2], word);
  const Ecc first = SmartMediaEcc(data);
  const Ecc second = SmartMediaEcc(data + kEccChunk);
  std::copy(first.begin(), first.end(), area.begin() + redundant::kEccFirstHalf);
  std::copy(second.begin(), second.end(), area.begin() + redundant::kEccSecondHalf);
  return area;
}

PageBuffer CisPage() { return kCisPage; }

PageBuffer ZeroEccCisPage() {
  PageBuffer page = kCisPage;
  for (std::size_t field : {redundant::kEccFirstHalf, redundant::kEccSecondHalf}) {
    std::fill_n(page.begin() + kRedundantStart + field, kEccSize, 0x00);
  }
  return page;
}

bool IsCisPage(const std::uint8_t* page) {
  const std::uint8_t* area = page + kRedundantStart;
  if (area[redundant::kBlockStatus] != kErased || area[redundant::kDataStatus] != kErased) return false;
  for (std::size_t offset : {redundant::kBlockAddress1, redundant::kBlockAddress2}) {
    if (area[offset] != 0 || area[offset + 1] != 0) return false;
  }
  for (std::size_t offset : kCisCopyOffsets) {
    if (!std::equal(CisSignature.begin(), CisSignature.end(), page + offset)) return false;
  }
  return true;
}

}  // namespace card
