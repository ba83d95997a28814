#include <atomic>
#include <chrono>
#include <iostream>
#include <thread>

#include "app/cli/console.h"
#include "app/cli/smformat_cli.h"

int main(int argc, char** argv) {
  static std::atomic<int> stopFlag{1};
  StopOnInterrupt(stopFlag);
  CliContext context{std::cout,
                     std::cerr,
                     std::cin,
                     StderrIsTerminal(),
                     [](std::uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); },
                     stopFlag};
  context.terminalColumns = StderrColumns;
  return SmformatMain(std::vector<std::string>(argv + 1, argv + argc), context);
}
