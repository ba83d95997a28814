// A simulated card: its NAND, and the raw image file it lives in, if any.
//
// The image file is the raw dump of the card: pages of 528 bytes in physical
// order, unit after unit, no header. The eight standard sizes are recognised
// by the file's size; any other geometry is given by the caller. The card's
// bytes stay in the file (see CardStorage): a command's changes are in the
// file when Commit returns, which the reader calls after every command, so a
// crash loses at most the command in flight.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "card/card_geometry.h"
#include "card/card_storage.h"
#include "card/fault_plan.h"
#include "card/nand.h"

namespace card {

class Card {
 public:
  // An erased card held in memory only.
  explicit Card(const CardGeometry& geometry);
  // `path` names the image file the NAND is stored in, empty for none.
  explicit Card(Nand nand, std::string path = "");
  Card(const Card&) = delete;
  Card& operator=(const Card&) = delete;

  Nand& Media() { return nand; }
  const Nand& Media() const { return nand; }
  const CardGeometry& Geometry() const { return nand.Geometry(); }
  bool HasFile() const { return !path.empty(); }
  const std::string& Path() const { return path; }

  // The end of a command: its changes go to the image file (a run of
  // erases may wait a little, see CardStorage::Commit). Returns the host's
  // error message ("card.img: cannot write the image: No space left on
  // device"), empty on success (always, in memory).
  std::string Commit();
  // Hands every change to the image file, the waiting erases included.
  std::string Flush();

  // Holds the image's lock as long as the card is open.
  void HoldLock(std::unique_ptr<ImageLock> held) { lock = std::move(held); }

 private:
  Nand nand;
  std::string path;
  std::unique_ptr<ImageLock> lock;
};

struct CardOpen {
  std::unique_ptr<Card> card;
  std::string error;  // why the card could not be opened or made
  explicit operator bool() const { return card != nullptr; }
};

// Opens an image of one of the standard sizes, recognised by its size. The
// image must be a regular file; `access` ReadOnly never writes to it. The
// card holds the image's lock (shared for ReadOnly): an image another tool
// holds is refused.
CardOpen OpenCardImage(const std::string& path, Access access = Access::ReadWrite,
                       const StorageOpener& open = OpenFileStorage);
// Opens an image of the given geometry; the file must have exactly its size.
CardOpen OpenCardImage(const std::string& path, const CardGeometry& geometry, Access access = Access::ReadWrite,
                       const StorageOpener& open = OpenFileStorage);

enum class Fill : std::uint8_t {
  Erased,  // every logical sector unwritten (reads as 0xFF)
  Random,  // every logical sector written with pseudo-random bytes
};

struct CreateOptions {
  CardGeometry geometry;
  // Its factory bad blocks are marked on the new card; when an image file is
  // made, the rest of the plan (write protection and the like) goes to the
  // image's fault sidecar.
  FaultPlan plan;
  bool withCis = true;  // a CIS page in the first good block of unit 0
  Fill fill = Fill::Erased;
  std::uint64_t seed = 1;  // of the random fill
};

// A new card in memory.
CardOpen CreateCard(const CreateOptions& options);
// A new card written to `path`, kept open on it. The card is made under a
// temporary name beside `path` and renamed over it (and its fault sidecar
// over `path`.faults) only when complete, so a failure leaves whatever was
// at `path` as it was. An image there that another tool holds is refused.
CardOpen CreateCardImage(const std::string& path, const CreateOptions& options);

}  // namespace card
