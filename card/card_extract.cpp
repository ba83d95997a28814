#include "card/card_extract.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <fstream>
#include <map>
#include <set>

#include "card/card_files.h"
#include "card/card_storage.h"

namespace card {

namespace {

// Names a file that is there, and how many more.
constexpr std::size_t kExistingTold = 3;

std::string ErrnoText() { return errno != 0 ? SystemText(errno) : "the system gave no reason"; }

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// A path as asked for: '/' between names, none at either end, lower case.
std::string Normalized(std::string path) {
  std::replace(path.begin(), path.end(), '\\', '/');
  std::string out;
  for (const char c : path) {
    if (c != '/' || (!out.empty() && out.back() != '/')) out += c;
  }
  if (!out.empty() && out.back() == '/') out.pop_back();
  return Lower(out);
}

bool Within(const std::string& path, const std::string& folder) {
  return path == folder ||
         (path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 && path[folder.size()] == '/');
}

std::string ParentOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? "" : path.substr(0, slash);
}

// Every item of the card with its 8.3 path and the path it takes under the
// destination, named once for the whole card, whatever is chosen.
struct Placed {
  const FatItem* item;
  std::string shortPath;  // lower case
  std::string hostPath;
  std::string hostFolder;  // where hostPath is
  bool renamed;
};

class Placer {
 public:
  explicit Placer(const std::string& destination) : destination(destination) {}

  Placed Place(const FatItem& item) {
    // Whatever the card lists, nothing goes anywhere but under the
    // destination: an item whose folder was not placed goes right into it.
    const auto folder = hostPaths.find(ParentOf(item.path));
    const bool placedFolder = folder != hostPaths.end();
    const std::string folderShort = placedFolder ? shortPaths[folder->first] + "/" : "";
    const std::string folderHost = placedFolder ? folder->second : destination;
    // Two entries of one name (a damaged folder; on Windows also two names
    // in characters its code page lacks): the second gets " (2)".
    std::string host = JoinPath(folderHost, HostFileName(item.name));
    for (unsigned n = 2; taken.count(Lower(host)) != 0; ++n) {
      host = JoinPath(folderHost, HostFileName(item.name + " (" + std::to_string(n) + ")"));
    }
    taken.insert(Lower(host));
    const Placed placed{&item, Lower(folderShort + item.shortName), host, folderHost,
                        host != JoinPath(folderHost, item.name)};
    if (item.folder) {
      shortPaths[item.path] = placed.shortPath;
      hostPaths[item.path] = host;
    }
    return placed;
  }

 private:
  std::string destination;
  std::map<std::string, std::string> shortPaths;  // of folders
  std::map<std::string, std::string> hostPaths;   // of folders
  std::set<std::string> taken;
};

class Extraction {
 public:
  Extraction(const FatReader& reader, const ExtractRequest& request,
             const std::function<void(const ExtractedItem&)>& told)
      : reader(reader), request(request), told(told) {}

  ExtractReport Run();

 private:
  bool Chosen(const Placed& placed) const;
  std::string Refusal(const std::vector<Placed>& chosen) const;
  void Write(const Placed& placed);

