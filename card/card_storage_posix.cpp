// The image file on a POSIX system. Reads come from a few windows of the
// file mapped into memory, read-only: a scan of the card touches the bytes
// it needs and copies none. Writes go through pwrite, gathered: the changes
// of a command that follow each other become one write at its end, and the
// erases of consecutive blocks one write per kMaxFillRun bytes. (Stores into
// a shared mapping would cost the file system a journal entry per page,
// several times the cost of the same bytes written.) Only the windows in use
// and the two gathering buffers take memory, whatever the card's size.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "card/card_storage.h"

namespace card {

namespace {

constexpr std::uint64_t kWindowBytes = std::uint64_t{2} << 20;
// A logical write touches the old and the new block of a zone, which can lie
// far apart: a few windows keep both mapped.
constexpr std::size_t kWindows = 4;
// The longest run of changes gathered into one write.
constexpr std::size_t kMaxChangeRun = CardStorage::kMaxFillRun + CardStorage::kMaxSpan;

struct Run {
  std::uint64_t start = 0;
  std::size_t length = 0;
  bool Overlaps(std::uint64_t offset, std::size_t span) const {
    return length != 0 && offset < start + length && start < offset + span;
  }
  std::uint64_t End() const { return start + length; }
};

class PosixFileStorage : public CardStorage {
 public:
  PosixFileStorage(std::string path_, int fd_, std::uint64_t size_, bool writable_)
      : path(std::move(path_)), fd(fd_), size(size_), writable(writable_) {}
  ~PosixFileStorage() override {
    Flush();
    for (const Window& window : windows) munmap(window.bytes, window.length);
    close(fd);
  }

  std::uint64_t Size() const override { return size; }
  bool Writable() const override { return writable; }

  const std::uint8_t* Read(std::uint64_t offset, std::size_t length) override {
    if ((changed.Overlaps(offset, length) || filled.Overlaps(offset, length)) && !Flush()) return nullptr;
    return Map(offset, length);
  }

  std::uint8_t* Change(std::uint64_t offset, std::size_t length) override {
    // Pending erases go first: the file then always holds the card as it
    // was after some command.
    if (!CheckWritable() || !WriteFill()) return nullptr;
    changedInCommand = true;
    const bool extends = changed.length != 0 && offset >= changed.start && offset <= changed.End() &&
                         offset + length - changed.start <= kMaxChangeRun;
    if (!extends) {
      if (!WriteChange()) return nullptr;
      changed = Run{offset, 0};
    }
    if (offset + length > changed.End()) {
      const std::uint64_t from = changed.End();
      const auto more = static_cast<std::size_t>(offset + length - from);
      const std::uint8_t* current = Map(from, more);
      if (current == nullptr) return nullptr;
      changes.resize(kMaxChangeRun);
      std::memcpy(changes.data() + changed.length, current, more);
      changed.length += more;
    }
    return changes.data() + (offset - changed.start);
  }

  bool Fill(std::uint64_t offset, std::size_t length, std::uint8_t value) override {
    if (!CheckWritable() || !WriteChange()) return false;
    const bool extends =
        filled.length != 0 && value == fillValue && offset == filled.End() && filled.length + length <= kMaxFillRun;
    if (!extends) {
      if (!WriteFill()) return false;
      filled = Run{offset, 0};
      fillValue = value;
    }
    filled.length += length;
    return true;
  }

  // Only a command that did nothing but erase may leave its erases waiting:
  // the erase of the old block of a logical write must reach the file with
  // the new block, or a crash could bring the old copy back.
  bool Commit() override {
    if (std::exchange(changedInCommand, false)) return Flush();
    return WriteChange() && Error().empty();
  }
  bool Flush() override { return WriteChange() && WriteFill() && Error().empty(); }

 private:
  struct Window {
    std::uint64_t base = 0;
    std::size_t length = 0;
    std::uint8_t* bytes = nullptr;
  };

  bool CheckWritable() {
    if (writable) return Error().empty();
    Fail(path + ": opened for reading only");
    return false;
  }

