#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "engine/cis.h"
#include "engine/page_layout.h"
#include "tests/support/null_reader.h"
#include "tests/support/recording_host.h"

namespace {

PageBuffer CisPage() {
  PageBuffer page{};
  std::copy(CisImage.begin(), CisImage.end(), page.begin());
  std::copy(CisImage.begin(), CisImage.end(), page.begin() + 256);
  std::fill_n(page.begin() + 512, 6, 0xFF);
  return page;
}

struct CisPageCase {
  const char* name;
  std::function<void(PageBuffer&)> change;
  int expected;
};

class IsCisPageTest : public ::testing::TestWithParam<CisPageCase> {};

TEST_P(IsCisPageTest, Recognises) {
  RecordingHost host;
  NullReader reader(host);
  PageBuffer page = CisPage();
  GetParam().change(page);
  EXPECT_EQ(reader.IsCisPage(page), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Pages, IsCisPageTest,
                         ::testing::Values(CisPageCase{"Written", [](PageBuffer&) {}, 1},
                                           // Only the signature counts, not the rest of the image.
                                           CisPageCase{"OtherTuplesAfterSignature",
                                                       [](PageBuffer& p) {
                                                         p[10] = 0x77;
                                                         p[300] = 0;
                                                       },
                                                       1},
                                           CisPageCase{"SignatureOnlyAtZero", [](PageBuffer& p) { p[256 + 9] = 0x21; },
                                                       0},
                                           CisPageCase{"SignatureOnlyAt256", [](PageBuffer& p) { p[0] = 0x02; }, 0},
                                           CisPageCase{"BadBlock", [](PageBuffer& p) { p[512 + 5] = 0x00; }, 0},
                                           CisPageCase{"DataStatusClear", [](PageBuffer& p) { p[512 + 4] = 0x00; }, 0},
                                           CisPageCase{"AddressByte6", [](PageBuffer& p) { p[512 + 6] = 0x10; }, 0},
                                           CisPageCase{"AddressByte7", [](PageBuffer& p) { p[512 + 7] = 0x01; }, 0},
                                           CisPageCase{"AddressByte11", [](PageBuffer& p) { p[512 + 11] = 0x10; }, 0},
                                           CisPageCase{"AddressByte12", [](PageBuffer& p) { p[512 + 12] = 0x01; }, 0},
                                           // ECC bytes are not part of the test.
                                           CisPageCase{"EccBytesIgnored",
                                                       [](PageBuffer& p) {
                                                         p[512 + 8] = 0x5A;
                                                         p[512 + 15] = 0xA5;
                                                       },
                                                       1},
                                           CisPageCase{"Erased", [](PageBuffer& p) { p.fill(0xFF); }, 0}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(CisImage, IsTheTupleChainEndingAtOffset109) {
  // Walk the tuples: code, link, link bytes; the chain ends at the FF code.
  std::size_t offset = 0;
  int tuples = 0;
  while (CisImage[offset] != 0xFF) {
    offset += 2 + CisImage[offset + 1];
    ++tuples;
    ASSERT_LT(offset, CisImage.size());
  }
  EXPECT_EQ(offset, 109u);
  EXPECT_EQ(tuples, 13);
  EXPECT_EQ(CisImage[110], 0x00);
  EXPECT_EQ(CisImage[111], 0x00);
  EXPECT_TRUE(std::equal(CisSignature.begin(), CisSignature.end(), CisImage.begin()));
}

}  // namespace
