// Shared helpers of the simulator tests: a card in a reader, commands built
// with the transport's builders, and scratch files.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "card/card.h"
#include "sim/reader.h"
#include "transport/reader_commands.h"

namespace simtest {

inline std::string ScratchPath(const std::string& name) {
  const char* root = std::getenv("SMFORMAT_TEST_TMP");
  std::filesystem::path dir = root ? root : std::filesystem::temp_directory_path() / "smformat-tests";
  const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string leaf = std::string("sim-") + test->test_suite_name() + "-" + test->name();
  for (char& c : leaf) {
    if (c == '/') c = '_';
  }
  dir /= leaf;
  std::filesystem::create_directories(dir);
  return (dir / name).string();
}

inline card::CardGeometry Standard(const char* name) { return *card::StandardGeometry(name); }

inline std::unique_ptr<card::Card> MakeCard(const card::CardGeometry& geometry, card::FaultPlan plan = {},
                                            bool withCis = true, card::Fill fill = card::Fill::Erased) {
  card::CreateOptions options;
  options.geometry = geometry;
  options.plan = std::move(plan);
  options.withCis = withCis;
  options.fill = fill;
  card::CardOpen made = card::CreateCard(options);
  EXPECT_TRUE(made) << made.error;
  return std::move(made.card);
}

inline std::uint8_t Send(sim::Reader& reader, const ReaderCommand& command, std::uint8_t* data = nullptr) {
  return reader.Execute(command.cdb.data(), command.cdbLength, command.direction, data, command.dataLength);
}

inline std::vector<std::uint8_t> Pattern(std::size_t bytes, unsigned seed) {
  std::vector<std::uint8_t> out(bytes);
  unsigned state = seed * 2654435761u + 1;
  for (auto& b : out) {
    state = state * 1103515245u + 12345u;
    b = static_cast<std::uint8_t>(state >> 16);
  }
  return out;
}

}  // namespace simtest
