#include "card/page_ecc.h"

#include <algorithm>

#include "card/page_format.h"
#include "engine/ecc.h"

namespace card {

namespace {

// The difference between the stored and the computed ECC names a single
// flipped data bit when each of its 11 parity pairs (8 line pairs LP2k/LP2k+1,
// 3 column pairs CP2j/CP2j+1) differs in exactly one bit; the odd member of
// each pair then gives one bit of the byte index or of the bit number. A
// single differing bit is an error in the ECC itself; anything else cannot
// be mended.
EccResult CompareEcc(const std::uint8_t* data, const std::uint8_t* stored) {
  constexpr std::uint32_t kColumnByteMask = 0xFC;   // bits 1-0 of the column byte carry nothing
  constexpr std::uint32_t kPairLowBits = 0x545555;  // LP0 LP2 .. LP14 and CP0 CP2 CP4 (bits 18, 20, 22)
  constexpr unsigned kColumnShift = 18;             // CP0's bit in the difference
  const Ecc computed = SmartMediaEcc(data);
  const std::uint32_t diff = (stored[0] ^ computed[0]) | ((stored[1] ^ computed[1]) << 8) |
                             (((stored[2] ^ computed[2]) & kColumnByteMask) << 16);
  if (diff == 0) return {};
  if (((diff ^ (diff >> 1)) & kPairLowBits) == kPairLowBits) {
    EccResult result{EccVerdict::CorrectableData};
    for (unsigned k = 0; k < 8; ++k) result.byte |= ((diff >> (2 * k + 1)) & 1u) << k;
    for (unsigned j = 0; j < 3; ++j) {
      result.bit = static_cast<std::uint8_t>(result.bit | (((diff >> (kColumnShift + 2 * j + 1)) & 1u) << j));
    }
    return result;
  }
  if ((diff & (diff - 1)) == 0) return {EccVerdict::CorrectableEcc};
  return {EccVerdict::Uncorrectable};
}

}  // namespace

std::array<EccResult, kEccHalves> JudgeEcc(const std::uint8_t* page) {
  std::array<EccResult, kEccHalves> results;
  for (std::size_t half = 0; half < kEccHalves; ++half) {
    results[half] = CompareEcc(page + half * kEccChunk, page + kRedundantStart + page_layout::EccField(half));
  }
  return results;
}

void MendData(std::uint8_t* data, const std::array<EccResult, kEccHalves>& results) {
  for (std::size_t half = 0; half < kEccHalves; ++half) {
    const EccResult& r = results[half];
    if (r.verdict == EccVerdict::CorrectableData)
      data[half * kEccChunk + r.byte] ^= static_cast<std::uint8_t>(1u << r.bit);
  }
}

bool ErasedPage(const std::uint8_t* page) {
  return std::all_of(page, page + kPageSize, [](std::uint8_t b) { return b == kErased; });
}

}  // namespace card
