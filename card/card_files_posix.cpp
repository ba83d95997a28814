// Host file handling on POSIX systems, through std::filesystem.
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <ctime>
#include <filesystem>
#include <system_error>

#include "card/card_files.h"
#include "card/card_storage.h"

namespace card {

namespace fs = std::filesystem;

std::string CheckRegularFile(const std::string& path, const std::string& what) {
  std::error_code error;
  const fs::file_status status = fs::status(path, error);
  if (status.type() == fs::file_type::regular) return "";
  if (status.type() == fs::file_type::directory) return path + ": a directory, not " + what;
  if (status.type() == fs::file_type::not_found || (error && status.type() == fs::file_type::none)) {
    return path + ": " + (error ? error.message() : SystemText(ENOENT));
  }
  return path + ": not a regular file, so not " + what;
}

bool PathExists(const std::string& path) {
  std::error_code error;
  return fs::symlink_status(path, error).type() != fs::file_type::not_found && !error;
}

bool SameFile(const std::string& a, const std::string& b) {
  std::error_code error;
  if (fs::equivalent(a, b, error) && !error) return true;
  const fs::path placeA = fs::weakly_canonical(fs::absolute(a, error), error);
  if (error) return false;
  const fs::path placeB = fs::weakly_canonical(fs::absolute(b, error), error);
  return !error && placeA == placeB;
}

std::string UnusableName(const std::string& path) {
  std::error_code error;
  static_cast<void>(fs::symlink_status(path, error));
  if (error != std::errc::filename_too_long) return "";
  return path + ": " + error.message() + "; give the card a shorter name";
}

std::string LinkTarget(const std::string& path) {
  std::error_code error;
  if (!fs::is_symlink(path, error)) return path;
  const fs::path target = fs::weakly_canonical(path, error);
  return error ? path : target.string();
}

std::string ReplaceFile(const std::string& from, const std::string& to) {
  std::error_code error;
  fs::rename(from, to, error);
  if (error) return to + ": cannot put the new file in place: " + error.message();
  return "";
}

std::string RemoveFile(const std::string& path) {
  std::error_code error;
  fs::remove(path, error);
  if (error) return path + ": cannot remove it: " + error.message();
  return "";
}

void RemoveQuietly(const std::string& path) {
  std::error_code ignored;
  fs::remove(path, ignored);
}

std::string FileSize(const std::string& path, std::uint64_t& size) {
  std::error_code error;
  size = fs::file_size(path, error);
  return error ? error.message() : "";
}

std::string TruncateFile(const std::string& path, std::uint64_t size) {
  std::error_code error;
  fs::resize_file(path, size, error);
  return error ? path + ": cannot cut it short: " + error.message() : "";
}

std::string JoinPath(const std::string& folder, const std::string& name) {
  return folder.empty() || folder.back() == '/' ? folder + name : folder + "/" + name;
}

std::string HostFileName(const std::string& name) {
  if (name.empty() || name == "." || name == "..") return "_";
  std::string safe = name;
  for (char& c : safe) {
    if (c == '/' || c == '\0') c = '_';
  }
  return safe;
}

std::string MakeFolder(const std::string& path, bool linkTaken) {
  std::error_code error;
  const fs::file_status there = linkTaken ? fs::status(path, error) : fs::symlink_status(path, error);
  if (there.type() == fs::file_type::directory) return "";
  if (there.type() == fs::file_type::symlink) return path + ": a link, not a folder: nothing is written through it";
  if (there.type() != fs::file_type::not_found) return path + ": there is a file there, not a folder";
  fs::create_directory(path, error);
  if (error) return path + ": cannot make the folder: " + error.message();
  return "";
}

bool SetModifiedTime(const std::string& path, const FatTimestamp& stamp, bool) {
  if (!stamp.valid) return false;
  std::tm local{};
  local.tm_year = static_cast<int>(stamp.year) - 1900;
  local.tm_mon = static_cast<int>(stamp.month) - 1;
  local.tm_mday = static_cast<int>(stamp.day);
  local.tm_hour = static_cast<int>(stamp.hour);
  local.tm_min = static_cast<int>(stamp.minute);
  local.tm_sec = static_cast<int>(stamp.second);
  local.tm_isdst = -1;
  const std::time_t when = std::mktime(&local);
  if (when == static_cast<std::time_t>(-1)) return false;
  const timespec times[2] = {{0, UTIME_OMIT}, {when, 0}};
  return utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) == 0;
}

}  // namespace card
