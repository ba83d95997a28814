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

// The platform's seam as the command reaches it: the real one (or the one a
// test put in), wrapped by its tracing decorator when --trace was given.
template <typename System, typename TracingSystem>
class TracedSystem {
 public:
  TracedSystem(const std::optional<std::string>& tracePath, const std::vector<std::string>& arguments, System& base)
      : traceFile(tracePath, arguments), base(base) {
    if (traceFile.Trace() != nullptr) tracing = std::make_unique<TracingSystem>(base, *traceFile.Trace());
  }
  bool TraceFailed() const { return traceFile.Failed(); }
  const std::string& TraceError() const { return traceFile.Error(); }
  System& Get() { return tracing ? *tracing : base; }

 private:
  TraceFile traceFile;
  System& base;
  std::unique_ptr<TracingSystem> tracing;
};
