// A simulated card: its NAND, and the raw image file it lives in, if any.
//
// The image file is the raw dump of the card: pages of 528 bytes in physical
// order, unit after unit, no header. The eight standard sizes are recognised
// by the file's size; any other geometry is given by the caller. Changes
// reach the file by Commit, which the reader calls after every command, so a
// crash loses at most the command in flight.
#pragma once

#include <cstdint>
#include <fstream>
#include <memory>
#include <string>

#include "sim/card_geometry.h"
#include "sim/fault_plan.h"
#include "sim/nand.h"

namespace sim {

class Card {
 public:
  // An erased card held in memory only.
  explicit Card(const CardGeometry& geometry);
  explicit Card(Nand nand);
  Card(const Card&) = delete;
  Card& operator=(const Card&) = delete;

  Nand& Media() { return nand; }
  const Nand& Media() const { return nand; }
  const CardGeometry& Geometry() const { return nand.Geometry(); }
  bool HasFile() const { return file != nullptr; }
  const std::string& Path() const { return path; }

  // Writes what changed since the last commit to the image file and flushes
  // it. Returns an error message, empty on success (always, in memory).
  std::string Commit();

  // Writes the whole card to a new image file and keeps it as this card's file.
  std::string SaveAs(const std::string& imagePath);
  // Attaches an image file that already holds this card's contents.
  void Attach(std::unique_ptr<std::fstream> stream, const std::string& imagePath);

 private:
  Nand nand;
  std::unique_ptr<std::fstream> file;
  std::string path;
};

struct CardOpen {
  std::unique_ptr<Card> card;
  std::string error;  // why the card could not be opened or made
  explicit operator bool() const { return card != nullptr; }
};

// Opens an image of one of the standard sizes, recognised by its size.
CardOpen OpenCardImage(const std::string& path);
// Opens an image of the given geometry; the file must have exactly its size.
CardOpen OpenCardImage(const std::string& path, const CardGeometry& geometry);

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
  std::uint32_t seed = 1;  // of the random fill
};

// A new card in memory.
CardOpen CreateCard(const CreateOptions& options);
// A new card written to `path` (replacing any file there), kept open on it.
CardOpen CreateCardImage(const std::string& path, const CreateOptions& options);

}  // namespace sim
