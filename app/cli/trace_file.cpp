#include "app/cli/trace_file.h"

#include <cerrno>
#include <cstring>

TraceFile::TraceFile(const std::optional<std::string>& path, const std::vector<std::string>& arguments) {
  if (!path) return;
  file.open(*path, std::ios::out | std::ios::trunc);
  if (!file) {
    error = "cannot write the trace file " + *path + ": " + std::strerror(errno);
    return;
  }
  trace = std::make_unique<CommandTrace>(file);
  std::string line = "smformat trace:";
  for (const std::string& argument : arguments) line += " " + argument;
  trace->Note(line);
}
