// 98 SE's msvcrt has no _fstat64, which libstdc++'s file streams ask for:
// the 32-bit programs then take _fstati64's answer (app/runtime), which must
// be _fstat64's where both are there.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <gtest/gtest.h>

#include "app/runtime/legacy_imports.h"

namespace {

TEST(LegacyRuntime, FileStatusThroughTheOlderCallIsFstat64s) {
  char self[MAX_PATH] = {};
  ASSERT_NE(GetModuleFileNameA(nullptr, self, MAX_PATH), 0u);
  const auto fstati64 = reinterpret_cast<legacy::Fstati64Call>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("msvcrt.dll"), "_fstati64")));
  ASSERT_NE(fstati64, nullptr);
  const int descriptor = _open(self, _O_RDONLY | _O_BINARY);
  ASSERT_GE(descriptor, 0);
  struct _stat64 direct {};
  struct _stat64 older {};
  ASSERT_EQ(_fstat64(descriptor, &direct), 0);
  ASSERT_EQ(legacy::Fstat64ByOlder(fstati64, descriptor, &older), 0);
  _close(descriptor);
  EXPECT_GT(older.st_size, 100000);  // this program
  EXPECT_TRUE(older.st_size == direct.st_size && older.st_mode == direct.st_mode && older.st_mtime == direct.st_mtime);
  EXPECT_EQ(legacy::Fstat64ByOlder(fstati64, -1, &older), -1) << "a descriptor that is not open";
}

}  // namespace
