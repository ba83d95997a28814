// The simulated format of every standard card and of a 1 GB card of two
// units, as `smformat --simulate IMAGE --yes` runs it: host time (wall and
// CPU), peak memory, and the commands sent by kind next to the least the
// procedure needs. Beside the 128 MB format, one `dd` rewrite of the same
// image in place, for comparison; and what a card pulled out of the reader
// costs, at the worst moment, before the format gives up.
//
// Each repetition formats a used card (every logical sector written), made
// once and copied back before each run, outside the timing. The images live
// in $SMFORMAT_BENCH_DIR, or the system's temporary folder.
#include <benchmark/benchmark.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/job/format_job.h"
#include "card/card_tools.h"
#include "card/firmware.h"
#include "engine/byte_order.h"
#include "engine/fat_layout.h"
#include "engine/low_level_format.h"
#include "sim/reader.h"
#include "sim/sim_reader_device.h"

namespace {

namespace fs = std::filesystem;

// --- Measuring the host ---------------------------------------------------------

double CpuSeconds(int who) {
  rusage usage{};
  getrusage(who, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// A line of /proc/self/status ("VmHWM:", "VmRSS:") in MiB (Linux).
double StatusMiB(const char* field) {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind(field, 0) == 0) return std::stod(line.substr(std::string(field).size())) / 1024.0;
  }
  return 0;
}
// The peak then starts again from what the process holds now.
void ResetPeakMemory() { std::ofstream("/proc/self/clear_refs") << "5"; }

// --- The cards --------------------------------------------------------------------

struct CardCase {
  const char* name;
  card::CardGeometry geometry;
};

const std::array<CardCase, 9> kCards = {{
    {"1M", *card::StandardGeometry("1M")},
    {"2M", *card::StandardGeometry("2M")},
    {"4M", *card::StandardGeometry("4M")},
    {"8M", *card::StandardGeometry("8M")},
    {"16M", *card::StandardGeometry("16M")},
    {"32M", *card::StandardGeometry("32M")},
    {"64M", *card::StandardGeometry("64M")},
    {"128M", *card::StandardGeometry("128M")},
    {"1G-two-units", card::CardGeometry{{{32768, 32}, {32768, 32}}}},
}};

fs::path BenchDir() {
  const char* dir = std::getenv("SMFORMAT_BENCH_DIR");
  fs::path path = dir && *dir ? fs::path(dir) : fs::temp_directory_path() / "smformat-bench";
  fs::create_directories(path);
  return path;
}

// A used card of the case, made once per process; returns the working image.
std::string PrepareCard(const CardCase& card) {
  const fs::path pristine = BenchDir() / (std::string(card.name) + "-used.img");
  if (!fs::exists(pristine) || fs::file_size(pristine) != card.geometry.ImageBytes()) {
    card::CreateOptions options;
    options.geometry = card.geometry;
    options.fill = card::Fill::Random;
    const card::CardOpen made = card::CreateCardImage(pristine.string(), options);
    if (!made) std::abort();
  }
  const fs::path work = BenchDir() / (std::string(card.name) + ".img");
  fs::copy_file(pristine, work, fs::copy_options::overwrite_existing);
  return work.string();
}

// --- The format, counting what it sends ---------------------------------------

// The simulated backend, counting each operation the format asks for.
class CountingReader : public CSimReader {
 public:
  using CSimReader::CSimReader;
  std::map<std::string, double> sent;
  // Stands for the pass-through and ASPI backends, which cannot tell a
  // pulled card from a failed command.
  bool cannotTellGone = false;
  std::function<void()> afterCommand;

