// The file of --trace: opened before anything is sent to a reader, headed by
// the command line, and fed by the platform's tracing seam.
#pragma once

#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "transport/command_trace.h"

class TraceFile {
 public:
  // No path: no trace. Otherwise the file is created (replacing one that is
  // there); `error` says why it could not be.
  TraceFile(const std::optional<std::string>& path, const std::vector<std::string>& arguments);

  bool Failed() const { return !error.empty(); }
  const std::string& Error() const { return error; }
  CommandTrace* Trace() { return trace.get(); }

 private:
  std::ofstream file;
  std::unique_ptr<CommandTrace> trace;
  std::string error;
};
