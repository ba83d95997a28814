// The dialog tests run on a desktop of their own (see private_desktop.h).
#include <gtest/gtest.h>

#include "tests/gui/private_desktop.h"

int main(int argc, char** argv) {
  if (const auto status = RelaunchOnPrivateDesktop("smformat-gui-tests-")) return *status;
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