  const std::uint8_t* Map(std::uint64_t offset, std::size_t length) {
    for (std::size_t i = 0; i < windows.size(); ++i) {
      const Window window = windows[i];
      if (offset >= window.base && offset + length <= window.base + window.length) {
        std::rotate(windows.begin(), windows.begin() + static_cast<std::ptrdiff_t>(i),
                    windows.begin() + static_cast<std::ptrdiff_t>(i) + 1);
        return window.bytes + (offset - window.base);
      }
    }
    Window window;
    window.base = offset / kWindowBytes * kWindowBytes;
    const std::uint64_t end = std::min(size, std::max(window.base + kWindowBytes, offset + length));
    window.length = static_cast<std::size_t>(end - window.base);
    void* mapped = mmap(nullptr, window.length, PROT_READ, MAP_SHARED, fd, static_cast<off_t>(window.base));
    if (mapped == MAP_FAILED) {
      Fail(path + ": cannot map the image: " + SystemText(errno));
      return nullptr;
    }
    window.bytes = static_cast<std::uint8_t*>(mapped);
    if (windows.size() == kWindows) {
      munmap(windows.back().bytes, windows.back().length);
      windows.pop_back();
    }
    windows.insert(windows.begin(), window);
    return window.bytes + (offset - window.base);
  }

  bool WriteAt(const std::uint8_t* bytes, std::size_t length, std::uint64_t offset) {
    while (length != 0) {
      const ssize_t written = pwrite(fd, bytes, length, static_cast<off_t>(offset));
      if (written < 0 && errno == EINTR) continue;
      if (written <= 0) {
        Fail(path + ": cannot write the image: " + SystemText(written < 0 ? errno : ENOSPC));
        return false;
      }
      bytes += written;
      length -= static_cast<std::size_t>(written);
      offset += static_cast<std::uint64_t>(written);
    }
    return true;
  }

  bool WriteChange() {
    if (changed.length == 0) return true;
    const Run run = std::exchange(changed, Run{});
    return WriteAt(changes.data(), run.length, run.start);
  }

  bool WriteFill() {
    if (filled.length == 0) return true;
    const Run run = std::exchange(filled, Run{});
    if (fillBytes.size() != kMaxFillRun || fillBytes.front() != fillValue) fillBytes.assign(kMaxFillRun, fillValue);
    return WriteAt(fillBytes.data(), run.length, run.start);
  }

  std::string path;
  int fd;
  std::uint64_t size;
  bool writable;
  std::vector<Window> windows;  // the most recently used first
  Run changed;                  // changes gathered in `changes`, not yet written
  std::vector<std::uint8_t> changes;
  bool changedInCommand = false;  // Change was called since the last Commit
  Run filled;                     // fills of `fillValue` not yet written
  std::uint8_t fillValue = 0;
  std::vector<std::uint8_t> fillBytes;
};

// A write into a hole of a sparse file needs a disk block; reserving the
// blocks up front reports a full disk when the card is opened.
std::string ReserveBlocks(int fd, std::uint64_t size) {
#ifdef __linux__
  if (size != 0 && fallocate(fd, 0, 0, static_cast<off_t>(size)) != 0 && errno != EOPNOTSUPP && errno != ENOSYS) {
    return SystemText(errno);
  }
#else
  (void)fd;
  (void)size;
#endif
  return "";
}

class FlockImageLock : public ImageLock {
 public:
  explicit FlockImageLock(int fd_) : fd(fd_) {}
  ~FlockImageLock() override { close(fd); }

 private:
  int fd;
};

}  // namespace

ImageLockResult LockImage(const std::string& path, Access access) {
  // A descriptor of its own: the lock lasts until it is closed.
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return {};  // the image's own opening says why
  if (flock(fd, (access == Access::ReadWrite ? LOCK_EX : LOCK_SH) | LOCK_NB) == 0) {
    return {std::make_unique<FlockImageLock>(fd), ""};
  }
  const int code = errno;
  close(fd);
  if (code != EWOULDBLOCK) return {};
  return {nullptr, ImageInUseText(path)};
}

StorageOpen OpenFileStorage(const std::string& path, Access access) {
  const bool writable = access == Access::ReadWrite;
  const int fd = open(path.c_str(), (writable ? O_RDWR : O_RDONLY) | O_CLOEXEC);
  if (fd < 0) {
    return StorageOpen{nullptr, path + ": cannot open the image" + (writable ? " for reading and writing" : "") + ": " +
                                    SystemText(errno)};
  }
  struct stat info {};
  std::string problem;
  if (fstat(fd, &info) != 0) {
    problem = "cannot tell the image's size: " + SystemText(errno);
  } else if (writable) {
    const std::string reserve = ReserveBlocks(fd, static_cast<std::uint64_t>(info.st_size));
    if (!reserve.empty()) problem = "cannot reserve the image's disk space: " + reserve;
  }
  if (!problem.empty()) {
    close(fd);
    return StorageOpen{nullptr, path + ": " + problem};
  }
  return StorageOpen{std::make_unique<PosixFileStorage>(path, fd, static_cast<std::uint64_t>(info.st_size), writable),
                     ""};
}

}  // namespace card
