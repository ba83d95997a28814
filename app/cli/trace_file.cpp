#include "app/cli/trace_file.h"

#include <cerrno>
#include <cstring>

#include "card/card_files.h"
#include "card/fault_plan.h"

namespace {

std::string ErrnoText(int code) { return code != 0 ? std::strerror(code) : "the system gave no reason"; }

bool IsRegularFile(const std::string& path) { return card::CheckRegularFile(path, "a trace").empty(); }

}  // namespace

// --- TraceSink -------------------------------------------------------------------------------

void TraceSink::Open(const std::string& path_) {
  if (file != nullptr) return;
  path = path_;
  errno = 0;
  file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) {
    Failed("cannot open it");
    return;
  }
  const std::string waiting = std::move(pending);
  pending.clear();
  if (!waiting.empty() && std::fwrite(waiting.data(), 1, waiting.size(), file) != waiting.size())
    Failed("cannot write it");
  sync();
}

void TraceSink::Close() {
  if (file == nullptr) return;
  sync();
  errno = 0;
  if (std::fclose(file) != 0) Failed("cannot write it");
  file = nullptr;
}

TraceSink::int_type TraceSink::overflow(int_type c) {
  if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
  const char byte = traits_type::to_char_type(c);
  xsputn(&byte, 1);
  return c;
}

std::streamsize TraceSink::xsputn(const char* text, std::streamsize count) {
  if (file == nullptr) {
    pending.append(text, static_cast<std::size_t>(count));
  } else if (error.empty()) {
    errno = 0;
    if (std::fwrite(text, 1, static_cast<std::size_t>(count), file) != static_cast<std::size_t>(count)) {
      Failed("cannot write it");
    }
  }
  // The tool's work goes on whatever becomes of its trace.
  return count;
}

int TraceSink::sync() {
  if (file == nullptr || !error.empty()) return 0;
  errno = 0;
  if (std::fflush(file) != 0) Failed("cannot write it");
  return 0;
}

void TraceSink::Failed(const std::string& what) {
  if (error.empty()) error = path + ": " + what + ": " + ErrnoText(errno);
}

// --- TraceFile -------------------------------------------------------------------------------

TraceFile::TraceFile(const std::optional<std::string>& path_, const std::vector<std::string>& arguments,
                     const TraceGuard& guard) {
  if (!path_) return;
  error = Refusal(*path_, guard);
  if (!error.empty()) return;
  // The place must take a file before any command is sent: one that is not
  // there is made now (empty), one that is there is opened without a change.
  made = !card::PathExists(*path_);
  errno = 0;
  std::FILE* probe = std::fopen(path_->c_str(), made ? "wb" : "ab");
  if (probe == nullptr) {
    error = "cannot write the trace file " + *path_ + ": " + ErrnoText(errno);
    return;
  }
  std::fclose(probe);
  path = path_;
  trace = std::make_unique<CommandTrace>(stream);
  std::string line = "smformat trace:";
  for (const std::string& argument : arguments) line += " " + argument;
  trace->Note(line);
}

TraceFile::~TraceFile() { Finish(); }

std::string TraceFile::Refusal(const std::string& tracePath, const TraceGuard& guard) const {
  if (guard.target) {
    if (card::SameFile(tracePath, *guard.target)) {
      return "the trace file " + tracePath + " is " + *guard.target + ", what the run works on; give another file";
    }
    if (card::SameFile(tracePath, card::FaultSidecarPath(*guard.target))) {
      return "the trace file " + tracePath + " is the fault sidecar of " + *guard.target + "; give another file";
    }
  }
  if (guard.isDevice && guard.isDevice(tracePath)) {
    return "the trace file " + tracePath + " is a disk or volume, which the trace would overwrite; give a file";
  }
  return "";
}

void TraceFile::Start() {
  if (path && !sink.IsOpen()) sink.Open(*path);
}

std::string TraceFile::Finish() {
  if (!path || finished) return "";
  finished = true;
  bool kept = false;
  if (!sink.IsOpen()) {
    // Nothing was formatted: the trace replaces no file that was there.
    if (made || !IsRegularFile(*path)) {
      Start();
    } else {
      kept = true;
    }
  }
  sink.Close();
  if (kept) {
    return "the trace was not written: " + *path + " was there already, and a trace replaces it only when a " +
           "format starts";
  }
  if (!sink.Error().empty()) {
    return "the trace is incomplete: " + sink.Error() + " (the exit status is the format's own)";
  }
  return "";
}
