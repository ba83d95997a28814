// A card in the in-memory reader, laid out by WriteMbr and WriteBootSector
// the way the format procedure calls them, and views of what was sent.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/memory_reader.h"
#include "tests/support/recording_host.h"

struct FatRun {
  static constexpr int kNotCalled = -1;

  RecordingHost host;
  MemoryReader reader{host};
  int mbrResult = kNotCalled;
  int bootResult = kNotCalled;

  // WriteMbr, then WriteBootSector only if WriteMbr succeeded.
  void Run();
};

// A card of capacity `key` whose partition size was set to key - 32, as the
// format procedure does before the physical pass.
std::unique_ptr<FatRun> NewCard(std::uint32_t key);

// The reads and writes as "W0 R0 W1-31 ...": a run of ascending sectors of one
// operation is written as first-last; a call of more than one sector shows
// its count as "W5x2".
std::string OpSummary(const std::vector<LbaCall>& calls);
// The same notation in canonical form, so hand-written lists compare equal
// however their runs are grouped ("W0 W1-12" equals "W0-12").
std::string Ops(const std::string& list);

// The data of the n-th write (from 1) of `sector`; empty when there was none.
std::vector<std::uint8_t> WrittenData(const MemoryReader& reader, std::uint16_t sector, int occurrence);

// Bytes from a hex string such as "80 03 02 00".
std::vector<std::uint8_t> Hex(const std::string& text);
// `count` bytes of a sector from `offset`.
std::vector<std::uint8_t> Bytes(const SectorBuffer& sector, std::size_t offset, std::size_t count);
