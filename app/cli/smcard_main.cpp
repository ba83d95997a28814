#include <atomic>
#include <iostream>

#include "app/cli/smcard_cli.h"

int main(int argc, char** argv) {
  std::atomic<int> stopFlag{1};
  CliContext context{std::cout, std::cerr, std::cin, false, {}, stopFlag};
  return SmcardMain(std::vector<std::string>(argv + 1, argv + argc), context);
}
