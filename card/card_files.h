// Host file handling shared by the card tools: what a file is, new files
// written under a temporary name and renamed into place only when complete,
// and the system's own words when the host fails.
#pragma once

#include <cstdint>
#include <string>

#include "engine/fat_reader.h"

namespace card {

// Empty when `path` names a regular file (a link to one counts), else why
// it cannot serve as `what` ("the card image", "the fault sidecar"). A path
// that does not exist gives "No such file or directory".
std::string CheckRegularFile(const std::string& path, const std::string& what);
// True when something (a file, a directory, a dangling link ...) is at `path`.
bool PathExists(const std::string& path);
// Why the system could not take `path` as a file's name at all (a name too
// long), or empty.
std::string UnusableName(const std::string& path);
// True when `a` and `b` name the same file: the same existing file (through
// hard or symbolic links too), or the same place when either is not there yet.
bool SameFile(const std::string& a, const std::string& b);
// The file a symbolic link finally leads to; `path` itself when it is no link.
std::string LinkTarget(const std::string& path);
// The size of the file at `path`. Returns the system's text when it cannot
// be had, empty on success.
std::string FileSize(const std::string& path, std::uint64_t& size);

// Cuts the file at `path` to `size` bytes. Returns an error message, empty on success.
std::string TruncateFile(const std::string& path, std::uint64_t size);

// A path beside `path`, in the same directory, where nothing is yet.
std::string TemporarySibling(const std::string& path);
// Renames `from` over `to`, replacing it. Returns an error message, empty on success.
std::string ReplaceFile(const std::string& from, const std::string& to);
// Removes a file if it is there. Returns an error message, empty on success or when nothing was there.
std::string RemoveFile(const std::string& path);
// The same, ignoring errors: cleaning up after a failure.
void RemoveQuietly(const std::string& path);
// A new file holding `text`. Returns an error message, empty on success.
std::string WriteTextFile(const std::string& path, const std::string& text);
// A new file of `size` bytes of `value`. Returns an error message, empty on success.
std::string WriteFilledFile(const std::string& path, std::uint64_t size, std::uint8_t value);

// --- Files written out of a card's file system ---------------------------------------------------

// `folder`/`name` with the host's separator ('\\' on Windows).
std::string JoinPath(const std::string& folder, const std::string& name);
// A card's file or folder name (UTF-8) as a name the host takes as one
// plain name in a folder: never a separator, "." or "..", and on Windows
// none of the characters or device names it refuses (see WindowsSafeName),
// in the system's code page.
std::string HostFileName(const std::string& name);
// Windows' rule, on every host: control characters and < > : " / \ | ? *
// become '_', as does a dot or blank at the end; a device name (CON, PRN,
// AUX, NUL, COM1-COM9, LPT1-LPT9, with any extension) gets '_' after it:
// "AUX.TXT" -> "AUX_.TXT".
std::string WindowsSafeName(const std::string& name);
// Makes the folder `path`, or takes the one that is there: a folder, and a
// link to one only when `linkTaken`. Returns an error message, empty on success.
std::string MakeFolder(const std::string& path, bool linkTaken = false);
// Sets when a file or folder was last changed to `stamp`, a local time;
// false where the host does not allow it (a folder's time on 98 SE and ME).
bool SetModifiedTime(const std::string& path, const FatTimestamp& stamp, bool folder);

}  // namespace card
