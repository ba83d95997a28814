// A fresh directory for one test's files, removed when the test ends. It
// lives under $SMFORMAT_TEST_TMP (set by CTest) or the system's temp folder.
#pragma once

#include <filesystem>
#include <string>

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& Path() const { return path; }
  std::string File(const std::string& name) const { return (path / name).string(); }

 private:
  std::filesystem::path path;
};
