// The pass-through backend lays its requests out from the platform's own
// structures; these checks pin what the headers give on each architecture and
// that the API and the C++ runtime work under the cross builds.

// <windows.h> first: the other two rely on its types.
#include <windows.h>

#include <ntddscsi.h>
#include <winioctl.h>

#include <process.h>

#include <gtest/gtest.h>

#include "transport/win32/platform_version.h"

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

// Request header layout: 44 bytes on 32-bit Windows; on 64-bit Windows the
// data buffer offset (ULONG_PTR) and the pointer of the direct variant are
// 8 bytes wide and 8-aligned, which moves everything after them.
#if defined(_WIN64)
static_assert(sizeof(void*) == 8);
static_assert(sizeof(SCSI_PASS_THROUGH) == 56);
static_assert(sizeof(SCSI_PASS_THROUGH_DIRECT) == 56);
static_assert(offsetof(SCSI_PASS_THROUGH, DataBufferOffset) == 24);
static_assert(offsetof(SCSI_PASS_THROUGH, SenseInfoOffset) == 32);
static_assert(offsetof(SCSI_PASS_THROUGH, Cdb) == 36);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, DataBuffer) == 24);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, SenseInfoOffset) == 32);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, Cdb) == 36);
#else
static_assert(sizeof(void*) == 4);
static_assert(sizeof(SCSI_PASS_THROUGH) == 44);
static_assert(sizeof(SCSI_PASS_THROUGH_DIRECT) == 44);
static_assert(offsetof(SCSI_PASS_THROUGH, DataBufferOffset) == 20);
static_assert(offsetof(SCSI_PASS_THROUGH, SenseInfoOffset) == 24);
static_assert(offsetof(SCSI_PASS_THROUGH, Cdb) == 28);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, DataBuffer) == 20);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, SenseInfoOffset) == 24);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, Cdb) == 28);
#endif

// The fields in front of the first pointer-sized one are the same everywhere.
static_assert(offsetof(SCSI_PASS_THROUGH, Length) == 0);
static_assert(offsetof(SCSI_PASS_THROUGH, PathId) == 3);
static_assert(offsetof(SCSI_PASS_THROUGH, TargetId) == 4);
static_assert(offsetof(SCSI_PASS_THROUGH, CdbLength) == 6);
static_assert(offsetof(SCSI_PASS_THROUGH, SenseInfoLength) == 7);
static_assert(offsetof(SCSI_PASS_THROUGH, DataIn) == 8);
static_assert(offsetof(SCSI_PASS_THROUGH, DataTransferLength) == 12);
static_assert(offsetof(SCSI_PASS_THROUGH, TimeOutValue) == 16);
static_assert(sizeof(SCSI_PASS_THROUGH::Cdb) == 16);

// Control codes and direction codes the backend sends.
static_assert(IOCTL_SCSI_PASS_THROUGH == 0x4D004);
static_assert(IOCTL_SCSI_PASS_THROUGH_DIRECT == 0x4D014);
static_assert(FSCTL_LOCK_VOLUME == 0x90018);
static_assert(FSCTL_UNLOCK_VOLUME == 0x9001C);
static_assert(FSCTL_DISMOUNT_VOLUME == 0x90020);
static_assert(SCSI_IOCTL_DATA_OUT == 0 && SCSI_IOCTL_DATA_IN == 1 && SCSI_IOCTL_DATA_UNSPECIFIED == 2);

struct MissingPathCase {
  const char* name;
  const char* path;
  DWORD error;
};

class CreateFileOnMissingPath : public ::testing::TestWithParam<MissingPathCase> {};

TEST_P(CreateFileOnMissingPath, FailsWithInvalidHandleAndTheError) {
  HANDLE handle = CreateFileA(GetParam().path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
  const DWORD error = GetLastError();
  if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
  EXPECT_EQ(handle, INVALID_HANDLE_VALUE);
  EXPECT_EQ(error, GetParam().error);
}

INSTANTIATE_TEST_SUITE_P(Paths, CreateFileOnMissingPath,
                         ::testing::Values(MissingPathCase{"File", "C:\\smformat-missing.bin", ERROR_FILE_NOT_FOUND},
                                           MissingPathCase{"Folder", "C:\\smformat-missing\\card.bin",
                                                           ERROR_PATH_NOT_FOUND}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Win32Platform, DeviceIoControlOnAnInvalidHandleFails) {
  SCSI_PASS_THROUGH request{};
  request.Length = sizeof(request);
  DWORD returned = 0;
  EXPECT_FALSE(DeviceIoControl(INVALID_HANDLE_VALUE, IOCTL_SCSI_PASS_THROUGH, &request, sizeof(request), &request,
                               sizeof(request), &returned, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

// The job runs on a thread started as the dialog starts it and stops through
// an atomic flag; a local static is made once (on app/runtime's semaphores).
std::atomic<int> rounds{0};
std::atomic<int> staticsMade{0};

unsigned __stdcall CountRounds(void*) {
  static const int made = staticsMade.fetch_add(1) + 1;
  for (int i = 0; i < 10000; ++i) rounds.fetch_add(1);
  return static_cast<unsigned>(made);
}

TEST(Win32Platform, ThreadsAtomicsAndStaticsWork) {
  std::vector<HANDLE> threads;
  for (int t = 0; t < 4; ++t) {
    unsigned id = 0;
    threads.push_back(reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, CountRounds, nullptr, 0, &id)));
    ASSERT_NE(threads.back(), nullptr);
    EXPECT_NE(id, 0u);
  }
  for (HANDLE thread : threads) {
    DWORD made = 0;
    EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
    EXPECT_TRUE(GetExitCodeThread(thread, &made) && made == 1);
    CloseHandle(thread);
  }
  EXPECT_EQ(rounds.load(), 40000);
  EXPECT_EQ(staticsMade.load(), 1);
}

// Card images hold every byte value; a stream opened without binary mode on
// Windows would turn 0x0A into 0x0D 0x0A and stop reading at 0x1A.
TEST(Win32Platform, BinaryFilesInTheTestFolderKeepEveryByte) {
  const char* tmp = std::getenv("SMFORMAT_TEST_TMP");
  ASSERT_NE(tmp, nullptr);
  const std::filesystem::path folder = std::filesystem::path(tmp) / "win32";
  std::filesystem::create_directories(folder);
  const std::filesystem::path file = folder / "bytes.bin";

  std::vector<char> bytes(528);
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i);
  {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(out.good());
  }
  std::vector<char> back;
  {
    std::ifstream in(file, std::ios::binary);
    back.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  EXPECT_EQ(back, bytes);
  EXPECT_EQ(std::filesystem::file_size(file), bytes.size());
  // Windows refuses to delete a file that is still open: the streams are closed by now.
  std::filesystem::remove(file);
}

// Both records come back from the system, agree, and name the NT family
// (Wine's default); a record-size mix-up would make the call fail.
TEST(Win32Platform, VersionSeamReadsBothRecords) {
  PlatformVersion extended;
  PlatformVersion basic;
  ASSERT_TRUE(SystemPlatformVersionApi().ReadExtended(extended));
  ASSERT_TRUE(SystemPlatformVersionApi().ReadBasic(basic));
  EXPECT_EQ(extended.platformId, static_cast<DWORD>(VER_PLATFORM_WIN32_NT));
  EXPECT_GE(extended.major, 5u);
  EXPECT_EQ(basic.platformId, extended.platformId);
  EXPECT_EQ(basic.major, extended.major);
  EXPECT_EQ(basic.minor, extended.minor);
  EXPECT_EQ(basic.build, extended.build);
}

}  // namespace
