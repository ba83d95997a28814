// The image file on Windows: the portable stream storage, and a lock on a
// byte far beyond the end of the file, which no read or write of the image
// ever reaches, as the advisory lock.
#include <windows.h>

#include "card/card_storage.h"

namespace card {

namespace {

constexpr DWORD kLockOffsetHigh = 0x7FFFFFFF;  // the locked byte: 2^63 - 2^32, beyond any image

class FileRangeLock : public ImageLock {
 public:
  explicit FileRangeLock(HANDLE file_) : file(file_) {}
  ~FileRangeLock() override { CloseHandle(file); }  // closing the handle releases the lock

 private:
  HANDLE file;
};

}  // namespace

StorageOpen OpenFileStorage(const std::string& path, Access access) { return OpenStreamStorage(path, access); }

ImageLockResult LockImage(const std::string& path, Access access) {
  const HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return {};  // the image's own opening says why
  OVERLAPPED at{};
  at.OffsetHigh = kLockOffsetHigh;
  const DWORD flags = (access == Access::ReadWrite ? LOCKFILE_EXCLUSIVE_LOCK : 0) | LOCKFILE_FAIL_IMMEDIATELY;
  if (LockFileEx(file, flags, 0, 1, 0, &at)) return {std::make_unique<FileRangeLock>(file), ""};
  const DWORD error = GetLastError();
  CloseHandle(file);
  if (error != ERROR_LOCK_VIOLATION && error != ERROR_IO_PENDING) return {};
  return {nullptr, ImageInUseText(path)};
}

}  // namespace card
