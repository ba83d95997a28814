#include "card/card_storage.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <system_error>

namespace card {

namespace {

// Bytes read into the window at once: many pages, so that a scan of the card
// costs few host reads.
constexpr std::size_t kStreamWindow = 256 * 1024;
static_assert(kStreamWindow >= CardStorage::kMaxSpan, "a span must fit the window");

class StreamStorage : public CardStorage {
 public:
  StreamStorage(std::string path_, std::fstream file_, std::uint64_t size_, bool writable_)
      : path(std::move(path_)), file(std::move(file_)), size(size_), writable(writable_) {}
  ~StreamStorage() override { WriteBack(); }

  std::uint64_t Size() const override { return size; }
  bool Writable() const override { return writable; }

  const std::uint8_t* Read(std::uint64_t offset, std::size_t length) override {
    return Hold(offset, length) ? window.data() + (offset - start) : nullptr;
  }

  std::uint8_t* Change(std::uint64_t offset, std::size_t length) override {
    if (!writable) {
      Fail(path + ": opened for reading only");
      return nullptr;
    }
    if (!Hold(offset, length)) return nullptr;
    const std::size_t from = static_cast<std::size_t>(offset - start);
    dirtyLow = std::min(dirtyLow, from);
    dirtyHigh = std::max(dirtyHigh, from + length);
    return window.data() + from;
  }

  bool Flush() override {
    if (!WriteBack()) return false;
    if (!writable) return Error().empty();
    errno = 0;
    file.flush();
    return Check("cannot write the image");
  }

 private:
  bool Check(const char* what) {
    if (file) return true;
    const int code = errno;
    file.clear();
    Fail(path + ": " + what + ": " + (code != 0 ? SystemText(code) : "the system gave no reason"));
    return false;
  }

  // Makes [offset, offset + length) part of the window.
  bool Hold(std::uint64_t offset, std::size_t length) {
    if (offset >= start && offset + length <= start + window.size()) return true;
    if (!WriteBack()) return false;
    const std::size_t span = static_cast<std::size_t>(std::min<std::uint64_t>(kStreamWindow, size - offset));
    window.resize(std::max(span, length));
    start = offset;
    errno = 0;
    file.seekg(static_cast<std::streamoff>(offset));
    file.read(reinterpret_cast<char*>(window.data()), static_cast<std::streamsize>(window.size()));
    if (!Check("cannot read the image")) {
      window.clear();
      return false;
    }
    return true;
  }

  bool WriteBack() {
    if (dirtyLow >= dirtyHigh) return true;
    errno = 0;
    file.seekp(static_cast<std::streamoff>(start + dirtyLow));
    file.write(reinterpret_cast<const char*>(window.data() + dirtyLow),
               static_cast<std::streamsize>(dirtyHigh - dirtyLow));
    dirtyLow = kClean;
    dirtyHigh = 0;
    return Check("cannot write the image");
  }

  static constexpr std::size_t kClean = static_cast<std::size_t>(-1);

  std::string path;
  std::fstream file;
  std::uint64_t size;
  bool writable;
  std::vector<std::uint8_t> window;
  std::uint64_t start = 0;
  std::size_t dirtyLow = kClean;
  std::size_t dirtyHigh = 0;
};

}  // namespace

bool CardStorage::Fill(std::uint64_t offset, std::size_t length, std::uint8_t value) {
  std::uint8_t* bytes = Change(offset, length);
  if (bytes == nullptr) return false;
  std::fill_n(bytes, length, value);
  return true;
}

std::string SystemText(int code) { return std::generic_category().message(code); }

std::string ImageInUseText(const std::string& path) {
  return path + " is in use: another smformat or smcard is working on the card. Wait until it has ended, then try " +
         "again";
}

StorageOpen OpenStreamStorage(const std::string& path, Access access) {
  const bool writable = access == Access::ReadWrite;
  errno = 0;
  std::fstream file(path, std::ios::binary | std::ios::in | (writable ? std::ios::out : std::ios::openmode{}));
  const int code = errno;
  if (!file) {
    return StorageOpen{nullptr, path + ": cannot open the image" + (writable ? " for reading and writing" : "") + ": " +
                                    (code != 0 ? SystemText(code) : "the system gave no reason")};
  }
  file.seekg(0, std::ios::end);
  const std::streamoff size = file.tellg();
  if (size < 0) return StorageOpen{nullptr, path + ": cannot tell the image's size"};
  return StorageOpen{std::make_unique<StreamStorage>(path, std::move(file), static_cast<std::uint64_t>(size), writable),
                     ""};
}

}  // namespace card
