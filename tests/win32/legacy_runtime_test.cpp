// 98 SE's msvcrt has no _fstat64, which every file stream of libstdc++ asks
// for: the 32-bit programs then read a file's status through _fstati64
// (app/runtime). It must give what _fstat64 gives where both are there.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "app/runtime/legacy_imports.h"

namespace {

TEST(LegacyRuntime, FileStatusThroughTheOlderCallIsFstat64s) {
  const std::string folder = std::getenv("SMFORMAT_TEST_TMP");
  std::filesystem::create_directories(folder);
  const std::string path = folder + "/legacy-fstat.bin";
  std::ofstream(path, std::ios::binary) << std::string(3 * 528, 'x');
  const auto fstati64 = reinterpret_cast<legacy::Fstati64Call>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("msvcrt.dll"), "_fstati64")));
  ASSERT_NE(fstati64, nullptr);
  const int descriptor = _open(path.c_str(), _O_RDONLY | _O_BINARY);
  ASSERT_GE(descriptor, 0);
  struct _stat64 direct {};
  struct _stat64 older {};
  ASSERT_EQ(_fstat64(descriptor, &direct), 0);
  ASSERT_EQ(legacy::Fstat64ByOlder(fstati64, descriptor, &older), 0);
  _close(descriptor);
  EXPECT_EQ(older.st_size, 3 * 528);
  EXPECT_EQ(older.st_size, direct.st_size);
  EXPECT_EQ(older.st_mode, direct.st_mode);
  EXPECT_EQ(older.st_mtime, direct.st_mtime);
  EXPECT_EQ(legacy::Fstat64ByOlder(fstati64, -1, &older), -1) << "a descriptor that is not open";
  EXPECT_EQ(legacy::Fstat64ByOlder(nullptr, descriptor, &older), -1) << "an msvcrt without either call";
}

}  // namespace
