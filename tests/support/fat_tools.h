// Running the real FAT tools (fsck.fat, mtools, sfdisk, mkfs.fat) on image
// files from a test. POSIX only: include it from native-only test programs.
// A missing tool is a test failure, not a skip.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace fat_tools {

// The tool's full path, looked up in PATH and the system directories
// (fsck.fat and sfdisk live in sbin); empty when it is not installed.
inline std::string FindTool(const std::string& name) {
  std::string dirs = std::getenv("PATH") ? std::getenv("PATH") : "";
  dirs += ":/usr/sbin:/sbin:/usr/bin:/bin";
  std::istringstream in(dirs);
  std::string dir;
  while (std::getline(in, dir, ':')) {
    const std::string path = dir + "/" + name;
    if (!dir.empty() && access(path.c_str(), X_OK) == 0) return path;
  }
  return {};
}

struct Result {
  int status = -1;
  std::string output;  // standard output and standard error together
};

// Runs the tool with `arguments` (already quoted) and collects its output.
inline Result RunTool(const std::string& name, const std::string& arguments) {
  const std::string tool = FindTool(name);
  if (tool.empty()) {
    ADD_FAILURE() << name << " is not installed; the FAT image checks need it";
    return {};
  }
  const std::string command = "MTOOLS_SKIP_CHECK=1 " + tool + " " + arguments + " 2>&1";
  Result result;
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) {
    ADD_FAILURE() << "cannot run " << command;
    return result;
  }
  char buffer[4096];
  std::size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) result.output.append(buffer, n);
  const int raw = pclose(pipe);
  result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  return result;
}

inline std::string Quote(const std::filesystem::path& path) { return "'" + path.string() + "'"; }

// Copies the partition out of a whole-card image file, keeping it sparse.
inline void ExtractPartition(const std::filesystem::path& image, std::uint32_t start, std::uint32_t size,
                             const std::filesystem::path& path) {
  std::ifstream in(image, std::ios::binary);
  in.seekg(static_cast<std::streamoff>(start) * 512);
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    std::vector<char> chunk(64 * 1024);
    for (std::uintmax_t done = 0, total = std::uintmax_t{size} * 512; done < total;) {
      const std::size_t want = static_cast<std::size_t>(std::min<std::uintmax_t>(chunk.size(), total - done));
      in.read(chunk.data(), static_cast<std::streamsize>(want));
      bool zero = true;
      for (std::size_t i = 0; i < want && zero; ++i) zero = chunk[i] == 0;
      if (!zero) {
        out.seekp(static_cast<std::streamoff>(done));
        out.write(chunk.data(), static_cast<std::streamsize>(want));
      }
      done += want;
    }
  }
  std::filesystem::resize_file(path, std::uintmax_t{size} * 512);
}

inline std::string ReadAll(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// The boot sector's volume label is eleven zero bytes (no label), which
// fsck.fat reports as an invalid label and offers to blank; that notice, and
// only that one, is not a fault of the volume.
inline bool IsLabelNotice(const std::string& line) {
  return line == "Label '' stored in boot sector is not valid." || line == "  Auto-removing label from boot sector." ||
         line.empty() || line == "Leaving filesystem unchanged.";
}

// fsck.fat -n prints its version line and a one-line summary, and nothing
// else, on a sound volume.
// `summary` lists fragments the summary line must hold.
inline void ExpectCleanFsck(const std::filesystem::path& partition, const std::vector<std::string>& summary) {
  const Result fsck = RunTool("fsck.fat", "-n " + Quote(partition));
  std::vector<std::string> lines;
  bool labelNotice = false;
  std::istringstream in(fsck.output);
  for (std::string line; std::getline(in, line);) {
    if (IsLabelNotice(line)) {
      labelNotice = labelNotice || !line.empty();
    } else {
      lines.push_back(line);
    }
  }
  EXPECT_TRUE(fsck.status == 0 || (fsck.status == 1 && labelNotice)) << fsck.output;
  ASSERT_EQ(lines.size(), 2u) << fsck.output;
  for (const std::string& part : summary) EXPECT_NE(lines[1].find(part), std::string::npos) << fsck.output;
}

}  // namespace fat_tools
