#include <gtest/gtest.h>

#include <vector>

#include "card/page_format.h"
#include "tests/sim/sim_bench.h"

namespace {

struct EccCase {
  const char* name;
  std::vector<std::pair<std::size_t, std::uint8_t>> bytes;  // set on a zero chunk (all others 0x00)
  card::Ecc expected;
};

// Known answers of the SmartMedia ECC. Erased data gives FF FF FF; the
// column-parity byte of a single byte follows Toshiba's published CP0-CP5
// table (0x01 -> 0x55, 0x03 -> 0x03, 0x05 -> 0x0C, 0x07 -> 0x5A: bit 6 is
// the byte's parity, bits 5-0 CP5..CP0); a single byte of odd parity at
// index i sets LP(2k+1) for the bits k set in i and LP(2k) for the others.
class EccKnownAnswer : public ::testing::TestWithParam<EccCase> {};

TEST_P(EccKnownAnswer, Matches) {
  std::vector<std::uint8_t> chunk(card::kEccChunk, 0x00);
  for (auto [index, value] : GetParam().bytes) chunk[index] = value;
  EXPECT_EQ(card::SmartMediaEcc(chunk.data()), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Vectors, EccKnownAnswer,
                         ::testing::Values(EccCase{"AllZero", {}, {0xFF, 0xFF, 0xFF}},
                                           EccCase{"Byte01AtIndex0", {{0, 0x01}}, {0xAA, 0xAA, 0xAB}},
                                           EccCase{"Byte03AtIndex0", {{0, 0x03}}, {0xFF, 0xFF, 0xF3}},
                                           EccCase{"Byte05AtIndex0", {{0, 0x05}}, {0xFF, 0xFF, 0xCF}},
                                           EccCase{"Byte07AtIndex0", {{0, 0x07}}, {0xAA, 0xAA, 0x97}},
                                           EccCase{"Byte80AtIndex255", {{255, 0x80}}, {0x55, 0x55, 0x57}},
                                           EccCase{"Byte01AtIndex5A", {{0x5A, 0x01}}, {0x66, 0x99, 0xAB}},
                                           EccCase{
                                               "EvenBytesPairedCancel", {{7, 0x3C}, {200, 0x3C}}, {0xFF, 0xFF, 0xFF}}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Ecc, ErasedDataGivesErasedEcc) {
  std::vector<std::uint8_t> chunk(card::kEccChunk, 0xFF);
  EXPECT_EQ(card::SmartMediaEcc(chunk.data()), (card::Ecc{0xFF, 0xFF, 0xFF}));
}

// The defining property of the code: flipping data bit b of byte i changes
// exactly LP(2k+1) for the bits k set in i and LP(2k) for the others, and
// CP(2j+1) / CP(2j) likewise for the bits j of b, so the syndrome names the
// flipped bit.
TEST(Ecc, EverySingleBitFlipNamesItsPosition) {
  std::vector<std::uint8_t> chunk = simtest::Pattern(card::kEccChunk, 7);
  const card::Ecc base = card::SmartMediaEcc(chunk.data());
  for (unsigned index = 0; index < card::kEccChunk; ++index) {
    for (unsigned bit = 0; bit < 8; ++bit) {
      chunk[index] ^= static_cast<std::uint8_t>(1u << bit);
      const card::Ecc flipped = card::SmartMediaEcc(chunk.data());
      chunk[index] ^= static_cast<std::uint8_t>(1u << bit);
      const unsigned lines = static_cast<unsigned>((base[0] ^ flipped[0]) | ((base[1] ^ flipped[1]) << 8));
      const unsigned columns = static_cast<unsigned>((base[2] ^ flipped[2]) >> 2);
      unsigned expectedLines = 0;
      for (unsigned k = 0; k < 8; ++k) expectedLines |= 1u << (2 * k + ((index >> k) & 1u));
      unsigned expectedColumns = 0;
      for (unsigned j = 0; j < 3; ++j) expectedColumns |= 1u << (2 * j + ((bit >> j) & 1u));
      ASSERT_EQ(lines, expectedLines) << "byte " << index << " bit " << bit;
      ASSERT_EQ(columns, expectedColumns) << "byte " << index << " bit " << bit;
      ASSERT_EQ(flipped[2] & 0x03, 0x03);
    }
  }
}

struct AddressCase {
  std::uint16_t lba;
  std::uint16_t word;
};

class BlockAddress : public ::testing::TestWithParam<AddressCase> {};

TEST_P(BlockAddress, EncodesWithEvenParityAndDecodesBack) {
  const auto [lba, word] = GetParam();
  EXPECT_EQ(card::EncodeBlockAddress(lba), word);
  EXPECT_EQ(card::DecodeBlockAddress(word), lba);
  EXPECT_FALSE(card::DecodeBlockAddress(word ^ 0x0001)) << "odd parity must be refused";
}

// 0x1000 | lba << 1, plus 1 when that has an odd bit count.
INSTANTIATE_TEST_SUITE_P(Words, BlockAddress,
                         ::testing::Values(AddressCase{0, 0x1001}, AddressCase{1, 0x1002}, AddressCase{2, 0x1004},
                                           AddressCase{3, 0x1007}, AddressCase{255, 0x11FF}, AddressCase{500, 0x13E9},
                                           AddressCase{999, 0x17CF}));

TEST(BlockAddress, RefusesWordsWithoutTheFixedBits) {
  for (std::uint16_t word : {0x0000, 0xFFFF, 0x0003, 0x3001, 0x9001}) {
    EXPECT_FALSE(card::DecodeBlockAddress(word)) << std::hex << word;
  }
}

TEST(CisPage, HasTheImageTwiceAndTheFixedRedundantBytes) {
  const PageBuffer page = card::CisPage();
  const std::vector<std::uint8_t> signature = {0x01, 0x03, 0xD9, 0x01, 0xFF, 0x18, 0x02, 0xDF, 0x01, 0x20};
  EXPECT_TRUE(std::equal(signature.begin(), signature.end(), page.begin()));
  EXPECT_EQ(page[109], 0xFF) << "end of the tuple chain";
  EXPECT_EQ(page[106], 0xFF) << "end of the version-1 strings";
  for (std::size_t i = 0; i < 112; ++i) ASSERT_EQ(page[256 + i], page[i]) << i;
  for (std::size_t i = 110; i < 256; ++i) ASSERT_EQ(page[i], 0) << i;
  for (std::size_t i = 256 + 110; i < 512; ++i) ASSERT_EQ(page[i], 0) << i;
  // Status bytes 0xFF, block addresses zero, and the ECC of each half (the
  // image, then zeros): 0C CC C3, as the firmware computes it for any page.
  const std::vector<std::uint8_t> redundant = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00,
                                               0x0C, 0xCC, 0xC3, 0x00, 0x00, 0x0C, 0xCC, 0xC3};
  EXPECT_TRUE(std::equal(redundant.begin(), redundant.end(), page.begin() + 512));
  EXPECT_EQ(card::SmartMediaEcc(page.data()), (card::Ecc{0x0C, 0xCC, 0xC3}));
  EXPECT_EQ(card::SmartMediaEcc(page.data() + 256), (card::Ecc{0x0C, 0xCC, 0xC3}));
  EXPECT_TRUE(card::IsCisPage(page.data()));
  EXPECT_TRUE(card::IsCisPage(card::ZeroEccCisPage().data())) << "the ECC is no part of the recognition";
}

struct CisBreak {
  const char* name;
  std::size_t offset;
  std::uint8_t value;
};

class NotACisPage : public ::testing::TestWithParam<CisBreak> {};

TEST_P(NotACisPage, IsRefused) {
  PageBuffer page = card::CisPage();
  page[GetParam().offset] = GetParam().value;
  EXPECT_FALSE(card::IsCisPage(page.data()));
}

INSTANTIATE_TEST_SUITE_P(Breaks, NotACisPage,
                         ::testing::Values(CisBreak{"SignatureAt0", 9, 0x21}, CisBreak{"SignatureAt256", 256, 0x00},
                                           CisBreak{"DataStatus", 512 + 4, 0x00},
                                           CisBreak{"BlockStatus", 512 + 5, 0xF0},
                                           CisBreak{"AddressByte6", 512 + 6, 0x10},
                                           CisBreak{"AddressByte12", 512 + 12, 0x01}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
