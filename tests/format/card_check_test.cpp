// The independent card check: silent on a freshly formatted card, and each
// kind of fault it reports caught on a card where it was planted.
#include <gtest/gtest.h>

#include <functional>
#include <ostream>

#include "card/card_check.h"
#include "card/firmware.h"
#include "card/page_format.h"
#include "engine/byte_order.h"
#include "tests/format/format_bench.h"

namespace {

using namespace formattest;
using Kind = card::CardFaultKind;

constexpr std::uint32_t kPages = 8;  // pages per block of a 1 MB card

std::vector<Kind> Kinds(const card::CardCheck& check) {
  std::vector<Kind> kinds;
  for (const card::CardFault& fault : check.faults) kinds.push_back(fault.kind);
  return kinds;
}

std::string Lines(const card::CardCheck& check) { return ::testing::PrintToString(check.Report()); }

// Clears bits of a page: `mask` is ANDed into byte `offset`, as NAND programming does.
void ClearBits(card::Nand& nand, std::uint32_t page, std::size_t offset, std::uint8_t mask) {
  ASSERT_TRUE(nand.Program(0, page, offset, &mask, 1));
}

// The first page of the block that holds logical block `lba`.
std::uint32_t FirstPageOf(card::Card& card, std::uint32_t lba) {
  const auto where = card::Firmware(card.Media()).Locate(lba);
  EXPECT_TRUE(where);
  return where ? where->block * kPages : 0;
}

void WriteLogical(card::Card& card, std::uint64_t sector) {
  card::Firmware firmware(card.Media());
  std::vector<std::uint8_t> junk(kSectorSize, 0x5A);
  ASSERT_TRUE(firmware.WriteSectors(sector, 1, junk.data()));
}

constexpr std::size_t kMbrSignature = 510;  // 0x55 there
constexpr std::size_t kAddress1Low = kSectorSize + 7, kAddress2Low = kSectorSize + 12;

struct PlantCase {
  const char* name;
  std::function<void(card::Card&)> plant;
  std::vector<Kind> kinds;
  std::vector<Kind> quickKinds;  // what a quick check finds (a fresh format's check reads every page)
  bool freshFormat = false;
  bool cardSound = false;  // what it finds are differences from the layout a format mends, not faults of the card
};

void PrintTo(const PlantCase& c, std::ostream* os) { *os << c.name; }

class CheckFinds : public ::testing::TestWithParam<PlantCase> {};

TEST_P(CheckFinds, ThePlantedFault) {
  Bench bench(CardOptions(Standard("1M"), true, {{0, 9}}));
  ASSERT_EQ(bench.Format(), 1);
  const card::CardCheck before = card::CheckCard(bench.card->Media(), {true});
  ASSERT_TRUE(before.Passed()) << Lines(before);
  EXPECT_EQ(before.cisBlock, std::optional<std::uint32_t>(0));
  EXPECT_TRUE(before.layoutPresent);

  GetParam().plant(*bench.card);
  const card::CardCheck after = card::CheckCard(bench.card->Media(), {GetParam().freshFormat});
  EXPECT_EQ(Kinds(after), GetParam().kinds) << Lines(after);
  EXPECT_FALSE(after.Passed());
  EXPECT_EQ(after.CardSound(), GetParam().cardSound) << Lines(after);
  card::ImagePages pages(bench.card->Media());
  const card::CardCheck quick = card::CheckCard(pages, {GetParam().freshFormat, false});
  EXPECT_EQ(Kinds(quick), GetParam().freshFormat ? GetParam().kinds : GetParam().quickKinds) << Lines(quick);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, CheckFinds,
    ::testing::Values(
        // A host corrects one flipped bit, so the MBR still reads right.
        PlantCase{"OneFlippedDataBit",
                  [](card::Card& c) { ClearBits(c.Media(), FirstPageOf(c, 0), kMbrSignature, 0xFE); },
                  {Kind::EccCorrectable},
                  {Kind::EccCorrectable}},
        // The MBR cannot be read: a fault of the card, but no difference from the layout.
        PlantCase{"TwoFlippedDataBits",
                  [](card::Card& c) { ClearBits(c.Media(), FirstPageOf(c, 0), kMbrSignature, 0xFA); },
                  {Kind::EccUncorrectable},
                  {Kind::EccUncorrectable}},
        PlantCase{"FlippedEccBit",
                  // Sector 1 is zeros, whose ECC is FF FF FF.
                  [](card::Card& c) { ClearBits(c.Media(), FirstPageOf(c, 0) + 1, kSectorSize + 13, 0x7F); },
                  {Kind::EccCorrectable},
                  {Kind::EccCorrectable}},
        // 0x1001 (logical block 0) becomes 0x1000 in both copies: odd parity.
        PlantCase{"AddressWithBadParity",
                  [](card::Card& c) {
                    const std::uint32_t page = FirstPageOf(c, 0) + 1;
                    ClearBits(c.Media(), page, kAddress1Low, 0xFE);
                    ClearBits(c.Media(), page, kAddress2Low, 0xFE);
                  },
                  {Kind::AddressInvalid},
                  {}},
        PlantCase{"AddressCopiesDiffer",
                  [](card::Card& c) { ClearBits(c.Media(), FirstPageOf(c, 0) + 2, kAddress2Low, 0xFE); },
                  {Kind::AddressCopiesDiffer},
                  {}},
        // An erased block programmed as a second home of logical block 0.
        PlantCase{"DuplicateLogicalBlock",
                  [](card::Card& c) {
                    constexpr std::uint32_t kSpare = 250;
                    ASSERT_TRUE(c.Media().IsErased(0, kSpare));
                    std::vector<std::uint8_t> page(kPageSize, 0x00);
                    const RedundantArea area = card::LogicalRedundant(0, page.data());
                    std::copy(area.begin(), area.end(), page.begin() + kSectorSize);
                    ASSERT_TRUE(c.Media().Program(0, kSpare * kPages, 0, page.data(), page.size()));
                  },
                  {Kind::DuplicateLogicalBlock},
                  {Kind::DuplicateLogicalBlock}},
        // The CIS page as formats before the ECC was written left it.
        PlantCase{"CisWithZeroEcc",
                  [](card::Card& c) {
                    const PageBuffer old = card::ZeroEccCisPage();
                    ASSERT_TRUE(c.Media().Program(0, 0, 0, old.data(), old.size()));
                  },
                  {Kind::EccUncorrectable, Kind::EccUncorrectable},
                  {Kind::EccUncorrectable, Kind::EccUncorrectable}},
        PlantCase{"CisSecondCopyBroken",
                  [](card::Card& c) { ClearBits(c.Media(), 0, 256, 0xFE); },
                  {Kind::CisMalformed, Kind::EccCorrectable},
                  {Kind::CisMalformed, Kind::EccCorrectable}},
        PlantCase{"CisErased",
                  [](card::Card& c) { ASSERT_TRUE(c.Media().Erase(0, 0)); },
                  {Kind::CisMissing},
                  {Kind::CisMissing},
                  false,
                  true},
        // Hosts look for the CIS only in the first 6 blocks of a unit of 256.
        PlantCase{"NoGoodBlockWhereHostsLookForTheCis",
                  [](card::Card& c) {
                    for (std::uint32_t b = 0; b < 6; ++b) c.Media().MarkBad(0, b);
                  },
                  {Kind::CisMissing},
                  {Kind::CisMissing}},
        PlantCase{
            "RootDirectoryChanged", [](card::Card& c) { WriteLogical(c, 20); }, {Kind::LayoutDiffers}, {}, true, true},
        // Data beyond the file system: no fault on a card in use, one on a card just formatted.
        PlantCase{"DataAfterTheFileSystem",
                  [](card::Card& c) { WriteLogical(c, 1500); },
                  {Kind::DataOutsideFileSystem},
                  {},
                  true,
                  true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CheckFinds, NothingWrongWithDataOnACardInUse) {
  Bench bench(CardOptions(Standard("1M"), true));
  ASSERT_EQ(bench.Format(), 1);
  WriteLogical(*bench.card, 1500);
  EXPECT_TRUE(card::CheckCard(bench.card->Media()).Passed());
}

TEST(CheckFinds, AnErasedCardHoldsNoFileSystem) {
  auto card = card::CreateCard(CardOptions(Standard("2M"), true));
  ASSERT_TRUE(card);
  const card::CardCheck check = card::CheckCard(card.card->Media());
  EXPECT_EQ(check.cisBlock, std::optional<std::uint32_t>(0));
  EXPECT_FALSE(check.layoutPresent);
  ASSERT_FALSE(check.faults.empty());
  EXPECT_EQ(card::Describe(check.faults[0]), "the file system differs from its layout: MBR, sector 0");
}

}  // namespace