  int ReadPhySector(std::uint8_t u, std::uint32_t s, PageBuffer& p) override {
    return Count("page_reads", CSimReader::ReadPhySector(u, s, p));
  }
  int ErasePhyBlk(std::uint8_t u, std::uint16_t b) override { return Count("erases", CSimReader::ErasePhyBlk(u, b)); }
  int WriteRedundant(std::uint8_t u, std::uint32_t s, const RedundantArea& r) override {
    return Count("page_writes", CSimReader::WriteRedundant(u, s, r));
  }
  int WritePhySector(std::uint8_t u, std::uint32_t s, const SectorBuffer& d) override {
    return Count("page_writes", CSimReader::WritePhySector(u, s, d));
  }
  int ReadLBA(std::uint16_t s, std::uint16_t c, std::uint8_t* d) override {
    return Count("lba_reads", CSimReader::ReadLBA(s, c, d), c);
  }
  int WriteLBA(std::uint16_t s, std::uint16_t c, const std::uint8_t* d) override {
    return Count("lba_writes", CSimReader::WriteLBA(s, c, d), c);
  }
  int FormatEnd() override { return Count("format_ends", CSimReader::FormatEnd()); }

 private:
  int Count(const char* kind, int result, std::uint16_t sectors = 1) {
    sent[kind] += sectors;
    if (cannotTellGone && CardGone()) NoteCommandFault(CommandFault::Failed);
    if (afterCommand) afterCommand();
    return result;
  }
};

// Answers the confirmation with Yes and spends every pause on a virtual clock.
class BenchHost : public FormatHost {
 public:
  MessageAnswer ShowMessage(const std::string& text, const std::string&, MessageStyle style, MessageOwner) override {
    if (style.buttons == MessageButtons::YesNo) return MessageAnswer::Yes;
    lastMessage = text;
    return MessageAnswer::Ok;
  }
  void SetProgressRange(int, int) override {}
  void SetProgress(int) override {}
  void SetStatus(const std::string&) override {}
  void ShowStatus(bool) override {}
  void Sleep(std::uint32_t milliseconds) override { slept += milliseconds; }
  std::string lastMessage;
  std::uint64_t slept = 0;  // on the virtual clock, in milliseconds
};

struct Least {
  double pageReads = 0;  // one per block
  double erases = 0;     // one per good block after the CIS block
  double lbaWrites = 0;  // the MBR, the gap, the boot sector, FATs, root, first FAT sectors again
  double lbaReads = 0;   // sector 0 after each format end, each sector of the layout read back once
};

// What the procedure cannot do with less, from the formatted card itself.
Least LeastFor(card::Card& card) {
  Least least;
  const card::CardReport report = card::Inspect(card);
  for (const card::UnitGeometry& unit : card.Geometry().units) least.pageReads += unit.blocks;
  least.erases =
      least.pageReads - static_cast<double>(report.badBlocks.size()) - (report.cisBlock ? *report.cisBlock + 1.0 : 0.0);
  card::Firmware firmware(card.Media());
  std::array<std::uint8_t, 512> sector{};
  firmware.ReadSectors(0, 1, sector.data());
  const std::uint32_t start = LoadLe32(&sector[446 + 8]);
  firmware.ReadSectors(start, 1, sector.data());
  const std::uint32_t reserved = LoadLe16(&sector[14]);
  const std::uint32_t fat = LoadLe16(&sector[22]);
  const std::uint32_t root = LoadLe16(&sector[17]) / 16;
  least.lbaWrites = start + reserved + 2.0 * fat + root + 2;
  least.lbaReads = start + reserved + 2.0 * fat + root + 2;
  // The computed layout (any capacity but the eight standard ones) also
  // reads back its MBR, boot sector and both first FAT sectors as it writes them.
  std::uint32_t key = 0;
  for (const card::UnitGeometry& unit : card.Geometry().units) key += (unit.Pages() >> 10) * 1000;
  if (FindCapacityRow(key) == nullptr) least.lbaReads += 4;
  return least;
}

void Format(benchmark::State& state, const CardCase& card) {
  const std::string image = PrepareCard(card);
  std::map<std::string, double> sent;
  Least least;
  double cpu = 0;
  double peak = 0;
  double growth = 0;
  for (auto _ : state) {
    state.PauseTiming();
    PrepareCard(card);
    ResetPeakMemory();
    const double before = StatusMiB("VmRSS:");
    state.ResumeTiming();
    const double cpuStart = CpuSeconds(RUSAGE_SELF);
    const auto wallStart = std::chrono::steady_clock::now();
    {
      card::CardAndPlan opened = card::OpenCardAndPlan(image, card.geometry);
      BenchHost host;
      sim::Reader reader(*opened.card, opened.plan);
      CountingReader device(host, reader);
      char found = 0;
      device.FindDevice(found);
      std::atomic<int> stop{0};
      JobDesktop desktop;
      if (FormatJob(device, host, desktop, stop) != JobOutcome::Completed) {
        state.SkipWithError(("format failed: " + host.lastMessage).c_str());
        break;
      }
      opened.card->Flush();
      sent = device.sent;
    }
    const std::chrono::duration<double> wall = std::chrono::steady_clock::now() - wallStart;
    state.SetIterationTime(wall.count());
    cpu = CpuSeconds(RUSAGE_SELF) - cpuStart;
    peak = StatusMiB("VmHWM:");
    growth = peak - before;
    state.PauseTiming();
    card::CardOpen formatted = card::OpenCardImage(image, card.geometry, card::Access::ReadOnly);
    least = LeastFor(*formatted.card);
    state.ResumeTiming();
  }
  state.counters["cpu_ms"] = cpu * 1000;
  state.counters["peak_MiB"] = peak;      // of this whole process
  state.counters["format_MiB"] = growth;  // what the format added to it
  for (const auto& [kind, count] : sent) state.counters[kind] = count;
  state.counters["least_page_reads"] = least.pageReads;
  state.counters["least_erases"] = least.erases;
  state.counters["least_lba_writes"] = least.lbaWrites;
  state.counters["least_lba_reads"] = least.lbaReads;
}

// The peak resident memory of process `pid` so far, in MiB; 0 once it has ended.
double PeakMemoryMiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stod(line.substr(6)) / 1024.0;
  }
  return 0;
}

