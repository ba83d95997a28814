// Boot code images that the computed file-system layout puts on the card:
// the master boot record's loader with its disk identifier, and the code of
// the FAT boot sector. The standard-capacity layout carries no boot code.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

constexpr std::size_t kMbrCodeSize = 446;           // MBR bytes 0-445
constexpr std::size_t kMbrLoaderSize = 440;         // x86 loader, MBR bytes 0-439
constexpr std::size_t kDiskIdentifierOffset = 440;  // four bytes, MBR bytes 440-443
constexpr std::size_t kBootCodeSize = 448;          // boot-sector bytes 62-509

// MBR bytes 0-445: the loader in 0-439, the disk identifier FC 16 8C 7F in
// 440-443 and zero in 444-445.
extern const std::array<std::uint8_t, kMbrCodeSize> MbrCodeTemplate;

// Boot-sector bytes 62-509. The jump at offset 0 of the boot sector lands
// two bytes into this image (offset 64).
extern const std::array<std::uint8_t, kBootCodeSize> BootCodeTemplate;
