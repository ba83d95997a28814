// How a host judges the ECC of a page it reads: each 256-byte half of the
// data against the three ECC bytes the redundant area keeps for it. A single
// flipped data bit is found and mended; a single flipped bit of the ECC
// itself leaves the data as it is; anything else cannot be mended.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "engine/media_geometry.h"

namespace card {

enum class EccVerdict : std::uint8_t { Match, CorrectableData, CorrectableEcc, Uncorrectable };

struct EccResult {
  EccVerdict verdict = EccVerdict::Match;
  std::uint32_t byte = 0;  // CorrectableData: the flipped bit, within the half
  std::uint8_t bit = 0;
};

constexpr std::size_t kEccHalves = 2;

// The verdict on each data half of a page (data and redundant area).
std::array<EccResult, kEccHalves> JudgeEcc(const std::uint8_t* page);
// Mends the single flipped data bits `results` found in `data` (512 bytes).
void MendData(std::uint8_t* data, const std::array<EccResult, kEccHalves>& results);
// Whether a half's verdict lets a host read the data.
inline bool Readable(const EccResult& result) { return result.verdict != EccVerdict::Uncorrectable; }
// Every byte of the page, data and redundant area, is FF: never programmed.
bool ErasedPage(const std::uint8_t* page);

}  // namespace card
