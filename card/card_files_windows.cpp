// Host file handling on Windows, through the system's ANSI calls: they work
// on every Windows the programs run on, where the wide-character ones (and
// std::filesystem, made of them) are stubs that fail on 98 SE and ME.
#include <windows.h>
// The system names a call of its own so; ours is card::ReplaceFile.
#undef ReplaceFile

#include <cerrno>
#include <cstring>

#include "card/card_files.h"
#include "card/card_storage.h"

namespace card {

namespace {

// The system's text for a Win32 error, without its closing line break; a
// path that is not there gets the C library's words, as on other systems.
std::string Win32Text(DWORD code) {
  if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) return SystemText(ENOENT);
  char* text = nullptr;
  const DWORD length =
      FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                     nullptr, code, 0, reinterpret_cast<char*>(&text), 0, nullptr);
  std::string result = length != 0 && text != nullptr ? std::string(text, length) : "";
  LocalFree(text);
  while (!result.empty() && std::strchr("\r\n .", result.back()) != nullptr) result.pop_back();
  return result.empty() ? "system error " + std::to_string(code) : result;
}

bool Attributes(const std::string& path, WIN32_FILE_ATTRIBUTE_DATA& data) {
  return GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data) != FALSE;
}

bool IsDirectory(const WIN32_FILE_ATTRIBUTE_DATA& data) {
  return (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// The volume and file index of an existing file (hard links share them).
bool Identity(const std::string& path, BY_HANDLE_FILE_INFORMATION& info) {
  const HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  const bool known = GetFileInformationByHandle(file, &info) != FALSE;
  CloseHandle(file);
  return known && (info.nFileIndexHigh != 0 || info.nFileIndexLow != 0);
}

std::string FullPath(const std::string& path) {
  const DWORD length = GetFullPathNameA(path.c_str(), 0, nullptr, nullptr);
  if (length == 0) return path;
  std::string full(length, '\0');
  const DWORD written = GetFullPathNameA(path.c_str(), length, full.data(), nullptr);
  if (written == 0 || written >= length) return path;
  full.resize(written);
  return full;
}

}  // namespace

std::string CheckRegularFile(const std::string& path, const std::string& what) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!Attributes(path, data)) return path + ": " + Win32Text(GetLastError());
  if (IsDirectory(data)) return path + ": a directory, not " + what;
  return "";
}

bool PathExists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// The ANSI calls take no name of MAX_PATH characters or more.
std::string UnusableName(const std::string& path) {
  if (FullPath(path).size() < MAX_PATH) return "";
  return path + ": " + SystemText(ENAMETOOLONG) + "; give the card a shorter name";
}

bool SameFile(const std::string& a, const std::string& b) {
  BY_HANDLE_FILE_INFORMATION infoA;
  BY_HANDLE_FILE_INFORMATION infoB;
  if (Identity(a, infoA) && Identity(b, infoB) && infoA.dwVolumeSerialNumber == infoB.dwVolumeSerialNumber &&
      infoA.nFileIndexHigh == infoB.nFileIndexHigh && infoA.nFileIndexLow == infoB.nFileIndexLow) {
    return true;
  }
  // Windows file names do not tell case apart.
  return lstrcmpiA(FullPath(a).c_str(), FullPath(b).c_str()) == 0;
}

// The system follows a link by itself and replaces the link, not its target.
std::string LinkTarget(const std::string& path) { return path; }

std::string FileSize(const std::string& path, std::uint64_t& size) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!Attributes(path, data)) return Win32Text(GetLastError());
  size = (std::uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow;
  return "";
}

std::string ReplaceFile(const std::string& from, const std::string& to) {
  if (MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING)) return "";
  DWORD error = GetLastError();
  // 98 SE and ME have no MoveFileExA: take the old file away, then rename.
  if (error == ERROR_CALL_NOT_IMPLEMENTED) {
    if (DeleteFileA(to.c_str()) || GetLastError() == ERROR_FILE_NOT_FOUND) {
      if (MoveFileA(from.c_str(), to.c_str())) return "";
    }
    error = GetLastError();
  }
  return to + ": cannot put the new file in place: " + Win32Text(error);
}

