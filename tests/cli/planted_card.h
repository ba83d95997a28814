// Cards with a fault of every kind the card check knows, planted in their
// flash and fault plan, for the tests of smformat --check and --dump on every
// path (a card image, the Linux machine model, the Windows volume model):
// each must report what smcard check reports on the image, and a dump must
// be the image with its unreadable pages listed.
#pragma once

#include <cstdint>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "app/cli/card_read.h"
#include "card/card.h"
#include "card/card_check.h"
#include "card/firmware.h"
#include "card/page_format.h"

namespace planted {

struct PlantedCard {
  const char* name;
  std::unique_ptr<card::Card> card;
  card::FaultPlan plan;                    // what a reader shows beside the flash: unreadable pages, write protection
  std::vector<std::string> geometry = {};  // the tools' --geometry for a card of no standard size
  std::vector<const char*> says = {};      // what the check must say of it
};

constexpr std::uint32_t kPages = 8;  // per block of both cards
constexpr std::size_t kStatus = kSectorSize + 5, kAddress1High = kSectorSize + 6, kAddress2High = kSectorSize + 11;

// ANDs `mask` into byte `offset` of page `page` of unit 0, as programming does.
inline void Clear(card::Card& card, std::uint32_t page, std::size_t offset, std::uint8_t mask) {
  card.Media().Program(0, page, offset, &mask, 1);
}

// Clears `bits` set bits of the first data byte of the page that has that many.
inline void FlipDataBits(card::Card& card, std::uint32_t page, int bits) {
  const std::uint8_t* data = card.Media().Page(0, page);
  for (std::size_t at = 0; at < kSectorSize; ++at) {
    std::uint8_t mask = 0xFF;
    int cleared = 0;
    for (int bit = 0; bit < 8 && cleared < bits; ++bit) {
      if ((data[at] >> bit) & 1) mask = static_cast<std::uint8_t>(mask & ~(1u << bit)), ++cleared;
    }
    if (cleared == bits) return Clear(card, page, at, mask);
  }
}

// A used 1 MB card: a factory bad block (9) and a retired one (40, only its
// first page marked, its data left), a broken second copy of the CIS, one
// and two flipped data bits, an address of wrong fixed bits, address copies
// that differ, an erased spare block claiming logical block 0, random data
// where the MBR should be, an unreadable page and the write-protect tab.
inline PlantedCard EveryFault() {
  card::CreateOptions options;
  options.geometry = *card::StandardGeometry("1M");
  options.plan.factoryBadBlocks = {{0, 9}};
  options.fill = card::Fill::Random;
  PlantedCard planted{"EveryFault", std::move(card::CreateCard(options).card), {}};
  card::Card& card = *planted.card;
  Clear(card, 40 * kPages, kStatus, 0x00);
  Clear(card, 0, 256, 0xFE);
  FlipDataBits(card, 50 * kPages, 1);
  FlipDataBits(card, 51 * kPages + 2, 2);
  Clear(card, 53 * kPages + 1, kAddress1High, 0xEF);
  Clear(card, 53 * kPages + 1, kAddress2High, 0xEF);
  Clear(card, 54 * kPages + 2, kAddress2High, 0xEF);
  for (std::uint32_t block = 200; block < 256; ++block) {
    if (!card.Media().IsErased(0, block)) continue;
    std::vector<std::uint8_t> page(kPageSize, 0x00);
    const RedundantArea area = card::LogicalRedundant(0, page.data());
    std::copy(area.begin(), area.end(), page.begin() + kSectorSize);
    card.Media().Program(0, block * kPages, 0, page.data(), page.size());
    break;
  }
  planted.plan.unreadablePages = {{0, 60 * kPages + 3}, {0, 60 * kPages + 4}};
  planted.plan.writeProtected = true;
  planted.says = {
      "CIS:             block 0, not a valid CIS page\nWrite-protect:   on\n"
      "Bad blocks:      1 factory (0:9), 1 retired (0:40)\n",
      "2 correctable and 1 uncorrectable errors, 2 pages unreadable\n"
      "Block addresses: 1 invalid, 1 with differing copies, 1 logical blocks claimed twice\n",
      "it holds no partition table and no file system that a host knows"};
  return planted;
}

// An erased card of 128 blocks of 8 pages, which no CIS was written to and
// whose capacity gives no file system.
inline PlantedCard NoCisNoLayout() {
  card::CreateOptions options;
  options.geometry.units = {{128, kPages}};
  options.withCis = false;
  return PlantedCard{"NoCisNoLayout",
                     std::move(card::CreateCard(options).card),
                     {},
                     {"--geometry", "128x8"},
                     {"CIS:             none\n", "the card is blank", "capacity 1000 gives no file system layout"}};
}

// What smcard check says of the card below its Image line.
inline std::string CheckReport(PlantedCard& planted) {
  card::ImagePages pages(planted.card->Media(), &planted.plan);
  std::ostringstream out;
  PrintCardCheck(out, card::CheckCard(pages), "Image:", "", planted.card->Geometry(), false);
  return out.str().substr(out.str().find('\n') + 1);
}

// The card image a dump must give: the card's bytes, FF in its unreadable pages.
inline std::vector<std::uint8_t> DumpOf(const PlantedCard& planted) {
  std::vector<std::uint8_t> bytes = planted.card->Media().Bytes();
  for (const card::PageRef& page : planted.plan.unreadablePages) {
    std::fill_n(bytes.begin() + planted.card->Geometry().UnitOffset(page.unit) + std::uint64_t{page.page} * kPageSize,
                kPageSize, 0xFF);
  }
  return bytes;
}

// The dump's sidecar: the unreadable pages and the write-protect tab.
inline std::string DumpSidecarOf(const PlantedCard& planted) {
  card::FaultPlan sidecar;
  sidecar.unreadablePages = planted.plan.unreadablePages;
  sidecar.writeProtected = planted.plan.writeProtected;
  return card::FormatFaultPlan(sidecar);
}

}  // namespace planted
