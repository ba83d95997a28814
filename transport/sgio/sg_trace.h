// An SgSystem that logs what passes through it to a CommandTrace: every
// SG_IO request (command block, direction, length, timeout, status, sense,
// the kernel's duration), opens of device nodes and files, the block reads
// and writes of a logical format, and the other device controls. The
// system's answers go back to the caller unchanged.
#pragma once

#include <map>
#include <string>

#include "transport/command_trace.h"
#include "transport/sgio/sg_system.h"

class TracingSgSystem : public SgSystem {
 public:
  TracingSgSystem(SgSystem& inner, CommandTrace& trace);

  int Open(const std::string& path, int flags) override;
  int Close(int fd) override;
  int Ioctl(int fd, unsigned long request, void* argument) override;
  long ReadAt(int fd, void* buffer, std::size_t length, std::uint64_t offset) override;
  long WriteAt(int fd, const void* buffer, std::size_t length, std::uint64_t offset) override;
  int Sync(int fd) override;
  NodeStatus Status(const std::string& path) override { return inner.Status(path); }
  NodeStatus StatusOf(int fd) override { return inner.StatusOf(fd); }
  std::vector<std::string> ListDirectory(const std::string& path) override { return inner.ListDirectory(path); }
  std::optional<std::string> ReadText(const std::string& path) override { return inner.ReadText(path); }
  std::optional<std::string> ResolvePath(const std::string& path) override { return inner.ResolvePath(path); }

 private:
  std::string NameOf(int fd) const;
  void NoteTransfer(const char* what, int fd, std::size_t length, std::uint64_t offset, long result);

  SgSystem& inner;
  CommandTrace& trace;
  std::map<int, std::string> names;  // open descriptors and what they opened
};

// "read-write exclusive non-blocking"
std::string OpenFlagsText(int flags);