std::string RemoveFile(const std::string& path) {
  if (DeleteFileA(path.c_str())) return "";
  const DWORD error = GetLastError();
  if (error == ERROR_FILE_NOT_FOUND) return "";
  return path + ": cannot remove it: " + Win32Text(error);
}

void RemoveQuietly(const std::string& path) { DeleteFileA(path.c_str()); }

std::string TruncateFile(const std::string& path, std::uint64_t size) {
  const HANDLE file =
      CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return path + ": cannot cut it short: " + Win32Text(GetLastError());
  LONG high = static_cast<LONG>(size >> 32);
  const DWORD low = SetFilePointer(file, static_cast<LONG>(size & 0xFFFFFFFFu), &high, FILE_BEGIN);
  const bool moved = low != INVALID_SET_FILE_POINTER || GetLastError() == NO_ERROR;
  const bool cut = moved && SetEndOfFile(file);
  const DWORD error = GetLastError();
  CloseHandle(file);
  return cut ? "" : path + ": cannot cut it short: " + Win32Text(error);
}

std::string JoinPath(const std::string& folder, const std::string& name) {
  if (folder.empty()) return name;
  const char last = folder.back();
  return last == '\\' || last == '/' || last == ':' ? folder + name : folder + "\\" + name;
}

// UTF-8 in the system's code page; what it lacks becomes '_'.
std::string HostFileName(const std::string& name) {
  const int wide = MultiByteToWideChar(CP_UTF8, 0, name.data(), static_cast<int>(name.size()), nullptr, 0);
  if (wide <= 0) return WindowsSafeName(name);
  std::wstring text(static_cast<std::size_t>(wide), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, name.data(), static_cast<int>(name.size()), text.data(), wide);
  const int narrow = WideCharToMultiByte(CP_ACP, 0, text.data(), wide, nullptr, 0, "_", nullptr);
  if (narrow <= 0) return WindowsSafeName(name);
  std::string ansi(static_cast<std::size_t>(narrow), '\0');
  WideCharToMultiByte(CP_ACP, 0, text.data(), wide, ansi.data(), narrow, "_", nullptr);
  return WindowsSafeName(ansi);
}

std::string MakeFolder(const std::string& path, bool linkTaken) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (Attributes(path, data)) {
    if (!linkTaken && (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
      return path + ": a link, not a folder: nothing is written through it";
    }
    return IsDirectory(data) ? "" : path + ": there is a file there, not a folder";
  }
  if (CreateDirectoryA(path.c_str(), nullptr)) return "";
  return path + ": cannot make the folder: " + Win32Text(GetLastError());
}

bool SetModifiedTime(const std::string& path, const FatTimestamp& stamp, bool folder) {
  if (!stamp.valid) return false;
  SYSTEMTIME local{};
  local.wYear = static_cast<WORD>(stamp.year);
  local.wMonth = static_cast<WORD>(stamp.month);
  local.wDay = static_cast<WORD>(stamp.day);
  local.wHour = static_cast<WORD>(stamp.hour);
  local.wMinute = static_cast<WORD>(stamp.minute);
  local.wSecond = static_cast<WORD>(stamp.second);
  FILETIME localTime;
  FILETIME universal;
  if (!SystemTimeToFileTime(&local, &localTime) || !LocalFileTimeToFileTime(&localTime, &universal)) return false;
  // A folder opens only with backup semantics, which 98 SE and ME lack: there
  // the folder keeps the time it was made.
  const HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, folder ? FILE_FLAG_BACKUP_SEMANTICS : FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  const bool set = SetFileTime(file, nullptr, nullptr, &universal) != FALSE;
  CloseHandle(file);
  return set;
}

}  // namespace card
