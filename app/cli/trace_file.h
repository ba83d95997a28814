// The file of --trace, headed by the command line and fed by the platform's
// tracing seam. A trace must never harm what it is meant to explain:
//  - a trace file that is the format's target (by name, symbolic or hard
//    link), the target's fault sidecar, or any device the platform names
//    is refused before anything is sent to a reader;
//  - nothing is written to the file until the format starts (the question
//    answered Yes; a listing starts at once): until then its lines wait in
//    memory, so that an existing file stays as it was when the answer is No
//    or the tool refuses. A run that never started writes its trace only
//    where no file was before (or to a device or pipe, which it replaces
//    nothing of);
//  - a trace that cannot be written is a warning at the end of the run; the
//    exit status stays that of the format, whose result it does not change.
#pragma once

#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <streambuf>
#include <string>
#include <vector>

#include "transport/command_trace.h"

// What a trace file must not be.
struct TraceGuard {
  std::optional<std::string> target;                 // the device or image the run works on
  std::function<bool(const std::string&)> isDevice;  // the platform's disks and volumes
};

// The file's bytes: kept in memory until the file is opened, then written
// through, each line as it ends. The first failure is kept.
class TraceSink : public std::streambuf {
 public:
  ~TraceSink() override { Close(); }
  // Opens (creates or truncates) the file and writes what waited.
  void Open(const std::string& path);
  bool IsOpen() const { return file != nullptr; }
  void Close();
  const std::string& Error() const { return error; }

 protected:
  int_type overflow(int_type c) override;
  std::streamsize xsputn(const char* text, std::streamsize count) override;
  int sync() override;

 private:
  void Failed(const std::string& what);

  std::string path;
  std::string pending;
  std::FILE* file = nullptr;
  std::string error;
};

class TraceFile {
 public:
  // No path: no trace. Otherwise the path is checked against `guard` and
  // for being writable (a file that is not there is made, empty); `error`
  // says why it was refused.
  TraceFile(const std::optional<std::string>& path, const std::vector<std::string>& arguments, const TraceGuard& guard);
  ~TraceFile();

  bool Failed() const { return !error.empty(); }
  const std::string& Error() const { return error; }
  CommandTrace* Trace() { return trace.get(); }
  // The format starts: the file gets the trace so far and every later line.
  void Start();
  // The end of the run: what the operator must be told about the trace
  // (why it is not in the file), empty when all went to it.
  std::string Finish();

 private:
  std::string Refusal(const std::string& path, const TraceGuard& guard) const;

  std::optional<std::string> path;
  bool made = false;  // the file was not there: this run made it
  bool finished = false;
  TraceSink sink;
  std::ostream stream{&sink};
  std::unique_ptr<CommandTrace> trace;
  std::string error;
};

// The platform's seam as the command reaches it: the real one (or the one a
// test put in), wrapped by its tracing decorator when --trace was given. The
// trace's warning, if any, goes to `warnings` when the session ends.
template <typename System, typename TracingSystem>
class TracedSystem {
 public:
  TracedSystem(const std::optional<std::string>& tracePath, const std::vector<std::string>& arguments,
               const TraceGuard& guard, System& base, std::ostream& warnings)
      : traceFile(tracePath, arguments, guard), base(base), warnings(warnings) {
    if (traceFile.Trace() != nullptr) tracing = std::make_unique<TracingSystem>(base, *traceFile.Trace());
  }
  ~TracedSystem() {
    const std::string warning = traceFile.Finish();
    if (!warning.empty()) warnings << "smformat: warning: " << warning << "\n";
  }
  TracedSystem(const TracedSystem&) = delete;
  TracedSystem& operator=(const TracedSystem&) = delete;

  bool TraceFailed() const { return traceFile.Failed(); }
  const std::string& TraceError() const { return traceFile.Error(); }
  void StartTrace() { traceFile.Start(); }
  // The trace, when one is written.
  CommandTrace* Trace() { return traceFile.Trace(); }
  System& Get() { return tracing ? *tracing : base; }

 private:
  TraceFile traceFile;
  System& base;
  std::ostream& warnings;
  std::unique_ptr<TracingSystem> tracing;
};