// dd if=IMAGE of=IMAGE bs=1M conv=notrunc: one rewrite of the image in
// place. Its CPU time comes from wait4; its peak memory is watched in /proc
// while it runs (a child's own rusage would count what it shared with this
// process before it became dd).
void DdRewrite(benchmark::State& state, const CardCase& card) {
  const std::string image = PrepareCard(card);
  const std::string in = "if=" + image;
  const std::string out = "of=" + image;
  std::vector<char*> argv;
  for (const char* word : {"dd", in.c_str(), out.c_str(), "bs=1M", "conv=notrunc", "status=none"}) {
    argv.push_back(const_cast<char*>(word));
  }
  argv.push_back(nullptr);
  double cpu = 0;
  double peak = 0;
  for (auto _ : state) {
    state.PauseTiming();
    PrepareCard(card);
    state.ResumeTiming();
    const auto wallStart = std::chrono::steady_clock::now();
    pid_t pid = 0;
    if (posix_spawnp(&pid, "dd", nullptr, nullptr, argv.data(), environ) != 0) {
      state.SkipWithError("cannot run dd");
      break;
    }
    peak = 0;
    int status = 0;
    rusage usage{};
    while (wait4(pid, &status, WNOHANG, &usage) == 0) {
      peak = std::max(peak, PeakMemoryMiB(pid));
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    const std::chrono::duration<double> wall = std::chrono::steady_clock::now() - wallStart;
    state.SetIterationTime(wall.count());
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      state.SkipWithError("dd failed");
      break;
    }
    cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
          static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  }
  state.counters["cpu_ms"] = cpu * 1000;
  state.counters["peak_MiB"] = peak;
}

// --- A card pulled out ---------------------------------------------------------------

struct PulledRun {
  std::uint32_t commands = 0;        // the format's, up to its end
  std::uint32_t firstFormatEnd = 0;  // the command that ends the physical pass
  std::uint64_t pauseAfterPull = 0;  // what the format paused from the pull to its end, in ms
};

