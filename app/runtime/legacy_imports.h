// What app/runtime/legacy_imports.cpp puts in the place of msvcrt's _fstat64
// where msvcrt lacks it (98 SE), open to the tests.
#pragma once

#include <sys/stat.h>

namespace legacy {

// msvcrt's _fstati64: a file's status with 32-bit times and a 64-bit size.
using Fstati64Call = int(__cdecl*)(int, struct _stat32i64*);

// _fstat64's answer made of `older`'s: -1 with errno set when it fails, or
// when there is no such call (ENOSYS).
int Fstat64ByOlder(Fstati64Call older, int descriptor, struct _stat64* status);

}  // namespace legacy
