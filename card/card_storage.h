// Where the bytes of a card image live: in memory, or in the image file on
// the host. The NAND model reaches its bytes only through this interface, a
// span at a time, so that a card of any size costs the host a few megabytes
// of memory and no more I/O than the commands need.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace card {

enum class Access : std::uint8_t { ReadOnly, ReadWrite };

class CardStorage {
 public:
  // The longest span asked for at once: one erase block of 128 pages of 528 bytes.
  static constexpr std::size_t kMaxSpan = 128 * 528;

  virtual ~CardStorage() = default;

  virtual std::uint64_t Size() const = 0;
  virtual bool Writable() const = 0;

  // `length` bytes (at most kMaxSpan) from `offset`, inside Size(). The
  // pointer stays valid until the next call on this storage. Null when the
  // host failed; Error() then says why.
  virtual const std::uint8_t* Read(std::uint64_t offset, std::size_t length) = 0;
  // The same span, to be changed in place. What is changed reaches the
  // host's file system by the next Commit. Null on a read-only storage or a
  // host failure.
  virtual std::uint8_t* Change(std::uint64_t offset, std::size_t length) = 0;
  // Sets the span to `value` (an erase). False on a host failure.
  virtual bool Fill(std::uint64_t offset, std::size_t length, std::uint8_t value);
  // The end of a command: hands its changes to the host's file system. A
  // storage may let the fills of commands that changed nothing else (the
  // erases of a format's erase pass), consecutive spans of at most
  // kMaxFillRun bytes, wait until the next change, read of the run or
  // Flush: the file then always holds the card as it was after some
  // command, at most that run of erases behind.
  virtual bool Commit() { return Flush(); }
  // Hands every change to the host's file system: once it returns true, an
  // end of this process (a crash included) loses none of them.
  virtual bool Flush() = 0;

  static constexpr std::size_t kMaxFillRun = 256 * 1024;

  // The first host failure, with the system's own text; empty while none.
  const std::string& Error() const { return error; }

 protected:
  // Keeps the first failure: later ones are usually its consequences.
  void Fail(const std::string& text) {
    if (error.empty()) error = text;
  }

 private:
  std::string error;
};

// A card held in memory (tests, and cards that have no file).
class MemoryStorage : public CardStorage {
 public:
  explicit MemoryStorage(std::vector<std::uint8_t> bytes) : bytes(std::move(bytes)) {}

  std::uint64_t Size() const override { return bytes.size(); }
  bool Writable() const override { return true; }
  const std::uint8_t* Read(std::uint64_t offset, std::size_t /*length*/) override { return bytes.data() + offset; }
  std::uint8_t* Change(std::uint64_t offset, std::size_t /*length*/) override { return bytes.data() + offset; }
  bool Flush() override { return Error().empty(); }

 private:
  std::vector<std::uint8_t> bytes;
};

struct StorageOpen {
  std::unique_ptr<CardStorage> storage;
  std::string error;  // "PATH: what failed: the system's text"
  explicit operator bool() const { return storage != nullptr; }
};

// The image file through the host's fastest way: on POSIX systems reads
// from a few windows of the file mapped into memory and writes that gather
// what a command changed; elsewhere the portable storage below.
StorageOpen OpenFileStorage(const std::string& path, Access access);
// The image file through standard C++ streams: a window of the file is read
// into a buffer, and changes are written back when the window moves on and
// at every Commit. Works on every platform.
StorageOpen OpenStreamStorage(const std::string& path, Access access);

// How a card image file is opened: OpenFileStorage, or in tests one that
// wraps it to stand in for host failures that cannot be made here.
using StorageOpener = std::function<StorageOpen(const std::string& path, Access access)>;

// One tool per card: an advisory lock on a card image file, held as long as
// the object lives, shared by tools that only read the image and exclusive
// to one that writes it. It guards against a second tool, not against
// programs that ignore it; the image's own reads and writes never meet it.
class ImageLock {
 public:
  virtual ~ImageLock() = default;
};

struct ImageLockResult {
  std::unique_ptr<ImageLock> lock;  // none where the host's file system keeps no locks
  std::string error;                // another tool holds the image; empty otherwise
};
ImageLockResult LockImage(const std::string& path, Access access);
// Why a locked image is refused.
std::string ImageInUseText(const std::string& path);

// The system's text for the error number `code` ("No space left on device").
std::string SystemText(int code);

}  // namespace card
