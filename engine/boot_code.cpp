#include "engine/boot_code.h"

namespace {

// The x86 loader of the master boot record. No loader is shipped yet: the
// area stays zero, so the card does not boot but every partition tool reads
// the table normally.
constexpr std::array<std::uint8_t, kMbrLoaderSize> kMbrLoader{};

constexpr std::array<std::uint8_t, 4> kDiskIdentifier{0xFC, 0x16, 0x8C, 0x7F};

constexpr std::array<std::uint8_t, kMbrCodeSize> BuildMbrCode() {
  std::array<std::uint8_t, kMbrCodeSize> code{};
  for (std::size_t i = 0; i < kMbrLoader.size(); ++i) code[i] = kMbrLoader[i];
  for (std::size_t i = 0; i < kDiskIdentifier.size(); ++i) code[kDiskIdentifierOffset + i] = kDiskIdentifier[i];
  return code;
}

}  // namespace

constexpr std::array<std::uint8_t, kMbrCodeSize> MbrCodeTemplate = BuildMbrCode();

// No boot-sector code is shipped yet: zeros.
constexpr std::array<std::uint8_t, kBootCodeSize> BootCodeTemplate{};
