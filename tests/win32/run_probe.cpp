// A test program that misbehaves on purpose, in the way its one argument
// names, after a first test has passed: its CTest entries must fail, or a
// crashed or cut-short run of a real test program could pass as well.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

namespace {

const char* mode = "";

void PageFault() {
  volatile int* nowhere = nullptr;
  *nowhere = 1;
}

TEST(RunProbe, Passes) { SUCCEED(); }

TEST(RunProbe, Misbehaves) {
  if (std::strcmp(mode, "page-fault") == 0) PageFault();
  if (std::strcmp(mode, "exit") == 0) std::exit(0);
  if (std::strcmp(mode, "crash-at-exit") == 0) std::atexit(PageFault);
}

TEST(RunProbe, ComesLast) { SUCCEED(); }

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (argc > 1) mode = argv[1];
  return RUN_ALL_TESTS();
}
