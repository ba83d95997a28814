// Everything the Linux reader backend and the command line touch in the
// system, behind one interface: device nodes and files (open, ioctl, close,
// positioned reads and writes), the sysfs tree and /proc/self/mountinfo.
// The real implementation calls the system; tests stand a model of the
// machine's disks, USB devices and mounts in for it.
//
// Calls that fail return the negated errno value, as the system calls do
// inside the kernel, so that no caller reads a global errno.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// What stat(2) says about a path or a descriptor.
struct NodeStatus {
  enum class Kind : std::uint8_t { Missing, Regular, Block, Directory, Other };
  Kind kind = Kind::Missing;
  int error = 0;             // the errno of a failed stat, 0 otherwise
  std::uint64_t size = 0;    // bytes of a regular file
  unsigned deviceMajor = 0;  // of a block device node
  unsigned deviceMinor = 0;
};

class SgSystem {
 public:
  virtual ~SgSystem() = default;

  // open(2): a descriptor, or -errno.
  virtual int Open(const std::string& path, int flags) = 0;
  // close(2): 0 or -errno.
  virtual int Close(int fd) = 0;
  // ioctl(2): the call's non-negative result, or -errno.
  virtual int Ioctl(int fd, unsigned long request, void* argument) = 0;
  // pread(2) and pwrite(2) of the whole length (short transfers are
  // continued): the bytes moved, or -errno.
  virtual long ReadAt(int fd, void* buffer, std::size_t length, std::uint64_t offset) = 0;
  virtual long WriteAt(int fd, const void* buffer, std::size_t length, std::uint64_t offset) = 0;
  // fsync(2): 0 or -errno.
  virtual int Sync(int fd) = 0;
  virtual NodeStatus Status(const std::string& path) = 0;
  virtual NodeStatus StatusOf(int fd) = 0;

  // The names in a directory (without "." and ".."), empty when it cannot be read.
  virtual std::vector<std::string> ListDirectory(const std::string& path) = 0;
  // A small text file such as a sysfs attribute or /proc/self/mountinfo.
  virtual std::optional<std::string> ReadText(const std::string& path) = 0;
  // The path with every symbolic link resolved (realpath(3)).
  virtual std::optional<std::string> ResolvePath(const std::string& path) = 0;
};

// The implementation that makes the system calls.
class LinuxSgSystem : public SgSystem {
 public:
  int Open(const std::string& path, int flags) override;
  int Close(int fd) override;
  int Ioctl(int fd, unsigned long request, void* argument) override;
  long ReadAt(int fd, void* buffer, std::size_t length, std::uint64_t offset) override;
  long WriteAt(int fd, const void* buffer, std::size_t length, std::uint64_t offset) override;
  int Sync(int fd) override;
  NodeStatus Status(const std::string& path) override;
  NodeStatus StatusOf(int fd) override;
  std::vector<std::string> ListDirectory(const std::string& path) override;
  std::optional<std::string> ReadText(const std::string& path) override;
  std::optional<std::string> ResolvePath(const std::string& path) override;
};

// The process-wide real implementation, the default everywhere.
SgSystem& SystemSgSystem();

// The system's text for an errno value ("Permission denied").
std::string ErrorText(int error);
