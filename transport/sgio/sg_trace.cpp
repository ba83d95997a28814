#include "transport/sgio/sg_trace.h"

#include <fcntl.h>
#include <linux/fs.h>

#include <algorithm>

#include "transport/sgio/sg_request.h"

namespace {

constexpr std::uint64_t kSectorBytes = 512;

std::string Result(long result) { return result < 0 ? ErrorText(static_cast<int>(-result)) : "ok"; }

}  // namespace

std::string OpenFlagsText(int flags) {
  std::string text;
  switch (flags & O_ACCMODE) {
    case O_RDONLY:
      text = "read-only";
      break;
    case O_WRONLY:
      text = "write-only";
      break;
    default:
      text = "read-write";
      break;
  }
  if (flags & O_EXCL) text += " exclusive";
  if (flags & O_NONBLOCK) text += " non-blocking";
  return text;
}

TracingSgSystem::TracingSgSystem(SgSystem& inner_, CommandTrace& trace_) : inner(inner_), trace(trace_) {}

std::string TracingSgSystem::NameOf(int fd) const {
  const auto found = names.find(fd);
  return found != names.end() ? found->second : "fd " + std::to_string(fd);
}

int TracingSgSystem::Open(const std::string& path, int flags) {
  const int fd = inner.Open(path, flags);
  trace.Note("open " + path + " " + OpenFlagsText(flags) + " -> " + (fd < 0 ? ErrorText(-fd) : "ok"));
  if (fd >= 0) names[fd] = path;
  return fd;
}

int TracingSgSystem::Close(int fd) {
  const int result = inner.Close(fd);
  trace.Note("close " + NameOf(fd) + " -> " + Result(result));
  names.erase(fd);
  return result;
}

int TracingSgSystem::Ioctl(int fd, unsigned long request, void* argument) {
  if (request != sgio::kSgIo || argument == nullptr) {
    const int result = inner.Ioctl(fd, request, argument);
    const std::string name = request == BLKRRPART      ? "re-read partition table"
                             : request == BLKGETSIZE64 ? "size query"
                             : request == BLKFLSBUF    ? "drop cache"
                                                       : "device control " + std::to_string(request);
    trace.Note(name + " " + NameOf(fd) + " -> " + Result(result));
    return result;
  }
  auto* header = static_cast<sg_io_hdr*>(argument);
  TraceRecord record;
  record.device = NameOf(fd);
  if (header->cmdp != nullptr) record.cdb.assign(header->cmdp, header->cmdp + header->cmd_len);
  record.direction = sgio::DirectionOfDxfer(header->dxfer_direction);
  record.dataLength = header->dxfer_len;
  record.timeoutMs = header->timeout;
  const int result = inner.Ioctl(fd, request, argument);
  record.carried = result >= 0;
  if (result < 0) {
    record.refusal = ErrorText(-result);
  } else {
    record.status = header->status;
    record.hostStatus = header->host_status;
    record.driverStatus = header->driver_status;
    record.resid = header->resid;
    record.durationMs = header->duration;
    if (header->sbp != nullptr) {
      const std::size_t length = std::min<std::size_t>(header->sb_len_wr, header->mx_sb_len);
      record.sense.assign(header->sbp, header->sbp + length);
    }
  }
  trace.Command(record);
  return result;
}

void TracingSgSystem::NoteTransfer(const char* what, int fd, std::size_t length, std::uint64_t offset, long result) {
  std::string where;
  if (offset % kSectorBytes == 0 && length % kSectorBytes == 0) {
    where = "sector " + std::to_string(offset / kSectorBytes) + " count " + std::to_string(length / kSectorBytes);
  } else {
    where = "offset " + std::to_string(offset) + " length " + std::to_string(length);
  }
  trace.Note(std::string(what) + " " + NameOf(fd) + " " + where + " -> " +
             (result < 0 ? Result(result) : std::to_string(result) + " B"));
}

long TracingSgSystem::ReadAt(int fd, void* buffer, std::size_t length, std::uint64_t offset) {
  const long result = inner.ReadAt(fd, buffer, length, offset);
  NoteTransfer("read", fd, length, offset, result);
  return result;
}

long TracingSgSystem::WriteAt(int fd, const void* buffer, std::size_t length, std::uint64_t offset) {
  const long result = inner.WriteAt(fd, buffer, length, offset);
  NoteTransfer("write", fd, length, offset, result);
  return result;
}

int TracingSgSystem::Sync(int fd) {
  const int result = inner.Sync(fd);
  trace.Note("sync " + NameOf(fd) + " -> " + Result(result));
  return result;
}
