// One run of smformat or smcard in-process, with its exit status and what
// it printed; no terminal, no pauses, no Ctrl-C.
#pragma once

#include <atomic>
#include <sstream>
#include <string>
#include <vector>

#include "app/cli/cli_context.h"
#include "app/cli/smcard_cli.h"
#include "app/cli/smformat_cli.h"

namespace clirun {

struct ToolRun {
  int status = -1;
  std::string out, err;
  std::string All() const { return out + err; }
};

inline ToolRun Tool(int (*main)(const std::vector<std::string>&, CliContext&), const std::vector<std::string>& args) {
  std::ostringstream out, err;
  std::istringstream in;
  std::atomic<int> stop{0};
  CliContext context{out, err, in, false, [](std::uint32_t) {}, stop, [](std::uint32_t) {}};
  ToolRun run;
  run.status = main(args, context);
  run.out = out.str();
  run.err = err.str();
  return run;
}

inline ToolRun Smformat(const std::vector<std::string>& args) { return Tool(SmformatMain, args); }
inline ToolRun Smcard(const std::vector<std::string>& args) { return Tool(SmcardMain, args); }

}  // namespace clirun
