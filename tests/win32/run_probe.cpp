// Misbehaves on purpose, as its argument says, after a first test passed.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace {

std::string mode;

void PageFault() { *static_cast<volatile int*>(nullptr) = 1; }

TEST(RunProbe, Passes) { SUCCEED(); }

TEST(RunProbe, Misbehaves) {
  if (mode == "page-fault") PageFault();
  if (mode == "exit") std::exit(0);
  if (mode == "crash-at-exit") std::atexit(PageFault);
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (argc > 1) mode = argv[1];
  return RUN_ALL_TESTS();
}
