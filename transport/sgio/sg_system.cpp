#include "transport/sgio/sg_system.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

namespace {

constexpr std::size_t kTextLimit = 1 << 20;  // sysfs attributes and mountinfo are far smaller

int Failed() { return -errno; }

NodeStatus FromStat(int result, const struct stat& info) {
  NodeStatus status;
  if (result != 0) {
    status.error = errno;
    return status;
  }
  if (S_ISREG(info.st_mode)) {
    status.kind = NodeStatus::Kind::Regular;
    status.size = static_cast<std::uint64_t>(info.st_size);
  } else if (S_ISBLK(info.st_mode)) {
    status.kind = NodeStatus::Kind::Block;
    status.deviceMajor = major(info.st_rdev);
    status.deviceMinor = minor(info.st_rdev);
  } else if (S_ISDIR(info.st_mode)) {
    status.kind = NodeStatus::Kind::Directory;
  } else {
    status.kind = NodeStatus::Kind::Other;
  }
  return status;
}

// Repeats a positioned transfer until the whole length has moved, the file
// ends, or the call fails.
template <typename Transfer>
long Whole(Transfer transfer, std::size_t length) {
  std::size_t done = 0;
  while (done < length) {
    const ssize_t moved = transfer(done);
    if (moved < 0) {
      if (errno == EINTR) continue;
      return Failed();
    }
    if (moved == 0) break;
    done += static_cast<std::size_t>(moved);
  }
  return static_cast<long>(done);
}

}  // namespace

std::string ErrorText(int error) { return std::strerror(error); }

int LinuxSgSystem::Open(const std::string& path, int flags) {
  const int fd = ::open(path.c_str(), flags | O_CLOEXEC);
  return fd < 0 ? Failed() : fd;
}

int LinuxSgSystem::Close(int fd) { return ::close(fd) == 0 ? 0 : Failed(); }

int LinuxSgSystem::Ioctl(int fd, unsigned long request, void* argument) {
  const int result = ::ioctl(fd, request, argument);
  return result < 0 ? Failed() : result;
}

long LinuxSgSystem::ReadAt(int fd, void* buffer, std::size_t length, std::uint64_t offset) {
  auto* bytes = static_cast<std::uint8_t*>(buffer);
  return Whole(
      [&](std::size_t done) { return ::pread(fd, bytes + done, length - done, static_cast<off_t>(offset + done)); },
      length);
}

long LinuxSgSystem::WriteAt(int fd, const void* buffer, std::size_t length, std::uint64_t offset) {
  const auto* bytes = static_cast<const std::uint8_t*>(buffer);
  return Whole(
      [&](std::size_t done) { return ::pwrite(fd, bytes + done, length - done, static_cast<off_t>(offset + done)); },
      length);
}

int LinuxSgSystem::Sync(int fd) { return ::fsync(fd) == 0 ? 0 : Failed(); }

NodeStatus LinuxSgSystem::Status(const std::string& path) {
  struct stat info {};
  return FromStat(::stat(path.c_str(), &info), info);
}

NodeStatus LinuxSgSystem::StatusOf(int fd) {
  struct stat info {};
  return FromStat(::fstat(fd, &info), info);
}

std::vector<std::string> LinuxSgSystem::ListDirectory(const std::string& path) {
  std::vector<std::string> names;
  DIR* dir = ::opendir(path.c_str());
  if (dir == nullptr) return names;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  ::closedir(dir);
  return names;
}

std::optional<std::string> LinuxSgSystem::ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::string text;
  char chunk[4096];
  while (text.size() < kTextLimit && in.read(chunk, sizeof chunk).gcount() > 0) {
    text.append(chunk, static_cast<std::size_t>(in.gcount()));
  }
  if (in.bad()) return std::nullopt;
  return text;
}

std::optional<std::string> LinuxSgSystem::ResolvePath(const std::string& path) {
  char resolved[PATH_MAX];
  if (::realpath(path.c_str(), resolved) == nullptr) return std::nullopt;
  return std::string(resolved);
}

SgSystem& SystemSgSystem() {
  static LinuxSgSystem system;
  return system;
}