// One format of a copy of `bytes`, the card pulled after `pullAfter` of the
// format's commands (none: never).
PulledRun FormatPulled(const CardCase& card, const std::vector<std::uint8_t>& bytes,
                       std::optional<std::uint32_t> pullAfter, bool cannotTell) {
  card::Card copy(card::Nand(card.geometry, bytes));
  sim::Reader reader(copy);
  BenchHost host;
  CountingReader device(host, reader);
  device.cannotTellGone = cannotTell;
  char found = 0;
  device.FindDevice(found);
  const std::uint32_t base = reader.CommandCount();
  if (pullAfter) reader.Plan().removeAfterCommands = base + *pullAfter;
  PulledRun run;
  std::optional<std::uint64_t> pulledAt;
  device.afterCommand = [&] {
    if (!pulledAt && !reader.CardPresent()) pulledAt = host.slept;
    if (run.firstFormatEnd == 0 && device.sent["format_ends"] > 0) run.firstFormatEnd = reader.CommandCount() - base;
  };
  const std::atomic<int> stop{0};
  LowLevelFormat(device, stop, host);
  run.commands = reader.CommandCount() - base;
  if (pulledAt) run.pauseAfterPull = host.slept - *pulledAt;
  return run;
}

// The card pulled before each command of the CIS scan and of the file
// system's stage, and before every 256th of the erase pass (where each
// moment is like the next): the longest the format then pauses before it
// ends, on a backend that tells a pulled card (SG_IO, the simulated reader)
// and on one that cannot.
void PulledCard(benchmark::State& state, const CardCase& card) {
  const std::string image = PrepareCard(card);
  std::vector<std::uint8_t> bytes;
  {
    card::CardOpen opened = card::OpenCardImage(image, card.geometry, card::Access::ReadOnly);
    bytes = opened.card->Media().Bytes();
  }
  constexpr std::uint32_t kScanCommands = 48;
  constexpr std::uint32_t kPassStride = 256;
  for (auto _ : state) {
    const PulledRun clean = FormatPulled(card, bytes, std::nullopt, false);
    std::vector<std::uint32_t> moments;
    for (std::uint32_t n = 1; n < clean.commands; ++n) {
      if (n < kScanCommands || n % kPassStride == 0 || n + 2 >= clean.firstFormatEnd) moments.push_back(n);
    }
    for (const bool cannotTell : {false, true}) {
      std::uint64_t worst = 0;
      for (const std::uint32_t n : moments)
        worst = std::max(worst, FormatPulled(card, bytes, n, cannotTell).pauseAfterPull);
      state.counters[cannotTell ? "worst_s_cannot_tell" : "worst_s_tells"] = static_cast<double>(worst) / 1000;
    }
    state.counters["moments"] = static_cast<double>(moments.size());
  }
}

const int kRegistered = [] {
  for (const CardCase& card : kCards) {
    benchmark::RegisterBenchmark((std::string("Format/") + card.name).c_str(), Format, card)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond)
        ->Iterations(1)
        ->Repetitions(card.geometry.ImageBytes() > (std::uint64_t{256} << 20) ? 1 : 5)
        ->ReportAggregatesOnly(false);
    if (std::string(card.name) == "128M") {
      benchmark::RegisterBenchmark("DdRewrite/128M", DdRewrite, card)
          ->UseManualTime()
          ->Unit(benchmark::kMillisecond)
          ->Iterations(1)
          ->Repetitions(5);
    }
    if (std::string(card.name) == "1M" || std::string(card.name) == "128M") {
      benchmark::RegisterBenchmark((std::string("PulledCard/") + card.name).c_str(), PulledCard, card)
          ->Unit(benchmark::kSecond)
          ->Iterations(1);
    }
  }
  return 0;
}();

}  // namespace

BENCHMARK_MAIN();
