// Host file handling that standard C++ streams do alike everywhere; what
// tells files apart, renames and removes them is per platform
// (card_files_posix.cpp, card_files_windows.cpp).
#include "card/card_files.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

#include "card/card_storage.h"

namespace card {

namespace {

constexpr std::size_t kFillChunk = std::size_t{1} << 20;
constexpr int kTemporaryTries = 1000;

std::string ErrnoText() { return errno != 0 ? SystemText(errno) : "the system gave no reason"; }

}  // namespace

std::string WindowsSafeName(const std::string& name) {
  static constexpr const char* kRefused = "<>:\"/\\|?*";
  static constexpr const char* kDevices[] = {"CON", "PRN", "AUX", "NUL"};
  static constexpr const char* kNumbered[] = {"COM", "LPT"};
  std::string safe = name.empty() ? "_" : name;
  for (char& c : safe) {
    if (static_cast<unsigned char>(c) < 0x20 || std::strchr(kRefused, c) != nullptr) c = '_';
  }
  if (safe.back() == '.' || safe.back() == ' ') safe.back() = '_';
  const std::size_t dot = safe.find('.');
  std::string base = safe.substr(0, dot);
  while (!base.empty() && base.back() == ' ') base.pop_back();
  for (char& c : base) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  bool device = std::any_of(std::begin(kDevices), std::end(kDevices), [&](const char* d) { return base == d; });
  for (const char* prefix : kNumbered) {
    device = device || (base.size() == 4 && base.compare(0, 3, prefix) == 0 && base[3] >= '1' && base[3] <= '9');
  }
  if (device) safe.insert(dot == std::string::npos ? safe.size() : dot, "_");
  return safe;
}

std::string TemporarySibling(const std::string& path) {
  for (int n = 1; n < kTemporaryTries; ++n) {
    const std::string candidate = path + ".new" + std::to_string(n);
    if (!PathExists(candidate)) return candidate;
  }
  return path + ".new";
}

std::string WriteTextFile(const std::string& path, const std::string& text) {
  errno = 0;
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  out.flush();
  if (!out) return path + ": cannot write the file: " + ErrnoText();
  return "";
}

std::string WriteFilledFile(const std::string& path, std::uint64_t size, std::uint8_t value) {
  errno = 0;
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) return path + ": cannot create the file: " + ErrnoText();
  const std::vector<char> chunk(kFillChunk, static_cast<char>(value));
  for (std::uint64_t done = 0; done < size && out; done += chunk.size()) {
    out.write(chunk.data(), static_cast<std::streamsize>(std::min<std::uint64_t>(chunk.size(), size - done)));
  }
  out.flush();
  if (!out) return path + ": cannot write the file: " + ErrnoText();
  return "";
}

}  // namespace card
