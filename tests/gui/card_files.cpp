#include "tests/gui/card_files.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include "app/cli/smformat_cli.h"
#include "card/card.h"

namespace guitest {

bool MakeUsedCardImage(const std::string& path, const char* size) {
  card::CreateOptions used;
  used.geometry = *card::StandardGeometry(size);
  used.withCis = false;
  used.fill = card::Fill::Random;
  used.plan.factoryBadBlocks = {{0, 1}, {0, 77}};
  const card::CardOpen made = card::CreateCardImage(path, used);
  EXPECT_TRUE(made) << made.error;
  return static_cast<bool>(made);
}

bool CopyCardImage(const std::string& from, const std::string& to) {
  std::error_code error;
  return std::filesystem::copy_file(from, to, std::filesystem::copy_options::overwrite_existing, error);
}

int FormatWithTool(const std::string& imagePath, std::string& messages) {
  std::ostringstream out, err;
  std::istringstream in;
  std::atomic<int> stopFlag{1};
  CliContext context{out, err, in, false, [](std::uint32_t) {}, stopFlag};
  const int status = SmformatMain({"--simulate", imagePath, "--yes"}, context);
  messages = err.str();
  return status;
}

std::string FileBytes(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), {});
}

}  // namespace guitest