  const FatReader& reader;
  const ExtractRequest& request;
  const std::function<void(const ExtractedItem&)>& told;
  std::vector<std::string> wanted;      // normalized
  std::set<std::string> failedFolders;  // card paths of folders that could not be made
  ExtractReport report;
};

// What was asked for, and the folders on the way to it.
bool Extraction::Chosen(const Placed& placed) const {
  if (wanted.empty()) return true;
  const std::string path = Lower(placed.item->path);
  const bool folder = placed.item->folder;
  return std::any_of(wanted.begin(), wanted.end(), [&](const std::string& want) {
    return Within(path, want) || Within(placed.shortPath, want) ||
           (folder && (Within(want, path) || Within(want, placed.shortPath)));
  });
}

// Why nothing may be written: a path asked for that is not on the card, or
// files already there.
std::string Extraction::Refusal(const std::vector<Placed>& chosen) const {
  for (std::size_t i = 0; i < wanted.size(); ++i) {
    const bool found = std::any_of(chosen.begin(), chosen.end(), [&](const Placed& placed) {
      return Within(Lower(placed.item->path), wanted[i]) || Within(placed.shortPath, wanted[i]);
    });
    if (!found) return request.paths[i] + ": no such file or folder on the card";
  }
  if (request.replace) return "";
  std::vector<std::string> there;
  for (const Placed& placed : chosen) {
    if (!placed.item->folder && PathExists(placed.hostPath)) there.push_back(placed.hostPath);
  }
  if (there.empty()) return "";
  std::string text = there[0];
  for (std::size_t i = 1; i < there.size() && i < kExistingTold; ++i) text += ", " + there[i];
  if (there.size() > kExistingTold) text += " and " + std::to_string(there.size() - kExistingTold) + " more";
  return text + (there.size() == 1 ? " exists" : " exist") + "; give --force to replace files that are there";
}

void Extraction::Write(const Placed& placed) {
  ExtractedItem out;
  out.path = placed.item->path;
  out.hostPath = placed.hostPath;
  out.folder = placed.item->folder;
  out.size = placed.item->size;
  out.renamed = placed.renamed;
  if (failedFolders.count(ParentOf(out.path)) != 0) {
    out.error = out.hostPath + ": not written: its folder could not be made";
  } else if (out.folder) {
    out.error = MakeFolder(out.hostPath);
  } else {
    // A short name beside it: a name of 255 characters takes no ".new1".
    const std::string temporary = TemporarySibling(JoinPath(placed.hostFolder, "extract"));
    errno = 0;
    std::ofstream file(temporary, std::ios::binary | std::ios::trunc);
    if (!file) {
      out.error = out.hostPath + ": cannot create the file: " + ErrnoText();
    } else {
      out.read = reader.ReadFile(*placed.item, [&file](const std::uint8_t* bytes, std::size_t count) {
        file.write(reinterpret_cast<const char*>(bytes), static_cast<std::streamsize>(count));
        return static_cast<bool>(file);
      });
      file.close();
      if (out.read.stopped || !file) out.error = out.hostPath + ": cannot write the file: " + ErrnoText();
      if (out.error.empty()) out.error = ReplaceFile(temporary, out.hostPath);
      if (!out.error.empty()) RemoveQuietly(temporary);
      if (out.error.empty()) SetModifiedTime(out.hostPath, placed.item->modified, false);
    }
    if (out.error.empty()) {
      ++report.files;
      report.bytes += out.read.bytes;
    }
  }
  if (out.folder && out.error.empty()) ++report.folders;
  if (out.folder && !out.error.empty()) failedFolders.insert(out.path);
  if (told) told(out);
  report.items.push_back(std::move(out));
}

ExtractReport Extraction::Run() {
  for (const std::string& path : request.paths) wanted.push_back(Normalized(path));
  const FatTree tree = reader.Walk();
  Placer placer(request.destination);
  std::vector<Placed> chosen;
  for (const FatItem& item : tree.items) {
    const Placed placed = placer.Place(item);
    if (Chosen(placed)) chosen.push_back(placed);
  }
  report.error = Refusal(chosen);
  if (report.error.empty()) report.error = MakeFolder(request.destination, true);
  if (!report.error.empty()) return report;
  for (const FatDamage& damage : tree.damage) {
    const std::string folder = Lower(damage.path.empty() ? "" : damage.path.substr(0, damage.path.size() - 1));
    const bool relevant =
        folder.empty() || wanted.empty() || std::any_of(wanted.begin(), wanted.end(), [&](const std::string& want) {
          return Within(folder, want) || Within(want, folder);
        });
    if (relevant) report.damage.push_back(damage);
  }
  for (const Placed& placed : chosen) Write(placed);
  // Folders last, innermost first: writing into a folder changes its time.
  for (auto placed = chosen.rbegin(); placed != chosen.rend(); ++placed) {
    if (placed->item->folder) SetModifiedTime(placed->hostPath, placed->item->modified, true);
  }
  return report;
}

}  // namespace

ExtractReport ExtractFiles(const FatReader& reader, const ExtractRequest& request,
                           const std::function<void(const ExtractedItem&)>& told) {
  return Extraction(reader, request, told).Run();
}

}  // namespace card
