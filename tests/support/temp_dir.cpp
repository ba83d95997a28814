#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <cstdlib>

TempDir::TempDir() {
  const char* root = std::getenv("SMFORMAT_TEST_TMP");
  const std::filesystem::path base =
      root && *root ? std::filesystem::path(root) : std::filesystem::temp_directory_path();
  const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string name = test ? std::string(test->test_suite_name()) + "." + test->name() : "smformat";
  for (char& c : name) {
    if (c == '/' || c == '\\' || c == ':') c = '_';
  }
  path = base / name;
  std::filesystem::remove_all(path);
  std::filesystem::create_directories(path);
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path, ignored);
}
