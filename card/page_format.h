// The SmartMedia page format as the reader's firmware writes it: the
// redundant area's fields, the 3-byte Hamming ECC of each 256-byte half of
// the data area, the block address word, and the card information structure
// (CIS) page.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "engine/cis.h"
#include "engine/ecc.h"
#include "engine/media_geometry.h"
#include "engine/page_layout.h"

namespace card {

// Offsets inside the 16-byte redundant area (page byte 512 + n).
namespace redundant {
constexpr std::size_t kReserved = 0;  // bytes 0-3
constexpr std::size_t kReservedLength = 4;
constexpr std::size_t kDataStatus = page_layout::kDataStatus;        // 0xFF: data valid
constexpr std::size_t kBlockStatus = page_layout::kBlockStatus;      // 0xFF: good block; anything else: bad
constexpr std::size_t kBlockAddress1 = page_layout::kBlockAddress1;  // big-endian block address word
constexpr std::size_t kEccSecondHalf = page_layout::kEccSecondHalf;  // ECC of data bytes 256-511
constexpr std::size_t kBlockAddress2 = page_layout::kBlockAddress2;  // copy of the block address word
constexpr std::size_t kEccFirstHalf = page_layout::kEccFirstHalf;    // ECC of data bytes 0-255
}  // namespace redundant

constexpr std::size_t kRedundantStart = page_layout::kRedundantStart;  // page offset of redundant byte 0
constexpr std::uint8_t kErased = 0xFF;
constexpr std::uint8_t kBadBlockMark = page_layout::kRetired;  // what marks a block bad in its status byte

// The firmware computes the ECC with the engine's function.
using ::Ecc;
using ::kEccChunk;
using ::kEccSize;
using ::SmartMediaEcc;

// Block address word of logical block `lba` within its zone:
// 0x1000 | (lba << 1) | parity, parity making the word's bit count even.
std::uint16_t EncodeBlockAddress(std::uint16_t lba);
// The logical block a word names, or none for an invalid word (wrong fixed
// bits or odd parity).
std::optional<std::uint16_t> DecodeBlockAddress(std::uint16_t word);
constexpr std::uint16_t kErasedAddress = 0xFFFF;
constexpr std::uint16_t kMaxZoneLba = 0x3FF;  // ten bits of logical block number

// The redundant area of a page the firmware writes: status bytes 0xFF, the
// block address twice and the ECC of both halves of `data`.
RedundantArea LogicalRedundant(std::uint16_t lba, const std::uint8_t* data);

// --- Card information structure ----------------------------------------------
// The CIS image itself (CisImage, CisSignature) is the engine's table.

// The whole CIS page as the format writes it: the image at data offsets 0
// and 256, zeros elsewhere, redundant bytes 0-5 0xFF, the block address
// fields zero and the ECC of both data halves.
PageBuffer CisPage();
// The same page as formats before the ECC was written left it: both ECC
// fields zero. Hosts that check the ECC reject it.
PageBuffer ZeroEccCisPage();
// A CIS page: block and data status 0xFF, both block address copies zero,
// and the signature (first ten image bytes) at data offsets 0 and 256.
bool IsCisPage(const std::uint8_t* page);

}  // namespace card
