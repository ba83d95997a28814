#include "tests/fat/fat_run.h"

#include <sstream>
#include <utility>

namespace {

using Step = std::pair<char, unsigned>;  // ('W' or 'R', sector)

std::string Compress(const std::vector<Step>& steps) {
  std::ostringstream out;
  for (std::size_t i = 0; i < steps.size();) {
    std::size_t j = i;
    while (j + 1 < steps.size() && steps[j + 1].first == steps[i].first && steps[j + 1].second == steps[j].second + 1) {
      ++j;
    }
    if (i) out << ' ';
    out << steps[i].first << steps[i].second;
    if (j > i) out << '-' << steps[j].second;
    i = j + 1;
  }
  return out.str();
}

}  // namespace

void FatRun::Run() {
  mbrResult = reader.WriteMbr();
  if (mbrResult) bootResult = reader.WriteBootSector();
}

std::unique_ptr<FatRun> NewCard(std::uint32_t key) {
  auto run = std::make_unique<FatRun>();
  run->reader.SetCapacityKey(key);
  run->reader.SetPartitionSectors(key - 32);
  return run;
}

std::string OpSummary(const std::vector<LbaCall>& calls) {
  std::vector<Step> steps;
  std::string odd;  // calls of more than one sector break the notation: show them apart
  for (const LbaCall& call : calls) {
    const char op = call.op == LbaCall::Op::Write ? 'W' : 'R';
    if (call.count != 1)
      odd += " " + std::string(1, op) + std::to_string(call.sector) + "x" + std::to_string(call.count);
    steps.emplace_back(op, call.sector);
  }
  return Compress(steps) + odd;
}

std::string Ops(const std::string& list) {
  std::vector<Step> steps;
  std::istringstream in(list);
  std::string item;
  while (in >> item) {
    const char op = item[0];
    const std::size_t dash = item.find('-');
    const unsigned first = static_cast<unsigned>(std::stoul(item.substr(1, dash - 1)));
    const unsigned last = dash == std::string::npos ? first : static_cast<unsigned>(std::stoul(item.substr(dash + 1)));
    for (unsigned s = first; s <= last; ++s) steps.emplace_back(op, s);
  }
  return Compress(steps);
}

std::vector<std::uint8_t> WrittenData(const MemoryReader& reader, std::uint16_t sector, int occurrence) {
  int seen = 0;
  for (const LbaCall& call : reader.Calls()) {
    if (call.op == LbaCall::Op::Write && call.sector == sector && ++seen == occurrence) return call.data;
  }
  return {};
}

std::vector<std::uint8_t> Hex(const std::string& text) {
  std::vector<std::uint8_t> out;
  std::istringstream in(text);
  std::string byte;
  while (in >> byte) out.push_back(static_cast<std::uint8_t>(std::stoul(byte, nullptr, 16)));
  return out;
}

std::vector<std::uint8_t> Bytes(const SectorBuffer& sector, std::size_t offset, std::size_t count) {
  return std::vector<std::uint8_t>(sector.begin() + static_cast<std::ptrdiff_t>(offset),
                                   sector.begin() + static_cast<std::ptrdiff_t>(offset + count));
}
