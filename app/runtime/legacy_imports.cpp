// The runtimes we link statically (MinGW-w64's C runtime start-up, libgcc,
// libstdc++) call a few system functions that Windows 98 SE and ME lack or
// have only as stubs that fail:
//
//   msvcrt _fstat64            every std::fstream opens through it; msvcrt
//                              has it from ME and 2000 on
//   KERNEL32 CreateSemaphoreW  libgcc's locks (thread-safe statics, the
//                              exception tables); a stub that fails on 9x
//   KERNEL32 GetModuleHandleW, the C runtime looks up msvcrt.dll and
//            LoadLibraryW      advapi32.dll by them; stubs that fail on 9x
//
// A program that imports a function its system does not export is not even
// loaded, and a stub that fails would leave the runtime's locks without
// their semaphore. So each is answered here, through the import slot the
// runtimes call through (__imp_NAME): the wide-character ones by their ANSI
// form, which every system has, and _fstat64 by msvcrt's own where it has
// one, else by _fstati64 (msvcrt's since 4.2), whose record differs only in
// the width of its times. The program then imports CreateSemaphoreA,
// GetModuleHandleA and LoadLibraryA instead, and _fstat64 not at all.
#include <windows.h>

#include "app/runtime/legacy_imports.h"

#include <cerrno>

namespace {

// The ANSI form of a name the runtimes pass: short ASCII names of libraries
// (their semaphores have none). False, with the system's error set, when it
// does not fit.
bool AnsiName(LPCWSTR wide, char (&buffer)[MAX_PATH], LPCSTR& name) {
  name = nullptr;
  if (wide == nullptr) return true;
  if (WideCharToMultiByte(CP_ACP, 0, wide, -1, buffer, MAX_PATH, nullptr, nullptr) == 0) {
    SetLastError(ERROR_INVALID_NAME);
    return false;
  }
  name = buffer;
  return true;
}

HANDLE WINAPI CreateSemaphoreByAnsiName(LPSECURITY_ATTRIBUTES attributes, LONG initial, LONG maximum, LPCWSTR wide) {
  char buffer[MAX_PATH];
  LPCSTR name = nullptr;
  return AnsiName(wide, buffer, name) ? CreateSemaphoreA(attributes, initial, maximum, name) : nullptr;
}

HMODULE WINAPI GetModuleHandleByAnsiName(LPCWSTR wide) {
  char buffer[MAX_PATH];
  LPCSTR name = nullptr;
  return AnsiName(wide, buffer, name) ? GetModuleHandleA(name) : nullptr;
}

HMODULE WINAPI LoadLibraryByAnsiName(LPCWSTR wide) {
  char buffer[MAX_PATH];
  LPCSTR name = nullptr;
  return AnsiName(wide, buffer, name) ? LoadLibraryA(name) : nullptr;
}

using Fstat64Call = int(__cdecl*)(int, struct _stat64*);

template <typename Call>
Call MsvcrtFunction(const char* name) {
  const HMODULE msvcrt = GetModuleHandleA("msvcrt.dll");
  return reinterpret_cast<Call>(reinterpret_cast<void*>(msvcrt != nullptr ? GetProcAddress(msvcrt, name) : nullptr));
}

int __cdecl Fstat64OrOlder(int descriptor, struct _stat64* status) {
  if (const auto own = MsvcrtFunction<Fstat64Call>("_fstat64")) return own(descriptor, status);
  return legacy::Fstat64ByOlder(MsvcrtFunction<legacy::Fstati64Call>("_fstati64"), descriptor, status);
}

}  // namespace

int legacy::Fstat64ByOlder(Fstati64Call older, int descriptor, struct _stat64* status) {
  if (older == nullptr) {
    errno = ENOSYS;
    return -1;
  }
  struct _stat32i64 narrow {};
  const int result = older(descriptor, &narrow);
  if (result != 0) return result;
  status->st_dev = narrow.st_dev;
  status->st_ino = narrow.st_ino;
  status->st_mode = narrow.st_mode;
  status->st_nlink = narrow.st_nlink;
  status->st_uid = narrow.st_uid;
  status->st_gid = narrow.st_gid;
  status->st_rdev = narrow.st_rdev;
  status->st_size = narrow.st_size;
  status->st_atime = narrow.st_atime;
  status->st_mtime = narrow.st_mtime;
  status->st_ctime = narrow.st_ctime;
  return 0;
}

// The import slots, by the names the 32-bit linker gives them (a leading
// underscore, and stdcall functions' argument bytes after the @).
extern "C" {
extern decltype(&CreateSemaphoreW) const importCreateSemaphoreW __asm__("__imp__CreateSemaphoreW@16");
decltype(&CreateSemaphoreW) const importCreateSemaphoreW = CreateSemaphoreByAnsiName;
extern decltype(&GetModuleHandleW) const importGetModuleHandleW __asm__("__imp__GetModuleHandleW@4");
decltype(&GetModuleHandleW) const importGetModuleHandleW = GetModuleHandleByAnsiName;
extern decltype(&LoadLibraryW) const importLoadLibraryW __asm__("__imp__LoadLibraryW@4");
decltype(&LoadLibraryW) const importLoadLibraryW = LoadLibraryByAnsiName;
extern Fstat64Call const importFstat64 __asm__("__imp___fstat64");
Fstat64Call const importFstat64 = Fstat64OrOlder;
}
