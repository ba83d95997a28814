#include "sim/card_dump.h"

#include <cerrno>
#include <cstdio>

#include "sim/card_files.h"

namespace sim {

namespace {

std::string WriteFailure(const std::string& path) {
  return path + ": cannot write the dump: " + (errno != 0 ? SystemText(errno) : "the system gave no reason");
}

// The pages of each block as they come, FF bytes for those that could not be read.
class DumpFile {
 public:
  explicit DumpFile(const std::string& path) : path(path) {
    errno = 0;
    file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) error = path + ": cannot create the file: " + SystemText(errno);
  }
  ~DumpFile() {
    if (file != nullptr) std::fclose(file);
  }
  DumpFile(const DumpFile&) = delete;
  DumpFile& operator=(const DumpFile&) = delete;

  void Take(const BlockPages& block, FaultPlan& sidecar, std::uint32_t pagesPerBlock) {
    for (std::size_t p = 0; p < block.pages.size(); ++p) {
      if (!block.readable[p]) {
        sidecar.unreadablePages.push_back({block.unit, block.block * pagesPerBlock + static_cast<std::uint32_t>(p)});
      }
      if (error.empty() && std::fwrite(block.pages[p].data(), 1, kPageSize, file) != kPageSize) {
        error = WriteFailure(path);
      }
    }
  }
  const std::string& Error() const { return error; }
  // Closes the file; the first failure since it was made, or empty.
  std::string Close() {
    if (file == nullptr) return error;
    errno = 0;
    const bool closed = std::fclose(file) == 0;
    file = nullptr;
    if (!closed && error.empty()) error = WriteFailure(path);
    return error;
  }

 private:
  std::string path;
  std::FILE* file = nullptr;
  std::string error;
};

// The sidecar beside the dump: written anew under a temporary name, or the
// old one removed when the dump needs none.
std::string PlaceSidecar(const std::string& target, const FaultPlan& sidecar) {
  const std::string path = FaultSidecarPath(target);
  if (sidecar.Empty()) return PathExists(path) ? RemoveFile(path) : "";
  const std::string temporary = TemporarySibling(path);
  std::string problem = WriteTextFile(temporary, FormatFaultPlan(sidecar));
  if (problem.empty()) problem = ReplaceFile(temporary, path);
  if (!problem.empty()) RemoveQuietly(temporary);
  return problem;
}

}  // namespace

std::string DumpTargetRefusal(const std::string& path, bool replace) {
  if (const std::string problem = UnusableName(path); !problem.empty()) return problem;
  for (const std::string& file : {path, FaultSidecarPath(path)}) {
    if (!PathExists(file)) continue;
    if (!replace) return file + " exists; give --force to replace it";
    if (const std::string problem = CheckRegularFile(file, "a file to replace"); !problem.empty()) return problem;
  }
  return "";
}

DumpResult DumpCard(PageSource& pages, const std::string& path, const PassWatch& watch) {
  DumpResult result;
  // Through a link to the file it leads to, which is then replaced.
  const std::string target = LinkTarget(path);
  const std::string temporary = TemporarySibling(target);
  result.sidecar.writeProtected = pages.WriteProtected().value_or(false);
  DumpFile file(temporary);
  if (!file.Error().empty()) {
    result.error = file.Close();
    return result;
  }
  result.end = ReadEveryPage(pages, watch, [&](const BlockPages& block) {
    file.Take(block, result.sidecar, pages.Geometry().units[block.unit].pagesPerBlock);
    result.pages += block.pages.size();
  });
  result.error = file.Close();
  if (result.error.empty() && result.end != PassEnd::Complete) {
    result.error = PassEndText(result.end, "dump") + "; nothing was written to " + path;
  }
  if (result.error.empty()) result.error = PlaceSidecar(target, result.sidecar);
  if (result.error.empty()) result.error = ReplaceFile(temporary, target);
  if (!result.error.empty()) RemoveQuietly(temporary);
  return result;
}

}  // namespace sim
