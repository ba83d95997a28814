// The card information structure (CIS, the "low level header"): a chain of
// PC Card tuples that every SmartMedia card carries in the first page of its
// first good block.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "engine/ecc.h"
#include "engine/media_geometry.h"
#include "engine/page_layout.h"

constexpr std::size_t kCisImageSize = 112;
constexpr std::size_t kCisSignatureSize = 10;
// The image is stored twice in the CIS page's data area.
inline constexpr std::size_t kCisCopyOffsets[] = {0, 256};

// device (01), JEDEC id (18), manufacturer id (20, zero), function id (21,
// fixed disk), two function extensions (22), configuration (1A), four
// configuration-table entries (1B), version-1 strings (15), no-link (14) and
// the end of the chain (FF at offset 109).
inline constexpr std::array<std::uint8_t, kCisImageSize> CisImage = {
    0x01, 0x03, 0xD9, 0x01, 0xFF, 0x18, 0x02, 0xDF, 0x01, 0x20, 0x04, 0x00, 0x00, 0x00, 0x00, 0x21,  //
    0x02, 0x04, 0x01, 0x22, 0x02, 0x01, 0x01, 0x22, 0x03, 0x02, 0x04, 0x07, 0x1A, 0x05, 0x01, 0x03,  //
    0x00, 0x02, 0x0F, 0x1B, 0x08, 0xC0, 0xC0, 0xA1, 0x01, 0x55, 0x08, 0x00, 0x20, 0x1B, 0x0A, 0xC1,  //
    0x41, 0x99, 0x01, 0x55, 0x64, 0xF0, 0xFF, 0xFF, 0x20, 0x1B, 0x0C, 0x82, 0x41, 0x18, 0xEA, 0x61,  //
    0xF0, 0x01, 0x07, 0xF6, 0x03, 0x01, 0xEE, 0x1B, 0x0C, 0x83, 0x41, 0x18, 0xEA, 0x61, 0x70, 0x01,  //
    0x07, 0x76, 0x03, 0x01, 0xEE, 0x15, 0x14, 0x05, 0x00, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20,  //
    0x00, 0x20, 0x20, 0x20, 0x20, 0x00, 0x30, 0x2E, 0x30, 0x00, 0xFF, 0x14, 0x00, 0xFF, 0x00, 0x00,  //
};

// The first ten bytes of the image: what recognises a CIS page.
inline constexpr std::array<std::uint8_t, kCisSignatureSize> CisSignature = {0x01, 0x03, 0xD9, 0x01, 0xFF,
                                                                             0x18, 0x02, 0xDF, 0x01, 0x20};

// The CIS page as the format writes it: the image at data offsets 0 and 256,
// zeros elsewhere in the data area; redundant bytes 0-5 0xFF (data and block
// valid), the block address fields 00 00, and in the two ECC fields the real
// ECC of the data halves, as every other page of the card carries, so that
// hosts which check the ECC of what they read accept the page.
constexpr PageBuffer MakeCisPage() {
  PageBuffer page{};
  for (std::size_t offset : kCisCopyOffsets) {
    for (std::size_t i = 0; i < kCisImageSize; ++i) page[offset + i] = CisImage[i];
  }
  for (std::size_t i = 0; i < page_layout::kBlockAddress1; ++i) page[page_layout::kRedundantStart + i] = 0xFF;
  for (std::size_t half = 0; half < kSectorSize / kEccChunk; ++half) {
    const Ecc ecc = SmartMediaEcc(page.data() + half * kEccChunk);
    for (std::size_t i = 0; i < kEccSize; ++i)
      page[page_layout::kRedundantStart + page_layout::EccField(half) + i] = ecc[i];
  }
  return page;
}
inline constexpr PageBuffer kCisPage = MakeCisPage();
